// Check results, state files and the target state machine.
#include <string>

#include "engine/alerts/alert_text.h"
#include "engine/alerts/alert_text_py.h"
#include "engine/common/clock.h"
#include "engine/os/files.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"
#include "engine/monitor/target_state.h"

namespace engine {
namespace {

using namespace shell;

py::object fspath(const py::object& path) { return py::module_::import("os").attr("fspath")(path); }

// A state file that cannot be read ends the run with one line that names the
// file and says why, whatever the cause: the file system's reason (a folder in
// its place, no permission), text that is not UTF-8 or not JSON, or JSON
// nested deeper than Python reads. The file itself is left as it is.
[[noreturn]] void unreadable_state(py::error_already_set& e, const py::object& path) {
  PyObject* type = PyExc_ValueError;
  std::string why;
  if (e.matches(PyExc_OSError)) {
    type = PyExc_OSError;
    const py::object strerror = py::getattr(e.value(), "strerror", py::none());
    why = strerror.is_none() ? error_text(e) : text_keeping_surrogates(strerror);
  } else if (e.matches(PyExc_RecursionError)) {
    why = tr("err_state_too_deep");
  } else {
    why = error_text(e);
  }
  raise_from(e, type, tr("err_state_unreadable", path, from_text(why)));
}

py::object load_state(const py::object& state_file) {
  const py::object path = fspath(state_file);
  const py::object opened = system_path(path);  // errors still name the path as given
  if (!py::module_::import("os.path").attr("exists")(opened).cast<bool>()) {
    return attr("DEFAULT_STATE").attr("copy")();  // a copy: callers change what they get
  }
  try {
    py::object file = py::module_::import("io").attr("open")(opened, "r", py::arg("encoding") = "utf-8");
    py::object text;
    try {
      text = file.attr("read")();
    } catch (py::error_already_set&) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();
    return py::module_::import("json").attr("loads")(text);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    unreadable_state(e, path);
  }
}

void save_state(const py::object& state, const py::object& state_file) {
  const std::string path = text_keeping_surrogates(fspath(state_file));
  // A lone surrogate in a member's text goes to the file as its \u escape
  // (the backslash escape Python writes for it), which reads back as itself.
  std::string text = text_escaping_surrogates(py::module_::import("json").attr("dumps")(state, py::arg("indent") = 2,
                                                                         py::arg("ensure_ascii") = false));
  try {
    // Rewritten for every target in every round: atomic, but without a disk flush each time.
    // A target another program holds open makes the replace wait a moment, which Ctrl+C ends.
    const std::string bytes = os::native_lines(text);
    interruptible([&](const os::Interrupt& interrupt) {
      os::replace_file(path, bytes, os::Durability::Rename, interrupt);
    });
  } catch (const std::runtime_error& e) {
    raise(PyExc_OSError, e.what());
  }
}

// A notice is joined from texts; a value that is not text cannot join, as in
// Python's own str + value.
std::string joined_text(const py::handle& value) {
  if (!py::isinstance<py::str>(value)) {
    const std::string type = py::str(py::type::handle_of(value).attr("__name__"));
    raise(PyExc_TypeError, "can only concatenate str (not \"" + type + "\") to str");
  }
  return text_keeping_surrogates(value);
}

std::string stored_status(const py::object& state, const py::object& state_file) {
  if (!py::isinstance<py::dict>(state) || !state.contains("status")) {
    raise(PyExc_ValueError, tr("err_state_no_status", fspath(state_file)));
  }
  py::object status = state[py::str("status")];
  return py::isinstance<py::str>(status) ? status.cast<std::string>() : std::string();
}

py::tuple process_service(const py::object& name, const py::object& check_fn, const py::object& state_file) {
  py::object state = call("load_state", state_file);
  const std::string stamp = local_time("%Y-%m-%d %H:%M:%S");
  info_literal(std::string(40, '-'));
  info("detect_start", name);

  py::tuple result = py::tuple(check_fn());
  if (result.size() != 4 && result.size() != 3) {
    const std::string text = result.size() < 3 ? "not enough values to unpack (expected 3, got " +
                                                     std::to_string(result.size()) + ")"
                                               : std::string("too many values to unpack (expected 3)");
    raise(PyExc_ValueError, text);
  }
  py::object success = result[0], keyword = result[1], reason = result[2];
  py::object latency = result.size() == 4 ? py::object(result[3]) : py::none();
  const bool up = py::bool_(success);
  const std::string colon(alerts::kFullWidthColon);

  if (up) {
    info("detect_ok", name);
    if (decide(stored_status(state, state_file), true) == Transition::Recovered) {
      const std::string notice = tr("alert_recovery_title", name) + "\n\n" + tr("alert_field_time") + colon + stamp +
                                 "\n" + tr("alert_field_keyword") + colon + joined_text(keyword);
      call("send_alert", from_text(notice));
      info("state_send_recovery", name);
    }
    state[py::str("status")] = "UP";
    state[py::str("down_time")] = "";
  } else {
    warning("detect_failed", name, reason);
    if (decide(stored_status(state, state_file), false) == Transition::WentDown) {
      state[py::str("status")] = "DOWN";
      state[py::str("down_time")] = stamp;
      const std::string notice = tr("alert_down_title", name) + "\n\n" + tr("alert_field_time") + colon + stamp +
                                 "\n" + tr("alert_field_keyword") + colon + joined_text(keyword) + "\n" +
                                 tr("alert_field_reason") + colon + joined_text(reason) + "\n\n" + tr("alert_field_mode");
      call("send_alert", from_text(notice));
      warning("state_sent_alert", name);
    } else {
      info("state_already_down", name);
    }
  }
  call("save_state", state, state_file);
  return py::make_tuple(success, keyword, reason, latency);
}

}  // namespace

void register_state(py::module_& m) {
  m.def("load_state", &load_state, py::arg("state_file") = m.attr("STATE_FILE"));
  m.def("save_state", &save_state, py::arg("state"), py::arg("state_file") = m.attr("STATE_FILE"));
  // Any Python text is a name, a lone surrogate included (it is no kept
  // character, so it becomes "_"); bytes and other values are refused, not converted.
  m.def("_sanitize_name",
        [](const py::handle& name) {
          return from_text(sanitize_name(alerts::core_text(name, "_sanitize_name() argument 'name'")));
        },
        py::arg("name"));
  m.def("get_custom_state_file",
        [](const py::handle& name) {
          return from_text(custom_state_file(alerts::core_text(name, "get_custom_state_file() argument 'name'")));
        },
        py::arg("name"));
  m.def("process_service", &process_service, py::arg("name"), py::arg("check_fn"), py::arg("state_file"));
}

}  // namespace engine
