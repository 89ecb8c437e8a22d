#include "engine/py/shell_py.h"

#include "engine/os/native_path.h"

namespace engine::shell {

py::module_ core() { return py::module_::import("engine.core"); }

py::object attr(const char* name) { return core().attr(name); }

void info_literal(const std::string& message) { attr("logger").attr("info")(message); }

std::string text_keeping_surrogates(const py::handle& value) {
  py::object text = py::isinstance<py::str>(value) ? py::reinterpret_borrow<py::object>(value) : py::str(value);
  PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
  if (bytes == nullptr) throw py::error_already_set();
  return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

py::str from_text(std::string_view text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

py::object system_path(const py::object& path) {
  if (!py::isinstance<py::str>(path)) return path;
  const std::string text = text_keeping_surrogates(path);
  const std::string native = os::native_path_text(text);
  return native == text ? path : py::object(from_text(native));
}

namespace {
const char* const kCut = "…";
}

py::object shown(const py::handle& value) {
  const py::str text(value);
  if (py::len(text) <= kShownLength) return py::reinterpret_borrow<py::object>(value);
  return py::object(text[py::slice(0, static_cast<py::ssize_t>(kShownLength), 1)]) + py::str(kCut);
}

std::string shown_text(const py::handle& value) { return text_escaping_surrogates(shown(value)); }

bool is_ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

void raise(PyObject* type, const std::string& text) {
  PyErr_SetObject(type, from_text(text).ptr());
  throw py::error_already_set();
}

void raise_from(const py::error_already_set& cause, PyObject* type, const std::string& text) {
  const py::object error = py::reinterpret_borrow<py::object>(type)(from_text(text));
  PyException_SetCause(error.ptr(), cause.value().inc_ref().ptr());
  PyException_SetContext(error.ptr(), cause.value().inc_ref().ptr());
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

std::string text_escaping_surrogates(const py::handle& value) {
  return py::str(value).attr("encode")("utf-8", "backslashreplace").cast<std::string>();
}

std::string error_text(const py::error_already_set& e) {
  // The guard that reports an error must not fail on its text.
  try {
    return text_escaping_surrogates(e.value());
  } catch (py::error_already_set& failed) {
    // An error whose str() itself fails is still an ordinary error: the guard
    // must absorb it, not let the second failure out. Python's own traceback
    // printing words such an error this way.
    if (!is_ordinary(failed)) throw;
    return "<exception str() failed>";
  }
}

void sleep(double seconds) {
  interruptible([&](const os::Interrupt& interrupt) { os::sleep(seconds, interrupt); });
}

}  // namespace engine::shell
