#pragma once
// What the protocol check factory makes of a user-defined target's protocol
// and port, for the monitoring run to check the same rules at start-up.
#include <pybind11/pybind11.h>

namespace engine::probes {

namespace py = pybind11;

// The probe a protocol word names, and whether it takes the port.
struct ProtocolRow {
  const char* word;
  const char* probe;
  bool uses_port;
};

// The row of a protocol word, compared in lower case (blanks are not
// removed), or nullptr for a word outside the table. A word that is not text
// fails with Python's own error.
const ProtocolRow* protocol_row(const py::object& protocol);

// The port as a probe takes it: int(port), so a whole number stays, a
// fraction is cut toward zero and a text must hold a decimal whole number.
py::object probe_port(const py::object& port);

}  // namespace engine::probes
