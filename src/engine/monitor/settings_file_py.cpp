// The settings file: read once per run, copied into the process-wide settings.
#include <string>
#include <string_view>

#include "engine/py/shell_py.h"
#include "engine/registry_py.h"
#include "engine/monitor/settings_file.h"

namespace engine {
namespace {

using namespace shell;

std::string name_of(std::string_view name) { return std::string(name); }

// The record as it stands before the file is read. The mirrored keys hold the
// current settings, so a second run in the process starts from the first
// run's results.
py::dict defaults_record() {
  py::dict record;
  for (const auto& key : settings::kKeys) {
    py::object value;
    switch (key.fallback) {
      case settings::Default::On: value = py::bool_(true); break;
      case settings::Default::EmptyList: value = py::list(); break;
      case settings::Default::Setting: value = attr(name_of(key.setting).c_str()); break;
      case settings::Default::EmptyText: value = py::str(""); break;
    }
    record[py::str(name_of(key.name))] = value;
  }
  return record;
}

void set_setting(std::string_view name, const py::object& value) {
  py::setattr(core(), py::str(name_of(name)), value);
}

// Python's own ordering against a whole number: a truth value compares as 1
// or 0, and a text, null, list or map raises Python's TypeError.
bool compares(const py::object& value, int bound, int op) {
  const int outcome = PyObject_RichCompareBool(value.ptr(), py::int_(bound).ptr(), op);
  if (outcome < 0) throw py::error_already_set();
  return outcome == 1;
}
const auto greater = [](const py::object& v, int n) { return compares(v, n, Py_GT); };
const auto less = [](const py::object& v, int n) { return compares(v, n, Py_LT); };
const auto bound = [](int n) -> py::object { return py::int_(n); };

// The whole file as one JSON document, read as UTF-8 text: a byte-order mark
// is then a JSON error, as is anything that is not UTF-8.
py::object read_document(const py::object& path) {
  py::object file = py::module_::import("io").attr("open")(path, "r", py::arg("encoding") = "utf-8");
  py::object text;
  try {
    text = file.attr("read")();
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  return py::module_::import("json").attr("loads")(text);
}

// The channel labels of the summary line.
constexpr const char* kDingTalk = "钉钉";
constexpr const char* kFeishu = "飞书";
constexpr const char* kWeCom = "企微";

// A channel counts as set when its setting holds a true value ("" and null do not).
py::str label(const py::object& setting, const char* name) { return py::str(py::bool_(setting) ? name : ""); }

py::dict load_gui_config() {
  const py::dict defaults = defaults_record();
  const py::object config_file = attr("CONFIG_FILE");
  if (!py::module_::import("os.path").attr("exists")(config_file).cast<bool>()) {
    // No file is the usual first start: silent, and an error of the catalogue is the caller's.
    call("init_lang", config_file);
    return defaults;
  }

  py::dict record;
  const auto failure = ordinary_error([&] {
    const py::object document = read_document(config_file);
    if (!py::isinstance<py::dict>(document)) {
      const std::string type = py::str(py::type::handle_of(document).attr("__name__"));
      raise(PyExc_TypeError, "'" + type + "' object is not a mapping");
    }
    // A copy: py::dict(defaults) would share the defaults, which an error must return untouched.
    record = py::reinterpret_steal<py::dict>(PyDict_Copy(defaults.ptr()));
    if (!record) throw py::error_already_set();
    if (PyDict_Update(record.ptr(), document.ptr()) != 0) throw py::error_already_set();

    call("init_lang", config_file);

    // Each setting is written as soon as it is known: a later error leaves the
    // earlier ones written.
    for (const auto& text : settings::kTextSettings) set_setting(text.setting, record[py::str(name_of(text.key))]);
    const py::object interval = settings::clamp_interval(py::object(record["interval_seconds"]), greater, bound);
    set_setting("INTERVAL_SECONDS", interval);
    const py::object retries = settings::clamp_retry_count(py::object(record["retry_count"]), less, greater, bound);
    set_setting("RETRY_COUNT", retries);

    info("mon_config_loaded", label(attr("WEBHOOK"), kDingTalk), label(attr("FEISHU_WEBHOOK"), kFeishu),
         label(attr("WECOM_WEBHOOK"), kWeCom), shown(interval), shown(retries));
  });
  if (failure) {
    warning("mon_config_load_failed", *failure);
    return defaults;
  }
  return record;
}

}  // namespace

void register_settings_file(py::module_& m) {
  m.attr("CONFIG_FILE") = "monitor_config.json";
  m.def("load_gui_config", &load_gui_config);
}

}  // namespace engine
