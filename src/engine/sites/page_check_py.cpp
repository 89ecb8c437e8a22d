// The failure reasons and the custom web-address check, over the template.
#include "engine/registry_py.h"
#include "engine/sites/crash_reason.h"
#include "engine/sites/page_check.h"
#include "engine/sites/playwright_py.h"

namespace engine {
namespace {

using namespace shell;

py::str crash_reason(const py::object& error) { return from_text(sites::crash_reason(text_keeping_surrogates(error))); }

py::tuple check_custom_url_once(const py::object& playwright, const py::object& name, const py::object& url) {
  // The tag is the file-name-safe form of the name, asked for at each screenshot.
  auto tag = [name] { return page_call([&] { return text_keeping_surrogates(call("_sanitize_name", name)); }); };
  sites::Member member = sites::custom_url_member(text_keeping_surrogates(name), text_keeping_surrogates(url), tag);
  return run_member(playwright, member, sites::custom_url_test);
}

}  // namespace

void register_page_check(py::module_& m) {
  m.def("_crash_reason", &crash_reason, py::arg("e"));
  m.def("check_custom_url_once", &check_custom_url_once, py::arg("playwright"), py::arg("name"), py::arg("url"));
}

}  // namespace engine
