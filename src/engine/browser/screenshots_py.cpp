// Debug screenshots of failing pages.
#include <string>

#include "engine/common/clock.h"
#include "engine/common/file_name.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using namespace pybind11::literals;

// Text to UTF-8 and back, lone surrogates included, as the file system's
// encoding of a name is measured.
std::string utf8_of(const py::str& text) {
  PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
  if (bytes == nullptr) throw py::error_already_set();
  return std::string(py::reinterpret_steal<py::bytes>(bytes));
}
py::str text_of(const std::string& utf8) {
  PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// ERROR_DIR/<%Y%m%d_%H%M%S>_<tag>.png, always with "/" after the directory; a
// tag too long for a file name is shortened as state file names are. The path
// is returned whether or not the picture could be taken.
py::str save_debug(const py::object& page, const py::object& keyword) {
  py::module_ os = py::module_::import("os");
  const py::object dir = attr("ERROR_DIR");
  os.attr("makedirs")(dir, "exist_ok"_a = true);  // failures here reach the caller
  const std::string name = fit_file_name(local_time("%Y%m%d_%H%M%S") + "_", utf8_of(py::str(keyword)), ".png");
  const py::str path = py::str(os.attr("fspath")(dir)) + py::str("/") + text_of(name);
  if (auto failure = ordinary_error([&] { page.attr("screenshot")("path"_a = path, "full_page"_a = true); })) {
    error("err_screenshot_failed", *failure);
  }
  return path;
}

}  // namespace

void register_screenshots(py::module_& m) {
  m.def("save_debug", &save_debug, py::arg("page"), py::arg("keyword"));
}

}  // namespace engine
