// The network probes as module operations. Conversions follow Python's own
// rules (int() for the port, the socket module's for the host and time-out),
// so a probe fails on a bad value exactly where and how Python code would;
// the probing itself runs in the core with the GIL released.
#include <string>

#include "engine/os/console_text.h"
#include "engine/os/process.h"
#include "engine/probes/ping.h"
#include "engine/probes/probes.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using probes::Outcome;
using probes::Probe;

std::string type_name(const py::handle& value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// The platform is read at every call, so the Windows and macOS command lines
// and the Windows output rules can be exercised anywhere.
std::string platform() { return py::str(py::module_::import("sys").attr("platform")).cast<std::string>(); }

// The port as int(port) gives it; a number too large for the core stays out of range.
long long whole_port(const py::object& port) {
  py::object number = py::module_::import("builtins").attr("int")(port);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) return -1;
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

// The host as the socket module takes it: ASCII text as it is, other text in
// its IDNA form, bytes unchanged.
std::string socket_host(const py::object& ip) {
  std::string host;
  if (py::isinstance<py::str>(ip)) {
    if (PyUnicode_IS_ASCII(ip.ptr())) {
      host = ip.cast<std::string>();
    } else {
      host = ip.attr("encode")("idna").cast<std::string>();
    }
  } else if (py::isinstance<py::bytes>(ip) || PyByteArray_Check(ip.ptr())) {
    host = py::bytes(py::module_::import("builtins").attr("bytes")(ip)).cast<std::string>();
  } else {
    raise(PyExc_TypeError, "str, bytes or bytearray expected, not " + type_name(ip));
  }
  if (host.find('\0') != std::string::npos) raise(PyExc_TypeError, "host name must not contain null character");
  return host;
}

// The time-out as socket.settimeout takes it; none waits as long as it takes.
double socket_timeout(const py::object& timeout) {
  if (timeout.is_none()) return 1e300;
  double seconds = 0;
  if (PyFloat_Check(timeout.ptr())) {
    seconds = timeout.cast<double>();
  } else if (PyIndex_Check(timeout.ptr())) {
    seconds = py::float_(py::reinterpret_steal<py::object>(PyNumber_Index(timeout.ptr()))).cast<double>();
  } else {
    raise(PyExc_TypeError, "'" + type_name(timeout) + "' object cannot be interpreted as an integer");
  }
  if (seconds != seconds) raise(PyExc_ValueError, "Invalid value NaN (not a number)");
  if (seconds < 0) raise(PyExc_ValueError, "Timeout value out of range");
  return seconds;
}

// "address:port", both written as the probe received them.
std::string keyword_of(const py::object& ip, const py::object& port) {
  return py::str("{}:{}").format(ip, port).cast<std::string>();
}

py::object latency_of(const Outcome& o) {
  if (!o.latency) return py::none();
  return py::reinterpret_steal<py::object>(PyLong_FromDouble(*o.latency));
}

// A socket probe: the Python-side conversions, then the core with the GIL
// released. Any ordinary error becomes the probe's own failure.
template <class CoreProbe>
Outcome socket_probe(Probe probe, const py::object& ip, const py::object& port, const py::object& timeout,
                     std::string& keyword, CoreProbe core_probe) {
  Outcome outcome;
  const auto error = ordinary_error([&] {
    keyword = keyword_of(ip, port);
    const double seconds = socket_timeout(timeout);
    const long long number = whole_port(port);
    const std::string host = socket_host(ip);
    outcome = interruptible([&](const os::Interrupt& interrupt) { return core_probe(host, number, seconds, interrupt); });
  });
  return error ? probes::failed(probe, *error) : outcome;
}

py::tuple check_tcp(const py::object& ip, const py::object& port, const py::object& timeout) {
  std::string keyword;
  const Outcome o = socket_probe(Probe::Tcp, ip, port, timeout, keyword, probes::check_tcp);
  return py::make_tuple(o.success, keyword, o.reason);
}

py::tuple check_udp(const py::object& ip, const py::object& port, const py::object& timeout) {
  std::string keyword;
  const Outcome o = socket_probe(Probe::Udp, ip, port, timeout, keyword, probes::check_udp);
  return py::make_tuple(o.success, keyword, o.reason);
}

py::tuple check_tcp_ping(const py::object& ip, const py::object& port, const py::object& timeout) {
  std::string keyword;
  const Outcome o = socket_probe(Probe::TcpPing, ip, port, timeout, keyword, probes::check_tcp_ping);
  return py::make_tuple(o.success, keyword, o.reason, latency_of(o));
}

// A child's output as text. On Windows ping writes in the console's code
// page, which the core decodes; where the core has no code pages (a Windows
// run exercised elsewhere, and every other system) it is decoded as Python
// decodes a child's text output: strictly, in locale.getpreferredencoding(False).
std::string decode_output(const std::string& bytes, bool windows) {
  py::object text;
  std::optional<std::string> native = windows ? os::decode_console_output(bytes) : std::nullopt;
  if (native) {
    text = py::str(*native);
  } else {
    py::object encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    text = py::bytes(bytes).attr("decode")(encoding);
  }
  // Text mode reads every line end as "\n".
  return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n").cast<std::string>();
}

// A ping run with its output as text; TimedOut, StartError, NotAnAddress
// and conversion errors leave.
struct PingText {
  int exit_status = 0;
  std::string out;
  double elapsed_ms = 0;
};

PingText run_ping(const py::object& ip, const py::object& timeout, const std::string& platform, bool windows) {
  // The address as the system hands it to a child, as subprocess does (bytes
  // and paths too): a value of any other type is refused, never converted.
  const std::string address = py::bytes(py::module_::import("os").attr("fsencode")(ip));
  if (address.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
  const std::string wait = probes::ping_wait_in_milliseconds(platform)
                               ? py::str(py::module_::import("builtins").attr("int")(timeout * py::int_(1000)))
                               : py::str(timeout);
  const double limit = py::float_(timeout + py::int_(3)).cast<double>();
  probes::PingRun run = interruptible([&](const os::Interrupt& interrupt) {
    return probes::run_ping(platform, address, wait, limit, interrupt);
  });
  PingText text{run.exit_status, decode_output(run.out, windows), run.elapsed_ms};
  decode_output(run.err, windows);  // undecodable error output fails the run, as in Python
  return text;
}

// The keyword of an ICMP probe: the address as received where it is one
// ping can be given (text, bytes, a path), else its text, as the socket
// probes write theirs, so that a notice can show a number from the settings.
py::object icmp_keyword(const py::object& ip) {
  const bool an_address = py::isinstance<py::str>(ip) || py::isinstance<py::bytes>(ip) || py::hasattr(ip, "__fspath__");
  return an_address ? ip : py::str(ip);
}

template <class Judge>
Outcome ping_probe(Probe probe, const py::object& ip, const py::object& timeout, py::object& keyword, Judge judge) {
  Outcome outcome;
  keyword = py::str("");
  const auto error = ordinary_error([&] {
    keyword = icmp_keyword(ip);
    const std::string system = platform();
    const bool windows = system == "win32";
    try {
      const PingText run = run_ping(ip, timeout, system, windows);
      outcome = judge(run, windows);
    } catch (const os::TimedOut&) {
      outcome = probes::ping_timed_out();
    }
  });
  return error ? probes::failed(probe, *error) : outcome;
}

py::tuple check_icmp(const py::object& ip, const py::object& timeout) {
  py::object keyword;
  const Outcome o = ping_probe(Probe::Icmp, ip, timeout, keyword, [](const PingText& run, bool windows) {
    return probes::judge_icmp(run.exit_status, windows, run.out);
  });
  return py::make_tuple(o.success, keyword, o.reason);
}

py::tuple check_icmp_ping(const py::object& ip, const py::object& timeout) {
  py::object keyword;
  const Outcome o = ping_probe(Probe::IcmpPing, ip, timeout, keyword, [](const PingText& run, bool windows) {
    return probes::judge_icmp_ping(run.exit_status, windows, run.out, run.elapsed_ms);
  });
  return py::make_tuple(o.success, keyword, o.reason, latency_of(o));
}

}  // namespace

void register_probes(py::module_& m) {
  m.def("check_tcp", &check_tcp, py::arg("ip"), py::arg("port"), py::arg("timeout") = 3);
  m.def("check_udp", &check_udp, py::arg("ip"), py::arg("port"), py::arg("timeout") = 3);
  m.def("check_icmp", &check_icmp, py::arg("ip"), py::arg("timeout") = 3);
  m.def("check_icmp_ping", &check_icmp_ping, py::arg("ip"), py::arg("timeout") = 3);
  m.def("check_tcp_ping", &check_tcp_ping, py::arg("ip"), py::arg("port"), py::arg("timeout") = 3);
}

}  // namespace engine
