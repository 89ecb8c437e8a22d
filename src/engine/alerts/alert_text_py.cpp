// _parse_alert_msg, _alert_card_color and _format_markdown: thin bindings of
// the core's notice rules.
#include "engine/alerts/alert_text_py.h"

#include "engine/alerts/alert_text.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace alerts {

std::string core_text(const py::handle& text, const char* what) {
  if (!py::isinstance<py::str>(text)) {
    const std::string type = py::str(py::type::handle_of(text).attr("__name__"));
    throw py::type_error(std::string(what) + " must be str, not " + type);
  }
  return shell::text_keeping_surrogates(text);
}

}  // namespace alerts

void register_alert_text(py::module_& m) {
  using namespace alerts;
  using shell::from_text;
  m.def(
      "_parse_alert_msg",
      [](const py::object& msg) {
        const ParsedAlert parsed = parse_alert_msg(core_text(msg, "msg"));
        py::dict fields;  // keeps the order in which labels first appeared
        for (const auto& [label, value] : parsed.fields) fields[from_text(label)] = from_text(value);
        return py::make_tuple(from_text(parsed.title), fields);
      },
      py::arg("msg"));
  m.def(
      "_alert_card_color",
      [](const py::object& msg) { return from_text(std::string(alert_card_color(core_text(msg, "msg")))); },
      py::arg("msg"));
  m.def(
      "_format_markdown", [](const py::object& msg) { return from_text(format_markdown(core_text(msg, "msg"))); },
      py::arg("msg"));
}

}  // namespace engine
