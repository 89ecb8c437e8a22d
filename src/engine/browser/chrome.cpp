#include "engine/browser/chrome.h"

#include <stdexcept>

namespace engine::browser {
namespace {

constexpr std::string_view kBlanks = " \t\n\r\v\f";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view strip(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A whole number as Python's int() reads decimal text, or nothing.
std::optional<long long> whole_number(std::string_view text) {
  std::string_view t = strip(text);
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  if (t.empty() || !is_digit(t.front()) || !is_digit(t.back())) return std::nullopt;
  long long value = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '_') {
      if (!is_digit(t[i + 1])) return std::nullopt;  // "_" only between digits; the last char is a digit
      continue;
    }
    if (!is_digit(t[i])) return std::nullopt;
    // Far beyond any port already: stop counting, the range test rejects it.
    if (value < 1'000'000'000) value = value * 10 + (t[i] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

CdpEndpoint parse_cdp_url(std::string_view cdp_url) {
  std::string rest;
  constexpr std::string_view scheme = "http://";
  for (std::size_t i = 0; i < cdp_url.size();) {
    if (cdp_url.substr(i, scheme.size()) == scheme) {
      i += scheme.size();
    } else {
      rest.push_back(cdp_url[i++]);
    }
  }
  const auto colon = rest.find(':');
  if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos) {
    throw std::invalid_argument("CDP_URL is not of the form http://host:port: '" + std::string(cdp_url) + "'");
  }
  const std::string port_text = rest.substr(colon + 1);
  const auto port = whole_number(port_text);
  if (!port) throw std::invalid_argument("invalid literal for int() with base 10: '" + port_text + "'");
  if (*port < 1 || *port > 65535) throw std::invalid_argument("CDP_URL port out of range 1-65535: '" + port_text + "'");
  return {rest.substr(0, colon), static_cast<int>(*port)};
}

std::string version_url(std::string_view host, std::string_view port_text) {
  return "http://" + std::string(host) + ":" + std::string(port_text) + "/json/version";
}

std::vector<std::string> chrome_command_line(const std::string& executable, int port,
                                             const std::string& user_data_dir,
                                             const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv{executable, "--remote-debugging-port=" + std::to_string(port),
                                "--user-data-dir=" + user_data_dir, "--no-first-run",
                                "--no-default-browser-check"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return argv;
}

std::vector<std::string> netstat_command_line() { return {"netstat", "-ano"}; }

std::vector<std::string> taskkill_command_line(const std::string& pid) { return {"taskkill", "/F", "/PID", pid}; }

std::vector<std::string> fuser_command_line(std::string_view port_text) {
  return {"fuser", "-k", std::string(port_text) + "/tcp"};
}

std::vector<std::string> listening_pids(std::string_view netstat_text, std::string_view port_text) {
  std::string needle = ":";
  needle.append(port_text);
  std::vector<std::string> pids;
  std::size_t start = 0;
  while (start <= netstat_text.size()) {
    auto end = netstat_text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = netstat_text.size();
    const std::string_view line = netstat_text.substr(start, end - start);
    start = end + 1;
    if (line.find("LISTENING") == std::string_view::npos) continue;
    bool holds_port = false;
    for (auto at = line.find(needle); at != std::string_view::npos && !holds_port; at = line.find(needle, at + 1)) {
      const auto after = at + needle.size();
      holds_port = after == line.size() || !is_digit(line[after]);
    }
    if (!holds_port) continue;
    const std::string_view fields = strip(line);
    const auto last_blank = fields.find_last_of(kBlanks);
    const std::string_view pid = last_blank == std::string_view::npos ? fields : fields.substr(last_blank + 1);
    bool digits = !pid.empty();
    for (char c : pid) digits = digits && is_digit(c);
    if (digits) pids.emplace_back(pid);
  }
  return pids;
}

bool is_bare_name(std::string_view candidate) {
  return !candidate.empty() && candidate.find_first_of("/\\") == std::string_view::npos &&
         candidate.find(':') == std::string_view::npos;
}

std::optional<std::string> find_chrome(const std::vector<std::string>& candidates, const ChromeProbes& probes) {
  for (const auto& candidate : candidates) {
    if (probes.is_regular_file(candidate)) return candidate;
  }
  if (probes.read_registry) {
    for (const auto& place : kRegistryPlaces) {
      const RegistryRead read = probes.read_registry(place);
      if (read.kind == RegistryRead::Kind::Failed) break;
      if (read.kind == RegistryRead::Kind::Value && probes.is_regular_file(read.value)) return read.value;
    }
  }
  for (const auto& candidate : candidates) {
    if (!is_bare_name(candidate)) continue;
    if (auto found = probes.find_on_path(candidate)) return found;
  }
  return std::nullopt;
}

}  // namespace engine::browser
