#pragma once
// The rules of browser control that need no Python: where the DevTools
// endpoint is, how Chrome is started, which netstat lines name the process
// holding the debugging port, and the order in which Chrome is looked for.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine::browser {

// Host and port of the DevTools endpoint.
struct CdpEndpoint {
  std::string host;
  int port = 0;
};

// Every "http://" removed from the address, the rest split at ":" into exactly
// a host and a port text, the port text read as a whole number (blanks around
// it, a sign and "_" between digits allowed, as Python's int() reads it).
// Throws std::invalid_argument when there are not exactly two parts, when the
// port text is not a whole number, or when it is no TCP port (1 to 65535).
CdpEndpoint parse_cdp_url(std::string_view cdp_url);

// "http://" host ":" port "/json/version"
std::string version_url(std::string_view host, std::string_view port_text);

// Chrome with its debugging port and private profile, then the extra arguments.
std::vector<std::string> chrome_command_line(const std::string& executable, int port,
                                             const std::string& user_data_dir,
                                             const std::vector<std::string>& extra_args);

// The commands that free the debugging port.
std::vector<std::string> netstat_command_line();
std::vector<std::string> taskkill_command_line(const std::string& pid);
std::vector<std::string> fuser_command_line(std::string_view port_text);

// The process ids of the "netstat -ano" lines that hold the port in the state
// "LISTENING", in the order of the lines, one per line (a process named by two
// lines is named twice). A line matches when it contains "LISTENING" and ":"
// followed by the port text that is not followed by a further digit, so port
// 80 does not match ":8080". Its last blank-separated field is the id; lines
// whose id is not all decimal digits are skipped.
std::vector<std::string> listening_pids(std::string_view netstat_text, std::string_view port_text);

// The Windows registry places whose default value may name chrome.exe, in the
// order they are read.
enum class Hive { LocalMachine, CurrentUser };
struct RegistryPlace {
  Hive hive;
  std::string_view sub_key;
};
inline constexpr std::array<RegistryPlace, 4> kRegistryPlaces{{
    {Hive::LocalMachine, R"(SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\chrome.exe)"},
    {Hive::LocalMachine, R"(SOFTWARE\Google\Chrome)"},
    {Hive::CurrentUser, R"(SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\chrome.exe)"},
    {Hive::CurrentUser, R"(SOFTWARE\Google\Chrome)"},
}};

// What reading one registry place gave.
struct RegistryRead {
  enum class Kind {
    Value,    // the default value, a path text
    Missing,  // no key or no usable value there: try the next place
    Failed,   // an unexpected error: the registry search ends without result
  };
  Kind kind = Kind::Missing;
  std::string value;
};

// What find_chrome asks the machine.
struct ChromeProbes {
  std::function<bool(const std::string&)> is_regular_file;
  // Unset where there is no registry (every system but Windows).
  std::function<RegistryRead(const RegistryPlace&)> read_registry;
  std::function<std::optional<std::string>(std::string_view)> find_on_path;
};

// A candidate without any directory part, looked up on the search path.
bool is_bare_name(std::string_view candidate);

// The Chrome executable, in this order:
// 1. the first candidate that names a regular file, unchanged (a bare name is
//    taken relative to the working directory);
// 2. with a registry, the first registry place whose value names a regular file;
// 3. the first bare candidate found on the executable search path, as its full path.
// The search path comes last so that wherever steps 1 and 2 find Chrome the
// result stays what it always was, and on Windows the installed Chrome that
// the registry records wins over whatever a search path happens to hold.
std::optional<std::string> find_chrome(const std::vector<std::string>& candidates, const ChromeProbes& probes);

}  // namespace engine::browser
