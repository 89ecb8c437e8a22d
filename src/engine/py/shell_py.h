#pragma once
// The Python side of the engine: the module namespace, its settings, the log,
// the catalogue, the one rule for ordinary versus pass-through errors, and the
// bridge between the core's interruptible waits and Python's signal handling.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/os/interrupt.h"

namespace engine::shell {

namespace py = pybind11;

// engine.core itself, looked up at call time so that hosts and tests can
// replace any of its attributes between calls.
py::module_ core();
py::object attr(const char* name);

// A setting read by name when an operation runs: core.RETRY_COUNT = 1 changes the next call.
template <class T>
T setting(const char* name) {
  return attr(name).cast<T>();
}

// Calls a public operation through the module namespace, as a Python module would.
template <class... A>
py::object call(const char* name, A&&... args) {
  return attr(name)(std::forward<A>(args)...);
}

// Python text to the core's UTF-8, two ways; a value that is not text
// crosses as its str(). They differ only in a lone surrogate, which a Python
// str may hold and UTF-8 cannot:
// - kept in its three-byte form ("surrogatepass"), so that the text comes
//   back to Python as it was (from_text is the way back);
std::string text_keeping_surrogates(const py::handle& value);
// - written as its backslash escape, so that the text is UTF-8 proper for
//   whatever leaves the process (a log line, a file, a mail).
std::string text_escaping_surrogates(const py::handle& value);
// A str from the core's text, a lone surrogate's three-byte form included.
py::str from_text(std::string_view text);

// A path as Python's file operations are to hand it to the system: on
// Windows the extended-length form of one too long for a stock system, else
// the path itself (bytes included).
py::object system_path(const py::object& path);

// tr(key, *args) of the catalogue, as the core's UTF-8 (a name filled in may
// hold a lone surrogate).
template <class... A>
std::string tr(const char* key, A&&... args) {
  return text_keeping_surrogates(call("tr", key, std::forward<A>(args)...));
}

// Log records: the catalogue text is the %-format and the values go beside it,
// so the logger fills them in.
template <class... A>
void log(const char* level, const char* key, A&&... args) {
  attr("logger").attr(level)(call("tr", key), std::forward<A>(args)...);
}
template <class... A>
void info(const char* key, A&&... args) { log("info", key, std::forward<A>(args)...); }
template <class... A>
void warning(const char* key, A&&... args) { log("warning", key, std::forward<A>(args)...); }
template <class... A>
void error(const char* key, A&&... args) { log("error", key, std::forward<A>(args)...); }
// A literal message that is not a catalogue text (separators, banners).
void info_literal(const std::string& message);

// A settings value as a log or error line quotes it: the value itself, or,
// when its text is longer than kShownLength characters, the start of that text
// and "…". A name of five million characters would otherwise be a line of five
// million.
inline constexpr std::size_t kShownLength = 100;
py::object shown(const py::handle& value);
// The same as text (UTF-8) for an error line built in C++; a lone surrogate
// is written as Python's backslash escape.
std::string shown_text(const py::handle& value);

// --- errors -----------------------------------------------------------------
// Ordinary errors: every C++ exception of the core and every Python Exception.
// Pass-through: KeyboardInterrupt and SystemExit (BaseException only).
bool is_ordinary(const py::error_already_set& e);
// What Python's str(e) gives for an error (no type name in front).
std::string error_text(const py::error_already_set& e);
// Raises a Python error of the given type with the text.
[[noreturn]] void raise(PyObject* type, const std::string& text);
// The same, as the consequence of cause (Python's raise ... from cause).
[[noreturn]] void raise_from(const py::error_already_set& cause, PyObject* type, const std::string& text);

// Runs body; returns the text of an ordinary error it raised, or nothing when it
// succeeded. Pass-through errors leave unchanged.
template <class F>
std::optional<std::string> ordinary_error(F&& body) {
  try {
    std::forward<F>(body)();
    return std::nullopt;
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return error_text(e);
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

// --- interrupts ---------------------------------------------------------------
// Runs a blocking core operation with the GIL released. The core asks the
// Interrupt between its slices; Python's pending signal handlers run there,
// and an exception they raise (KeyboardInterrupt) leaves this call.
template <class F>
auto interruptible(F&& body) -> decltype(body(std::declval<const os::Interrupt&>())) {
  const os::Interrupt interrupt = [] {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
  };
  try {
    py::gil_scoped_release nogil;
    return body(interrupt);
  } catch (const os::Interrupted&) {
    throw py::error_already_set();
  }
}

// An interruptible pause of the given seconds.
void sleep(double seconds);

}  // namespace engine::shell
