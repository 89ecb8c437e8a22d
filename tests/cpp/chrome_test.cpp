#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "engine/browser/chrome.h"

namespace engine::browser {
namespace {

TEST(CdpUrl, SplitsIntoHostAndPort) {
  struct Case {
    const char* url;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"http://127.0.0.1:9222", "127.0.0.1", 9222},
      {"127.0.0.1:9222", "127.0.0.1", 9222},  // the scheme is optional
      {"http://localhost:1", "localhost", 1},
      {"http://127.0.0.1: 9222 ", "127.0.0.1", 9222},  // int() allows blanks around the number
      {"http://127.0.0.1:+09_222", "127.0.0.1", 9222},
      {"http://http://127.0.0.1:65535", "127.0.0.1", 65535},  // every occurrence goes
      {"127.0.0.http://1:80", "127.0.0.1", 80},
  };
  for (const auto& c : cases) {
    const CdpEndpoint e = parse_cdp_url(c.url);
    EXPECT_EQ(e.host, c.host) << c.url;
    EXPECT_EQ(e.port, c.port) << c.url;
  }
}

TEST(CdpUrl, RejectsWhatIsNoHostAndPort) {
  for (const char* url : {"http://127.0.0.1", "https://127.0.0.1:9222", "http://[::1]:9222", "http://127.0.0.1:9222/",
                          "http://127.0.0.1:", "http://127.0.0.1:port", "http://127.0.0.1:92 22", "http://127.0.0.1:9_",
                          "http://127.0.0.1:9__2", "http://127.0.0.1:0x10", "http://127.0.0.1:0", "http://127.0.0.1:-1",
                          "http://127.0.0.1:65536", "http://127.0.0.1:99999999999999999999", ""}) {
    EXPECT_THROW(parse_cdp_url(url), std::invalid_argument) << url;
  }
}

TEST(ChromeCommandLine, FixedArgumentsThenExtras) {
  EXPECT_EQ(version_url("127.0.0.1", "9222"), "http://127.0.0.1:9222/json/version");
  const std::vector<std::string> expected{
      "/usr/bin/chromium",       "--remote-debugging-port=9333", "--user-data-dir=/tmp/a b/chrome_debug",
      "--no-first-run",          "--no-default-browser-check",  "--headless=new",
      "--no-sandbox"};
  EXPECT_EQ(chrome_command_line("/usr/bin/chromium", 9333, "/tmp/a b/chrome_debug", {"--headless=new", "--no-sandbox"}),
            expected);
  EXPECT_EQ(chrome_command_line("chrome", 1, "d", {}).size(), 5u);
  EXPECT_EQ(fuser_command_line("9222"), (std::vector<std::string>{"fuser", "-k", "9222/tcp"}));
  EXPECT_EQ(taskkill_command_line("42"), (std::vector<std::string>{"taskkill", "/F", "/PID", "42"}));
  EXPECT_EQ(netstat_command_line(), (std::vector<std::string>{"netstat", "-ano"}));
}

TEST(Netstat, ListeningPidsOfThePort) {
  const std::string listing =
      "\r\n"
      "Active Connections\r\n"
      "\r\n"
      "  Proto  Local Address          Foreign Address        State           PID\r\n"
      "  TCP    0.0.0.0:80             0.0.0.0:0              LISTENING       4242\r\n"
      "  TCP    [::]:80                [::]:0                 LISTENING       4242\r\n"
      "  TCP    0.0.0.0:8080           0.0.0.0:0              LISTENING       555\r\n"
      "  TCP    0.0.0.0:800            0.0.0.0:0              LISTENING       556\r\n"
      "  TCP    127.0.0.1:80           127.0.0.1:50123        ESTABLISHED     777\r\n"
      "  TCP    127.0.0.1:80           0.0.0.0:0              listening       778\r\n"
      "  TCP    127.0.0.1:80           0.0.0.0:0              LISTENING       12a\r\n"
      "  TCP    127.0.0.1:80           0.0.0.0:0              LISTENING\r\n"
      "  UDP    0.0.0.0:80             *:*                    LISTENING\t31 \r\n"
      "TCP 10.0.0.1:80 0.0.0.0:0 LISTENING 99";  // no line end at the end
  EXPECT_EQ(listening_pids(listing, "80"), (std::vector<std::string>{"4242", "4242", "31", "99"}));
  EXPECT_EQ(listening_pids(listing, "8080"), (std::vector<std::string>{"555"}));
  EXPECT_TRUE(listening_pids(listing, "8").empty());
  EXPECT_TRUE(listening_pids("", "80").empty());
  // A bare carriage return ends a line too, as text-mode reading treats it.
  EXPECT_EQ(listening_pids("TCP 0.0.0.0:9222 0.0.0.0:0 LISTENING 7\rTCP 0.0.0.0:9222 x LISTENING 8", "9222"),
            (std::vector<std::string>{"7", "8"}));
}

// A machine made of a set of regular files, registry values and search-path entries.
struct Machine {
  std::set<std::string> files;
  std::map<std::string, RegistryRead> registry;  // by "LM\..." or "CU\..."
  std::map<std::string, std::string> on_path;
  bool windows = false;
  std::vector<std::string> asked;  // registry places read, in order

