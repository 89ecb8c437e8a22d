// The factory that turns a user-defined target's protocol word into a check
// function for the monitoring run.
#include "engine/probes/protocol_check_py.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;

constexpr probes::ProtocolRow kProtocols[] = {
    {"tcp", "check_tcp", true},
    {"udp", "check_udp", true},
    {"icmp", "check_icmp", false},
    {"icmp_ping", "check_icmp_ping", false},
    {"tcp_ping", "check_tcp_ping", true},
};

py::object make_protocol_check_fn(const py::object& name, const py::object& ip, const py::object& port,
                                  const py::object& protocol) {
  if (const probes::ProtocolRow* row = probes::protocol_row(protocol)) {
    const char* probe = row->probe;
    const bool uses_port = row->uses_port;
    // The probe is looked up when the check runs, so a substitute put into the
    // module namespace is the one called. The port converts only then, and a
    // port that does not convert raises to the caller before any probe runs.
    return py::cpp_function([probe, uses_port, ip, port]() -> py::object {
      if (!uses_port) return call(probe, ip);
      return call(probe, ip, probes::probe_port(port));
    }, py::name("check_fn"));
  }
  // A literal text, not a catalogue key (with the full-width comma): the word
  // as the settings spell it, then the name.
  attr("logger").attr("warning")("未知协议 %s，跳过自定义目标 %s", protocol, name);
  return py::none();
}

}  // namespace

namespace probes {

const ProtocolRow* protocol_row(const py::object& protocol) {
  // Compared as Python texts: a word holding a lone surrogate is just unknown.
  const py::object lowered = protocol.attr("lower")();
  for (const ProtocolRow& row : kProtocols) {
    if (py::isinstance<py::str>(lowered) && lowered.equal(py::str(row.word))) return &row;
  }
  return nullptr;
}

py::object probe_port(const py::object& port) { return py::module_::import("builtins").attr("int")(port); }

}  // namespace probes

void register_protocol_check(py::module_& m) {
  m.def("_make_protocol_check_fn", &make_protocol_check_fn, py::arg("name"), py::arg("ip"), py::arg("port"),
        py::arg("protocol"));
}

}  // namespace engine
