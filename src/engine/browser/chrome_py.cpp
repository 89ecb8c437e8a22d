// Chrome discovery, port handling and start-up: the module operations over
// the rules in chrome.h, requests, winreg and the OS layer.
#include <string>
#include <vector>

#include "engine/browser/chrome.h"
#include "engine/os/process.h"
#include "engine/os/socket.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;

// Chosen at every call, so the Windows paths can be exercised anywhere.
bool on_windows() { return py::str(py::module_::import("sys").attr("platform")).cast<std::string>() == "win32"; }

// A path-like value as text, with Python's own TypeError for anything else.
std::string path_text(const py::handle& path) {
  return py::str(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

os::RunResult run_captured(const std::vector<std::string>& argv) {
  return interruptible([&](const os::Interrupt& interrupt) { return os::run(argv, {}, interrupt); });
}

bool is_cdp_ready(const py::object& host, const py::object& port, const py::object& timeout) {
  bool ready = false;
  // Refused, timed out, unresolvable or garbled: all just "not ready".
  ordinary_error([&] {
    const std::string url =
        browser::version_url(py::str(host).cast<std::string>(), py::str(port).cast<std::string>());
    py::object reply = attr("requests").attr("get")(url, py::arg("timeout") = timeout);
    ready = py::object(reply.attr("status_code")).equal(py::int_(200)) && reply.attr("text").contains("Browser");
  });
  return ready;
}

bool is_port_listening(const std::string& host, int port) {
  if (port < 0 || port > 65535) raise(PyExc_OverflowError, "connect_ex(): port must be 0-65535.");
  return interruptible([&](const os::Interrupt& interrupt) {
    try {
      return os::tcp_connect_ex(host, port, 1.0, interrupt) == 0;
    } catch (const os::ResolveError&) {
      return false;
    } catch (const os::SocketError&) {
      return false;
    }
  });
}

void kill_port_process(const py::object& port) {
  const auto failure = ordinary_error([&] {
    const std::string port_text = py::str(port);
    if (!on_windows()) {
      run_captured(browser::fuser_command_line(port_text));
      return;
    }
    const os::RunResult listing = run_captured(browser::netstat_command_line());
    // netstat speaks the console code page; Chinese Windows uses GBK.
    const std::string text = py::bytes(listing.out).attr("decode")("gbk", "ignore").cast<std::string>();
    for (const std::string& pid : browser::listening_pids(text, port_text)) {
      run_captured(browser::taskkill_command_line(pid));
      info("chrome_killed_process", port, pid);
      shell::sleep(1);
    }
  });
  if (failure) warning("chrome_port_release_failed", port, *failure);
}

// Reads one registry place through the runtime's winreg, imported on first use.
browser::RegistryRead read_registry(py::object& winreg, const browser::RegistryPlace& place) {
  using Kind = browser::RegistryRead::Kind;
  try {
    if (!winreg) winreg = py::module_::import("winreg");
    py::object hive = winreg.attr(place.hive == browser::Hive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER");
    py::object key = winreg.attr("OpenKey")(hive, std::string(place.sub_key), 0, winreg.attr("KEY_READ"));
    py::object entry;
    try {
      entry = winreg.attr("QueryValueEx")(key, "");
    } catch (py::error_already_set&) {
      try {
        winreg.attr("CloseKey")(key);
      } catch (py::error_already_set& close_error) {
        if (!is_ordinary(close_error)) throw;
      }
      throw;
    }
    winreg.attr("CloseKey")(key);
    py::object value = entry[py::int_(0)];  // the data; its registry type is not needed
    // Only text can name a file (a number would be taken as a file descriptor).
    if (!py::isinstance<py::str>(value)) return {Kind::Missing, {}};
    return {Kind::Value, value.cast<std::string>()};
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_OSError)) return {Kind::Missing, {}};
    if (is_ordinary(e)) return {Kind::Failed, {}};
    throw;
  } catch (const std::exception&) {
    return {Kind::Failed, {}};
  }
}

py::object find_chrome() {
  std::vector<std::string> candidates;
  for (const py::handle entry : attr("CHROME_PATHS")) candidates.push_back(path_text(entry));
  py::object isfile = py::module_::import("os.path").attr("isfile");
  py::object winreg;
  browser::ChromeProbes probes;
  probes.is_regular_file = [&](const std::string& path) { return py::bool_(isfile(path)).cast<bool>(); };
  if (on_windows()) {
    probes.read_registry = [&](const browser::RegistryPlace& place) { return read_registry(winreg, place); };
  }
  probes.find_on_path = [](std::string_view name) { return os::find_on_path(name); };
  const auto found = browser::find_chrome(candidates, probes);
  return found ? py::object(py::str(*found)) : py::object(py::none());
}

// The end of a failed start: exit status 1 through SystemExit, so the host
// unwinds and the log is flushed, or false for a caller that carries on.
bool give_up(const py::object& exit_on_fail) {
  if (py::bool_(exit_on_fail)) {
    PyErr_SetObject(PyExc_SystemExit, py::int_(1).ptr());
    throw py::error_already_set();
  }
  return false;
}

bool ensure_chrome(const py::object& exit_on_fail) {
  const py::object cdp_url = attr("CDP_URL");
  const browser::CdpEndpoint endpoint = browser::parse_cdp_url(py::str(cdp_url).cast<std::string>());
  const py::str host(endpoint.host);
  const py::int_ port(endpoint.port);

  if (py::bool_(call("is_cdp_ready", host, port))) {
    info("chrome_port_ready", cdp_url);
    return true;
  }
  if (py::bool_(call("is_port_listening", host, port))) {
    warning("chrome_port_blocked", port);
    call("kill_port_process", port);
  }

  const py::object path = call("find_chrome");
  if (path.is_none()) {
    error("chrome_not_found");
    call("send_alert", tr("alert_chrome_not_found"));
    return give_up(exit_on_fail);
  }

  info("chrome_launching", path);
  const py::object user_data = attr("CHROME_USER_DATA");
  py::module_::import("os").attr("makedirs")(user_data, py::arg("exist_ok") = true);
  std::vector<std::string> extra_args;
  for (const py::handle arg : attr("CHROME_EXTRA_ARGS")) extra_args.push_back(path_text(arg));
  try {
    os::spawn_detached(browser::chrome_command_line(path_text(path), endpoint.port, path_text(user_data), extra_args));
  } catch (const os::StartError& e) {
    raise(PyExc_OSError, e.what());
  }

  for (int poll = 0; poll < 30; ++poll) {
    shell::sleep(1);
    if (py::bool_(call("is_cdp_ready", host, port))) {
      shell::sleep(2);  // a fresh browser settles before the first check attaches to it
      info("chrome_ready", cdp_url);
      return true;
    }
  }
  error("chrome_timeout", cdp_url);
  call("send_alert", tr("alert_chrome_timeout"));
  return give_up(exit_on_fail);
}

}  // namespace

void register_chrome(py::module_& m) {
  m.def("is_cdp_ready", &is_cdp_ready, py::arg("host") = "127.0.0.1", py::arg("port") = 9222,
        py::arg("timeout") = 2);
  m.def("find_chrome", &find_chrome);
  m.def("is_port_listening", &is_port_listening, py::arg("host") = "127.0.0.1", py::arg("port") = 9222);
  m.def("kill_port_process", &kill_port_process, py::arg("port") = 9222);
  m.def("ensure_chrome", &ensure_chrome, py::arg("exit_on_fail") = true);
}

}  // namespace engine
