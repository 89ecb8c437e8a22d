// _parse_alert_msg, _alert_card_color and _format_markdown: thin bindings of
// the core's notice rules.
#include "engine/alerts/alert_text_py.h"

#include "engine/alerts/alert_text.h"
#include "engine/registry_py.h"

namespace engine {
namespace alerts {

std::string core_text(const py::handle& text, const char* what) {
  if (!py::isinstance<py::str>(text)) {
    const std::string type = py::str(py::type::handle_of(text).attr("__name__"));
    throw py::type_error(std::string(what) + " must be str, not " + type);
  }
  PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
  if (bytes == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
}

py::str py_text(const std::string& text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

}  // namespace alerts

void register_alert_text(py::module_& m) {
  using namespace alerts;
  m.def(
      "_parse_alert_msg",
      [](const py::object& msg) {
        const ParsedAlert parsed = parse_alert_msg(core_text(msg, "msg"));
        py::dict fields;  // keeps the order in which labels first appeared
        for (const auto& [label, value] : parsed.fields) fields[py_text(label)] = py_text(value);
        return py::make_tuple(py_text(parsed.title), fields);
      },
      py::arg("msg"));
  m.def(
      "_alert_card_color",
      [](const py::object& msg) { return py_text(std::string(alert_card_color(core_text(msg, "msg")))); },
      py::arg("msg"));
  m.def(
      "_format_markdown", [](const py::object& msg) { return py_text(format_markdown(core_text(msg, "msg"))); },
      py::arg("msg"));
}

}  // namespace engine
