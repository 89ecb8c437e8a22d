// The retry wrappers of the browser targets.
#include <array>
#include <exception>
#include <string>

#include "engine/registry_py.h"
#include "engine/sites/playwright_py.h"
#include "engine/sites/retry_py.h"

namespace engine {
namespace shell {

PlaywrightSession::PlaywrightSession() : manager_(call("sync_playwright")) {
  if (interrupt_only_while_waiting([&] { playwright_ = manager_.attr("__enter__")(); })) {
    // Ctrl+C came while the session started, and was held until it had.
    end_while_unwinding();
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
}

void PlaywrightSession::end() {
  ended_ = true;  // a failing end is not tried again
  manager_.attr("__exit__")(py::none(), py::none(), py::none());
}

void PlaywrightSession::end_while_unwinding() {
  ended_ = true;
  // After an interrupt in the middle of a call, Playwright's own exit could
  // hang (a known fault of its sync API); the interrupt must still go on.
  bounded_quietly(kGiveUpSeconds, [&] { manager_.attr("__exit__")(py::none(), py::none(), py::none()); });
}

RetryStyle standard_retry_style(py::object display_name, py::object site_key) {
  RetryStyle style;
  style.on_success = [display_name](long long number) { info("detect_attempt_ok", display_name, number); };
  style.on_failure = [display_name](long long number, const py::object& reason) {
    warning("detect_attempt_fail", display_name, number, reason);
  };
  style.before_pause = [display_name](const py::object& delay) { info("detect_retry_in", display_name, delay); };
  style.after_all_failed = [display_name](const py::object& count, const py::object& last_reason) {
    error("detect_all_failed", display_name, count, last_reason);
  };
  style.failure_result = [site_key](const py::object&, const py::object& last_reason) {
    return py::make_tuple(py::bool_(false), site_key, last_reason);
  };
  return style;
}

namespace {

// ok, keyword, reason = result, with Python's own errors for anything else.
std::array<py::object, 3> unpack3(const py::object& result) {
  PyObject* iterator = PyObject_GetIter(result.ptr());
  if (iterator == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    raise(PyExc_TypeError, "cannot unpack non-iterable " + std::string(Py_TYPE(result.ptr())->tp_name) + " object");
  }
  py::object it = py::reinterpret_steal<py::object>(iterator);
  std::array<py::object, 3> items;
  for (std::size_t n = 0; n <= items.size(); ++n) {
    PyObject* item = PyIter_Next(it.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      if (n < items.size()) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 3, got " + std::to_string(n) + ")");
      }
      return items;
    }
    if (n == items.size()) {
      Py_DECREF(item);
      raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    items[n] = py::reinterpret_steal<py::object>(item);
  }
  return items;
}

// The attempts of a call: the whole part of RETRY_COUNT (2.5 gives 2; below 1, none).
long long attempt_count(const py::object& count) {
  return py::module_::import("math").attr("trunc")(count).cast<long long>();
}

}  // namespace

py::tuple retry_loop(const AttemptCall& attempt, const RetryStyle& style) {
  PlaywrightSession session;  // a failure to open it passes on; no attempt is made
  std::exception_ptr leaving;
  try {
    const py::object count_setting = attr("RETRY_COUNT");
    const long long count = attempt_count(count_setting);
    py::object last_keyword = py::str("");
    py::object last_reason = py::str("");
    for (long long i = 0; i < count; ++i) {
      auto [ok, keyword, reason] = unpack3(attempt(session.playwright()));
      if (style.after_attempt) style.after_attempt(i + 1, keyword, reason);
      if (py::bool_(ok)) {
        if (style.on_success) style.on_success(i + 1);
        session.end();
        return py::make_tuple(py::bool_(true), keyword, "OK");
      }
      if (style.on_failure) style.on_failure(i + 1, reason);
      last_keyword = keyword;
      last_reason = reason;
      if (i < count - 1) {
        const py::object delay = attr("RETRY_DELAY");
        if (style.before_pause) style.before_pause(delay);
        sleep(delay.cast<double>());
      }
    }
    session.end();
    if (style.after_all_failed) style.after_all_failed(count_setting, last_reason);
    return style.failure_result(last_keyword, last_reason);
  } catch (...) {
    leaving = std::current_exception();
  }
  // Ended outside the handler: Playwright switches greenlets under its calls.
  if (!session.ended()) session.end_while_unwinding();
  std::rethrow_exception(leaving);
}

}  // namespace shell

namespace {

using namespace shell;

// The standard wrappers without arguments: wrapper, its single attempt (called
// through the module namespace), display name, site key.
struct StandardWrapper {
  const char* wrapper;
  const char* attempt;
  const char* display_name;
  const char* site_key;
};

constexpr StandardWrapper kStandardWrappers[] = {
    {"check_google_home", "check_google_home_once", "Google", "google"},
    {"check_gemini", "check_gemini_once", "Gemini", "gemini"},
    {"check_chatgpt", "check_chatgpt_once", "ChatGPT", "chatgpt"},
    {"check_github", "check_github_once", "GitHub", "github"},
    {"check_claude", "check_claude_once", "Claude", "claude"},
    {"check_notebooklm", "check_notebooklm_once", "NotebookLM", "notebooklm"},
    {"check_linkedin", "check_linkedin_once", "LinkedIn", "linkedin"},
};

py::tuple standard_wrapper(const StandardWrapper& w) {
  return retry_loop([&](const py::object& playwright) { return call(w.attempt, playwright); },
                    standard_retry_style(py::str(w.display_name), py::str(w.site_key)));
}

py::tuple check_custom_url(const py::object& name, const py::object& url) {
  return retry_loop([&](const py::object& playwright) { return call("check_custom_url_once", playwright, name, url); },
                    standard_retry_style(name, name));
}

}  // namespace

void register_wrappers(py::module_& m) {
  for (const StandardWrapper& w : kStandardWrappers) {
    m.def(w.wrapper, [&w] { return standard_wrapper(w); });
  }
  m.def("check_custom_url", &check_custom_url, py::arg("name"), py::arg("url"));
}

}  // namespace engine
