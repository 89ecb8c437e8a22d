// Debug screenshots of failing pages.
#include <string>

#include "engine/alerts/alert_text_py.h"
#include "engine/common/clock.h"
#include "engine/common/file_name.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using namespace pybind11::literals;

// ERROR_DIR/<%Y%m%d_%H%M%S>_<tag>.png, always with "/" after the directory; a
// tag too long for a file name is shortened as state file names are. The path
// is returned whether or not the picture could be taken.
py::str save_debug(const py::object& page, const py::object& keyword) {
  py::module_ os = py::module_::import("os");
  const py::object dir = attr("ERROR_DIR");
  os.attr("makedirs")(dir, "exist_ok"_a = true);  // failures here reach the caller
  const std::string tag = alerts::core_text(py::str(keyword), "keyword");  // the tag as text
  const std::string name = fit_file_name(local_time("%Y%m%d_%H%M%S") + "_", tag, ".png");
  const py::str path = py::str(os.attr("fspath")(dir)) + py::str("/") + from_text(name);
  // Playwright writes the file with Python's open, which hands the system the
  // path as it is: a long one goes in the platform's extended form.
  const py::object written = system_path(path);
  if (auto failure = ordinary_error([&] { page.attr("screenshot")("path"_a = written, "full_page"_a = true); })) {
    error("err_screenshot_failed", *failure);
  }
  return path;
}

}  // namespace

void register_screenshots(py::module_& m) {
  m.def("save_debug", &save_debug, py::arg("page"), py::arg("keyword"));
}

}  // namespace engine