  ChromeProbes probes() {
    ChromeProbes p;
    p.is_regular_file = [this](const std::string& path) { return files.count(path) > 0; };
    if (windows) {
      p.read_registry = [this](const RegistryPlace& place) {
        const std::string name = (place.hive == Hive::LocalMachine ? "LM\\" : "CU\\") + std::string(place.sub_key);
        asked.push_back(name);
        const auto it = registry.find(name);
        return it == registry.end() ? RegistryRead{} : it->second;
      };
    }
    p.find_on_path = [this](std::string_view name) -> std::optional<std::string> {
      const auto it = on_path.find(std::string(name));
      if (it == on_path.end()) return std::nullopt;
      return it->second;
    };
    return p;
  }
};

const std::vector<std::string> kCandidates{R"(C:\Program Files\Google\Chrome\Application\chrome.exe)",
                                           R"(C:\Program Files (x86)\Google\Chrome\Application\chrome.exe)",
                                           "google-chrome",
                                           "chrome",
                                           "chromium",
                                           "google-chrome-stable"};
const std::string kAppPaths = R"(SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\chrome.exe)";
const std::string kGoogle = R"(SOFTWARE\Google\Chrome)";

RegistryRead value(std::string v) { return {RegistryRead::Kind::Value, std::move(v)}; }

TEST(FindChrome, CandidateOrder) {
  Machine cwd;
  cwd.files = {"chromium"};
  cwd.on_path = {{"google-chrome", "/opt/google/chrome/google-chrome"}};
  Machine two_files;
  two_files.files = {"google-chrome-stable", "chrome"};
  Machine path;
  path.on_path = {{"chromium", "/usr/bin/chromium"}, {"google-chrome-stable", "/usr/bin/gcs"}};
  Machine path_order;
  path_order.on_path = {{"chromium", "/usr/bin/chromium"}, {"google-chrome", "/usr/bin/google-chrome"}};
  Machine not_windows;
  not_windows.files = {R"(D:\Chrome\chrome.exe)"};
  not_windows.registry = {{"LM\\" + kAppPaths, value(R"(D:\Chrome\chrome.exe)")}};
  Machine win;
  win.windows = true;
  win.files = {R"(D:\Chrome\chrome.exe)", R"(E:\chrome.exe)"};
  win.registry = {{"LM\\" + kGoogle, value(R"(E:\chrome.exe)")}, {"CU\\" + kAppPaths, value(R"(D:\Chrome\chrome.exe)")}};
  win.on_path = {{"chrome", R"(C:\Tools\chrome.exe)"}};
  Machine listed = win;
  listed.files.insert(kCandidates[1]);
  Machine stale = win;
  stale.files.erase(R"(E:\chrome.exe)");
  Machine failed = win;
  failed.registry["LM\\" + kAppPaths] = {RegistryRead::Kind::Failed, {}};

  struct Case {
    const char* what;
    Machine& machine;
    std::optional<std::string> expected;
  };
  Machine nothing;
  const Case cases[] = {
      {"nothing anywhere", nothing, std::nullopt},
      {"a file in the working directory wins, unchanged", cwd, "chromium"},
      {"the first file of the list", two_files, "chrome"},
      {"the search path gives the full path", path, "/usr/bin/chromium"},
      {"the search path in list order", path_order, "/usr/bin/google-chrome"},
      {"the registry only on Windows", not_windows, std::nullopt},
      {"the first registry place that names a file", win, R"(E:\chrome.exe)"},
      {"a listed file before the registry", listed, kCandidates[1]},
      {"a value naming no file is passed over", stale, R"(D:\Chrome\chrome.exe)"},
      {"a failed read ends the registry search; the search path still counts", failed, R"(C:\Tools\chrome.exe)"},
  };
  for (const auto& c : cases) EXPECT_EQ(find_chrome(kCandidates, c.machine.probes()), c.expected) << c.what;
}

TEST(FindChrome, RegistryPlacesInOrderUntilAFailure) {
  Machine m;
  m.windows = true;
  EXPECT_EQ(find_chrome(kCandidates, m.probes()), std::nullopt);
  EXPECT_EQ(m.asked, (std::vector<std::string>{"LM\\" + kAppPaths, "LM\\" + kGoogle, "CU\\" + kAppPaths, "CU\\" + kGoogle}));

  Machine f;
  f.windows = true;
  f.registry["LM\\" + kGoogle] = {RegistryRead::Kind::Failed, {}};
  f.registry["CU\\" + kAppPaths] = value("chrome.exe");
  f.files.insert("chrome.exe");
  EXPECT_EQ(find_chrome({}, f.probes()), std::nullopt);
  EXPECT_EQ(f.asked.size(), 2u);
}

TEST(FindChrome, OnlyBareNamesGoToTheSearchPath) {
  for (const char* name : {"chromium", "google-chrome", "chrome.exe"}) EXPECT_TRUE(is_bare_name(name)) << name;
  for (const char* name : {"", "./chromium", "/usr/bin/chromium", R"(C:\Program Files\chrome.exe)", "C:chrome.exe",
                           "bin/chromium"}) {
    EXPECT_FALSE(is_bare_name(name)) << name;
  }
}

}  // namespace
}  // namespace engine::browser
