#pragma once
// Notice texts between Python and the core. A Python str may hold lone
// surrogates; they cross in their three-byte form ("surrogatepass") so that
// every text can be parsed and rendered, as the operations promise.
#include <pybind11/pybind11.h>

#include <string>

namespace engine::alerts {
namespace py = pybind11;

// The UTF-8 bytes of a str; anything else raises TypeError naming what it got.
std::string core_text(const py::handle& text, const char* what);

}  // namespace engine::alerts
