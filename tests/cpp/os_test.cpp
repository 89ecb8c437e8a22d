// The OS layer's contract, one source for every platform: built and run on
// Linux, and for Windows under Wine. Child processes are the small helper
// os_test_child built beside this test; peers are made through the platform's
// own sockets. Where the platforms differ by design, each says what it does.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "engine/os/text_win32.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/os/console_text.h"
#include "engine/os/files.h"
#include "engine/os/native_path.h"
#include "engine/os/process.h"
#include "engine/os/socket.h"
#include "engine/probes/probes.h"

namespace engine::os {
namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// Paths as the OS layer takes them: UTF-8 text (on Windows converted as the
// OS layer converts, so a lone surrogate in a name stays itself).
std::string utf8(const fs::path& path) {
#ifdef _WIN32
  return narrow(path.native());
#else
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
#endif
}

double seconds_since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

// An interrupt that fires at its nth question, as Ctrl+C arriving during a wait.
Interrupt fires_at(int n) {
  auto asked = std::make_shared<int>(0);
  return [asked, n] { return ++*asked >= n; };
}

#ifdef _WIN32
using Native = SOCKET;
const Native kNoSocket = INVALID_SOCKET;
void close_socket(Native s) { ::closesocket(s); }
constexpr int kRefusedNumber = WSAECONNREFUSED;  // 10061
constexpr int kTimedOutNumber = WSAEWOULDBLOCK;  // 10035, what connect_ex gives for a time-out
constexpr char kPathSeparator = ';';
const char* const kMissingProgramText = "[WinError 2] The system cannot find the file specified";

void start_sockets() {
  static const int rc = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  ASSERT_EQ(rc, 0);
}

void set_non_blocking(Native s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}

bool under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

std::string own_directory() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  return utf8(fs::path(std::wstring(buffer, n)).parent_path());
}

void set_variable(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

// Not getenv: the C runtime keeps a copy that SetEnvironmentVariableW does not change.
std::string get_variable(const std::string& name) {
  wchar_t buffer[32768];
  const DWORD n = ::GetEnvironmentVariableW(widen(name).c_str(), buffer, static_cast<DWORD>(std::size(buffer)));
  return narrow(std::wstring(buffer, n));
}
#else
using Native = int;
const Native kNoSocket = -1;
void close_socket(Native s) { ::close(s); }
constexpr int kRefusedNumber = ECONNREFUSED;
constexpr int kTimedOutNumber = EAGAIN;
constexpr char kPathSeparator = ':';
const char* const kMissingProgramText = "[Errno 2] No such file or directory: 'no-such-program-here'";

void start_sockets() {}
void set_non_blocking(Native s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }
bool under_wine() { return false; }

std::string own_directory() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

void set_variable(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

std::string get_variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}
#endif

const std::string kChildName = "os_test_child";

std::string child_path() {
#ifdef _WIN32
  return utf8(fs::u8path(own_directory()) / (kChildName + ".exe"));
#else
  return (fs::path(own_directory()) / kChildName).string();
#endif
}

std::vector<std::string> child(std::vector<std::string> args) {
  args.insert(args.begin(), child_path());
  return args;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<unsigned short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A socket bound to a free loopback port.
class Peer {
 public:
  explicit Peer(int type) {
    start_sockets();
    s_ = ::socket(AF_INET, type, 0);
    sockaddr_in a = loopback(0);
    EXPECT_EQ(::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() { close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  Native native() const { return s_; }
  int port() const { return port_; }
  void close() {
    if (s_ != kNoSocket) close_socket(s_);
    s_ = kNoSocket;
  }

 private:
  Native s_ = kNoSocket;
  int port_ = 0;
};

// Waits up to the given seconds for the socket to be readable (or writable).
bool ready(Native s, bool for_write, double seconds) {
  fd_set set, error;
  FD_ZERO(&set);
  FD_ZERO(&error);
  FD_SET(s, &set);
  FD_SET(s, &error);
  const long us = static_cast<long>(seconds * 1e6);
  timeval tv{us / 1000000, us % 1000000};
  return ::select(static_cast<int>(s) + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, &error, &tv) > 0;
}

// A listener whose backlog is full: the kernel drops further connection
// requests unanswered, so a connect to it can only time out.
class StalledListener {
 public:
  StalledListener() {
    ::listen(listener_.native(), 0);
    for (int i = 0; i < 16 && !stalled_; ++i) {
      const Native c = ::socket(AF_INET, SOCK_STREAM, 0);
      set_non_blocking(c);
      sockaddr_in a = loopback(listener_.port());
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      clients_.push_back(c);
      stalled_ = !ready(c, true, 0.3);
    }
  }
  ~StalledListener() {
    for (Native c : clients_) close_socket(c);
  }
  bool stalled() const { return stalled_; }
  int port() const { return listener_.port(); }

 private:
  Peer listener_{SOCK_STREAM};
  std::vector<Native> clients_;
  bool stalled_ = false;
};

// --- child processes -------------------------------------------------------

TEST(Process, CapturesOutputAndExitStatus) {
  const auto r = run(child({"exit", "3"}), {}, {});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");

  // More than a pipe holds on both streams at once: neither may stall the other.
  const auto big = run(child({"spew", "300000"}), {}, {});
  EXPECT_EQ(big.exit_status, 0);
  EXPECT_EQ(big.out.size(), 300000u);
  EXPECT_EQ(big.err.size(), 300000u);
}

TEST(Process, ExtraEnvironmentIsAddedToTheInheritedOne) {
  set_variable("QV_INHERITED", "inherited");
  set_variable("QV_REPLACED", "old");
  RunOptions options;
  options.env = {{"QV_ADDED", "added"}, {"QV_REPLACED", "new"}};
  const struct {
    const char* name;
    const char* seen;
  } cases[] = {{"QV_INHERITED", "inherited\n"}, {"QV_ADDED", "added\n"}, {"QV_REPLACED", "new\n"}};
  for (const auto& c : cases) EXPECT_EQ(run(child({"env", c.name}), options, {}).out, c.seen) << c.name;
  EXPECT_EQ(run(child({"env", "QV_ADDED"}), {}, {}).out, "(unset)\n");
}

TEST(Process, ArgumentsReachTheChildUnchanged) {
  // Windows passes one command line that the child's C runtime splits again,
  // so blanks, quotes and backslashes must be quoted to survive the trip.
  const std::vector<std::string> args = {
      "plain",       "two words", "say \"hi\"",  "\"",          "",
      "back\\slash", "ends\\",    "a b\\",       "a\\\\\"b",    "tab\there",
      "中文 参数",   "*?",        "%PATH%",      "^&|<>",
  };
  std::vector<std::string> argv = {"args"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string expected;
  for (const auto& a : args) expected += a + "\n";
  const auto r = run(child(argv), {}, {});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, expected);
}

TEST(Process, MissingProgramIsAStartError) {
  try {
    run({"no-such-program-here"}, {}, {});
    FAIL() << "started";
  } catch (const StartError& e) {
    if (under_wine()) {
      // Wine words its system messages its own way; the number is Windows'.
      EXPECT_EQ(std::string(e.what()).rfind("[WinError 2] ", 0), 0u) << e.what();
    } else {
      EXPECT_STREQ(e.what(), kMissingProgramText);
    }
  }
}

TEST(Process, LimitAndInterruptKillTheChildPromptly) {
  const fs::path dir = fs::u8path(::testing::TempDir()) / "qv_killed";
  fs::remove_all(dir);
  fs::create_directories(dir);
  struct Case {
    const char* name;
    double limit;  // 0: none
    Interrupt interrupt;
  };
  const Case cases[] = {{"limit", 0.3, {}}, {"interrupt", 0, fires_at(4)}};
  for (const auto& c : cases) {
    const std::string marker = utf8(dir / c.name);
    RunOptions options;
    if (c.limit > 0) options.limit = c.limit;
    const auto t = clock_type::now();
    if (c.limit > 0) {
      EXPECT_THROW(run(child({"touch", marker, "1.0"}), options, c.interrupt), TimedOut);
    } else {
      EXPECT_THROW(run(child({"touch", marker, "1.0"}), options, c.interrupt), Interrupted);
    }
    EXPECT_LT(seconds_since(t), 0.9) << c.name;
  }
  // A killed child never gets to write its file.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (const auto& c : cases) EXPECT_FALSE(fs::exists(dir / c.name)) << c.name;
}

TEST(Process, ProgramIsFoundOnTheSearchPath) {
  const std::string saved = get_variable("PATH");
  set_variable("PATH", own_directory() + kPathSeparator + saved);
  const auto found = find_on_path(kChildName);
  const auto r = run({kChildName, "exit", "0"}, {}, {});
  set_variable("PATH", saved);
  ASSERT_TRUE(found);
  EXPECT_EQ(fs::u8path(*found).parent_path(), fs::u8path(own_directory()));
  EXPECT_EQ(r.out, "out\n");
  EXPECT_FALSE(find_on_path("no-such-program-here"));
  // A name with a directory part is not looked up on PATH.
  EXPECT_FALSE(find_on_path(child_path()));
#ifdef _WIN32
  // As shutil.which on Windows: PATHEXT supplies the extension, and the
  // system's own programs are found.
  EXPECT_TRUE(find_on_path("ping"));
  EXPECT_TRUE(find_on_path("ping.exe"));
#endif
}

TEST(Process, DetachedStartReturnsAtOnceAndTheChildRunsOn) {
  const fs::path marker = fs::u8path(::testing::TempDir()) / "qv_detached_marker";
  fs::remove(marker);
  spawn_detached(child({"touch", utf8(marker), "1.0"}));
  // Back while the child still sleeps, and the child finishes without us.
  EXPECT_FALSE(fs::exists(marker));
  const auto t = clock_type::now();
  while (!fs::exists(marker) && seconds_since(t) < 10) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_THROW(spawn_detached({"no-such-program-here"}), StartError);
}

// --- TCP ---------------------------------------------------------------------

TEST(Socket, ConnectToOpenAndClosedPorts) {
  Peer listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.native(), 4), 0);
  const int port = listener.port();
  EXPECT_EQ(tcp_connect_ex("127.0.0.1", port, 1.0, {}), 0);
  EXPECT_EQ(probes::check_tcp("127.0.0.1", port, 1.0, {}).reason, "TCP port open");
  listener.close();
  EXPECT_EQ(tcp_connect_ex("127.0.0.1", port, 1.0, {}), kRefusedNumber);
  EXPECT_EQ(probes::check_tcp("127.0.0.1", port, 1.0, {}).reason,
            "TCP connection refused (errno=" + std::to_string(kRefusedNumber) + ")");
}

TEST(Socket, ConnectTimesOutAndIsInterrupted) {
  StalledListener stalled;
  if (!stalled.stalled()) GTEST_SKIP() << "this system answers connection requests beyond a full backlog";
  auto t = clock_type::now();
  EXPECT_EQ(tcp_connect_ex("127.0.0.1", stalled.port(), 0.4, {}), kTimedOutNumber);
  EXPECT_GT(seconds_since(t), 0.35);
  EXPECT_LT(seconds_since(t), 1.5);

  t = clock_type::now();
  EXPECT_THROW(tcp_connect_ex("127.0.0.1", stalled.port(), 30, fires_at(4)), Interrupted);
  EXPECT_LT(seconds_since(t), 1.0);
}

TEST(Socket, UnresolvableName) {
  EXPECT_THROW(tcp_connect_ex("no-such-host.invalid", 80, 1.0, {}), ResolveError);
}

// --- UDP ---------------------------------------------------------------------

TEST(Socket, UdpEchoPeerAndSilentPeer) {
  Peer echo(SOCK_DGRAM);
  std::thread answer([&] {
    if (!ready(echo.native(), false, 5)) return;
    char buffer[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const auto n = ::recvfrom(echo.native(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n >= 0) ::sendto(echo.native(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), len);
  });
  EXPECT_EQ(udp_exchange("127.0.0.1", echo.port(), 3.0, {}), UdpReply::Received);
  answer.join();

  Peer silent(SOCK_DGRAM);
  const auto t = clock_type::now();
  EXPECT_EQ(udp_exchange("127.0.0.1", silent.port(), 0.3, {}), UdpReply::TimedOut);
  EXPECT_GT(seconds_since(t), 0.25);
  EXPECT_EQ(probes::check_udp("127.0.0.1", silent.port(), 0.3, {}).reason, "UDP no reject (port likely open)");
  EXPECT_THROW(udp_exchange("127.0.0.1", silent.port(), 30, fires_at(4)), Interrupted);
}

TEST(Socket, UdpClosedPortIsUnreachable) {
  Peer closed(SOCK_DGRAM);
  const int port = closed.port();
  closed.close();
  // Linux reports the ICMP answer through IP_RECVERR; Windows documents it as
  // WSAECONNRESET on the next receive.
  const UdpReply reply = udp_exchange("127.0.0.1", port, 1.0, {});
  const std::string reason = probes::check_udp("127.0.0.1", port, 1.0, {}).reason;
  if (under_wine() && reply == UdpReply::TimedOut) {
    std::printf("[ NOTE     ] Wine does not report port-unreachable to an unconnected UDP socket, as Windows does\n");
    EXPECT_EQ(reason, "UDP no reject (port likely open)");
    return;
  }
  EXPECT_EQ(reply, UdpReply::Refused);
  EXPECT_EQ(reason, "UDP port unreachable");
}

// --- file replace ------------------------------------------------------------

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(utf8(e.path().filename()));
  return names;
}

fs::path fresh_directory(const char* name) {
  const fs::path dir = fs::u8path(::testing::TempDir()) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(Files, ReplaceCreatesAndReplacesAndLeavesNoTemporary) {
  const fs::path dir = fresh_directory("qv_replace");
  for (const char* name : {"state.json", "状态 state.json"}) {
    const fs::path target = dir / fs::u8path(name);
    replace_file(utf8(target), "one");
    EXPECT_EQ(read_file(target), "one");
    replace_file(utf8(target), std::string(100000, 'x'), Durability::Rename);
    EXPECT_EQ(read_file(target).size(), 100000u);
    replace_file(utf8(target), "");
    EXPECT_EQ(read_file(target), "");
  }
  EXPECT_THROW(replace_file(utf8(dir / "missing" / "state.json"), "x"), std::runtime_error);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"state.json", "状态 state.json"}));
}

// A file whose name takes the whole of the file system's limit is replaced
// too: the temporary shortens its own name, at a character boundary, and is
// still known as that file's temporary.
TEST(Files, ReplaceTakesNamesUpToTheLimit) {
  const fs::path dir = fresh_directory("qv_replace_long");
  std::string hangul;
  while (hangul.size() + 3 <= kFileNameLimit) hangul += "내";  // three bytes each
  for (const std::string& name :
       {std::string(kFileNameLimit, 'n'), hangul, std::string(kFileNameLimit - kTemporaryRoom, 'm')}) {
    const fs::path target = dir / fs::u8path(name);
    replace_file(utf8(target), "one");
    replace_file(utf8(target), "two");
    EXPECT_EQ(read_file(target), "two") << name.size();
    const std::string stem = temporary_stem(name);
    EXPECT_LE(stem.size() + kTemporaryRoom, kFileNameLimit);
    EXPECT_EQ(name.substr(0, stem.size()), stem);
    unsigned long pid = 0;
    EXPECT_TRUE(is_temporary_of(stem + ".tmp-77-1", name, pid)) << name.size();
  }
  EXPECT_EQ(temporary_stem("state.json"), "state.json");
  EXPECT_EQ(names_in(dir).size(), 3u) << "no temporary left";
}

#ifdef _WIN32
// Another program's handle on the target that shares it for reading only, as
// virus scanners, indexers and backup tools open files.
struct HeldOpen {
  HANDLE h;
  explicit HeldOpen(const fs::path& path)
      : h(::CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~HeldOpen() { release(); }
  void release() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
};

TEST(Files, ReplaceOverATargetHeldOpenWaitsForItsRelease) {
  const fs::path dir = fresh_directory("qv_held");
  const fs::path target = dir / "state.json";
  replace_file(utf8(target), "old");

  {  // Held for a moment: the replace waits and succeeds.
    HeldOpen held(target);
    ASSERT_NE(held.h, INVALID_HANDLE_VALUE);
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      held.release();
    });
    const auto t = clock_type::now();
    EXPECT_NO_THROW(replace_file(utf8(target), "new"));
    EXPECT_GT(seconds_since(t), 0.35);
    release.join();
    EXPECT_EQ(read_file(target), "new");
  }
  {  // Held for good: the replace gives up after its bounded wait.
    HeldOpen held(target);
    const auto t = clock_type::now();
    try {
      replace_file(utf8(target), "newer");
      ADD_FAILURE() << "replaced a file held open";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("[WinError 5] ", 0), 0u) << e.what();
    }
    const double waited = seconds_since(t);
    EXPECT_GT(waited, std::chrono::duration<double>(kReplaceWait).count() - 0.1);
    EXPECT_LT(waited, std::chrono::duration<double>(kReplaceWait).count() + 1.0);
    // The interrupt ends the wait at once.
    const auto u = clock_type::now();
    EXPECT_THROW(replace_file(utf8(target), "newer", Durability::Sync, fires_at(3)), Interrupted);
    EXPECT_LT(seconds_since(u), 0.5);
    EXPECT_EQ(read_file(target), "new");
  }
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"state.json"}));
}
#else
TEST(Files, ReplaceOverATargetHeldOpenSucceedsAtOnce) {
  // A POSIX rename does not care who holds the old file: the holder reads the
  // old content to the end, and the name gives the new one.
  const fs::path dir = fresh_directory("qv_held");
  const fs::path target = dir / "state.json";
  replace_file(target.string(), "old");
  std::ifstream held(target, std::ios::binary);
  replace_file(target.string(), "new");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), "old");
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"state.json"}));
}
#endif

#ifdef _WIN32
// A Windows name is any sequence of UTF-16 units; Python's text for one holds
// a lone surrogate as itself, which must not turn into U+FFFD on the way.
TEST(Files, WindowsNamesKeepALoneSurrogate) {
  const struct {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"\xED\xA0\x80", {wchar_t(0xD800)}},
      {"a\xED\xBF\xBFz", {L'a', wchar_t(0xDFFF), L'z'}},
      {"\xED\xB0\x80\xED\xA0\x80", {wchar_t(0xDC00), wchar_t(0xD800)}},  // a low one before a high one: no pair
      {"state 😀 내 ж.json", L"state \U0001F600 \uB0B4 \u0436.json"},
      {"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(widen(c.utf8), c.wide) << c.utf8;
    EXPECT_EQ(narrow(c.wide), c.utf8) << c.utf8;
  }
}
#endif

TEST(Files, SystemErrorTextsReadLikePythonsOSError) {
#ifdef _WIN32
  // Python drops the full stop of the system's message before the file name.
  const std::string text = last_error_text(ERROR_ACCESS_DENIED);
  EXPECT_EQ(text.rfind("[WinError 5] ", 0), 0u) << text;
  EXPECT_NE(text.back(), '.') << text;
  if (!under_wine()) {
    EXPECT_EQ(text, "[WinError 5] Access is denied");
  }
#endif
  try {
    replace_file(utf8(fresh_directory("qv_texts") / "missing" / "state.json"), "x");
    FAIL();
  } catch (const std::runtime_error& e) {
    const std::string text = e.what();
#ifdef _WIN32
    EXPECT_EQ(text.rfind("[WinError 3] ", 0), 0u) << text;
#else
    EXPECT_EQ(text.rfind("[Errno 2] No such file or directory: '", 0), 0u) << text;
#endif
    EXPECT_EQ(text.find(".: '"), std::string::npos) << text;
  }
}

// --- temporaries that killed writes left ---------------------------------

TEST(Files, TemporaryNames) {
  struct Case {
    const char* name;
    bool temporary;
    unsigned long pid;
  };
  const Case cases[] = {
      {"state.json.tmp-4242-7", true, 4242},  // POSIX: process id and a number
      {"state.json.tmp-4242", true, 4242},    // Windows: the process id alone
      {"state.json.tmp-1-1", true, 1},
      {"state.json", false, 0},
      {"state.json.tmp-", false, 0},
      {"state.json.tmp-x", false, 0},
      {"state.json.tmp-12-", false, 0},
      {"state.json.tmp--12", false, 0},
      {"state.json.tmp-12-3-4", false, 0},
      {"state.json.tmp-12x", false, 0},
      {"state.json.tmp-12.bak", false, 0},
      {"state.json.corrupt-20260101_000000", false, 0},
      {"other_state.json.tmp-12-3", false, 0},   // another file's temporary
      {"xstate.json.tmp-12-3", false, 0},
      {"state.json.tmp-123456789012345678901", false, 0},
  };
  for (const Case& c : cases) {
    unsigned long pid = 0;
    EXPECT_EQ(is_temporary_of(c.name, "state.json", pid), c.temporary) << c.name;
    if (c.temporary) {
      EXPECT_EQ(pid, c.pid) << c.name;
    }
  }
  unsigned long pid = 0;
  EXPECT_FALSE(is_temporary_of(".tmp-12-3", "", pid));
}

// The id of a process that has ended (and been reaped). On Windows the
// replace asks no process: a temporary in use is held open and so cannot be
// removed, and any id serves.
unsigned long ended_process() {
#ifdef _WIN32
  return 4000000001ul;
#else
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return static_cast<unsigned long>(child);
#endif
}

unsigned long running_process() {
#ifdef _WIN32
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getppid());
#endif
}

void plant(const fs::path& file, const std::string& content = "half") { std::ofstream(file) << content; }

TEST(Files, ReplaceRemovesWhatKilledWritesOfTheSameFileLeft) {
  const fs::path dir = fresh_directory("qv_left_temporaries");
  const std::string dead = std::to_string(ended_process());
  const std::string alive = std::to_string(running_process());
  plant(dir / ("state.json.tmp-" + dead + "-1"));
  plant(dir / ("state.json.tmp-" + dead));
  plant(dir / ("state.json.tmp-" + alive + "-3"));          // a write in progress elsewhere
#ifdef _WIN32
  // There a write in progress holds its temporary open without delete sharing.
  std::ofstream writer(dir / ("state.json.tmp-" + alive + "-3"), std::ios::app);
#endif
  plant(dir / ("other.json.tmp-" + dead + "-1"));           // another file's
  plant(dir / ("state.json.tmp-" + dead + "-1.mine"));      // not named like a temporary
  plant(dir / "notes.txt");
  fs::create_directory(dir / ("state.json.tmp-" + dead + "-2"));  // a folder, not a temporary
#ifndef _WIN32  // symbolic links there need a privilege
  fs::create_symlink(dir / "notes.txt", dir / ("state.json.tmp-" + dead + "-4"));
#endif

  replace_file((dir / "state.json").string(), "new");

  std::set<std::string> kept{
      "state.json",
      "state.json.tmp-" + alive + "-3",
      "other.json.tmp-" + dead + "-1",
      "state.json.tmp-" + dead + "-1.mine",
      "notes.txt",
      "state.json.tmp-" + dead + "-2",
  };
#ifndef _WIN32
  kept.insert("state.json.tmp-" + dead + "-4");
#endif
  EXPECT_EQ(names_in(dir), kept);
#ifdef _WIN32
  writer.close();
#endif
  EXPECT_EQ(read_file(dir / "notes.txt"), "half");

  // A file in the working directory, named without a folder.
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  plant("other.json");
  replace_file("other.json", "new");
  fs::current_path(before);
  EXPECT_FALSE(fs::exists(dir / ("other.json.tmp-" + dead + "-1")));
  fs::remove_all(dir);
}

// The working directory for a while.
struct InWork {
  const fs::path before = fs::current_path();
  explicit InWork(const fs::path& dir) { fs::current_path(dir); }
  ~InWork() { fs::current_path(before); }
};

// A file's first replace in a process sweeps what killed writes left; the
// process's own replaces leave nothing, so later replaces of the same file
// need not read its folder again. Each row: a first replace of first (in
// first_in), then a killed write's temporary beside second (in second_in),
// which is replaced next. The file is the one the system resolves.
TEST(Files, ReplaceSweepsEachFileOncePerProcess) {
  const fs::path base = fresh_directory("qv_sweep_once");
  const fs::path a = base / "a", b = base / "b";
  fs::create_directories(a);
  fs::create_directories(b);
  const std::string dead = std::to_string(ended_process());
  const std::string alive = std::to_string(running_process());
  auto temporary = [](const fs::path& dir, const std::string& file, const std::string& pid) {
    return dir / fs::u8path(temporary_base(file) + pid + "-1");
  };
  std::string hangul;
  while (hangul.size() + 3 <= kFileNameLimit) hangul += "내";
  struct Case {
    const char* what;
    fs::path first_in;
    std::string first;
    bool writer_at_first;  // a write of first in progress elsewhere while it is swept
    fs::path second_in;
    std::string second;
    bool swept;
  };
  const Case cases[] = {
      {"the same file again", a, hangul, false, a, hangul, false},
      {"the same name in another folder", a, "другой.json", false, b, "другой.json", true},
      {"another file of the folder", a, "one.json", false, a, "two.json", true},
      {"a file whose sweep had to leave a write in progress", a, "busy.json", true, a, "busy.json", true},
  };
  for (const Case& c : cases) {
    plant(temporary(c.first_in, c.first, dead));
    const fs::path in_progress = temporary(c.first_in, c.first, alive);
    if (c.writer_at_first) plant(in_progress);
    {
#ifdef _WIN32
      // There a write in progress holds its temporary open without delete sharing.
      std::ofstream writer;
      if (c.writer_at_first) writer.open(in_progress, std::ios::app);
#endif
      InWork in(c.first_in);
      replace_file(c.first, "one");
    }
    EXPECT_FALSE(fs::exists(temporary(c.first_in, c.first, dead))) << c.what << ": the first replace sweeps";
    EXPECT_EQ(fs::exists(in_progress), c.writer_at_first) << c.what;

    plant(temporary(c.second_in, c.second, dead));
    {
      InWork in(c.second_in);
      replace_file(c.second, "two");
    }
    EXPECT_EQ(read_file(c.second_in / fs::u8path(c.second)), "two") << c.what;
    EXPECT_EQ(!fs::exists(temporary(c.second_in, c.second, dead)), c.swept) << c.what;
  }
  fs::remove_all(base);
}

// Replaces run on any thread: the files every thread adds are all kept, none
// lost to another's add. Past its limit the set forgets what it holds, so it
// stays small for a host that replaces ever new files.
TEST(Files, SweptFilesKeepEveryThreadsFilesUpToTheirLimit) {
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  auto file = [](int thread, int i) { return fs::path("state " + std::to_string(thread) + "-" + std::to_string(i)); };
  SweptFiles swept(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) swept.add(file(t, i));
    });
  for (auto& thread : threads) thread.join();
  int missing = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) missing += swept.contains(file(t, i)) ? 0 : 1;
  EXPECT_EQ(missing, 0);

  SweptFiles few(2);
  few.add("a.json");
  few.add("b.json");
  EXPECT_TRUE(few.contains("a.json") && few.contains("b.json"));
  few.add("c.json");
  EXPECT_FALSE(few.contains("a.json") || few.contains("b.json"));
  EXPECT_TRUE(few.contains("c.json"));
}

// --- long paths ----------------------------------------------------------------

// The platform's form of a path, as native_path gives it and as its text.
std::string native_text(const std::string& path) {
  const std::string text = utf8(native_path(path));
  EXPECT_EQ(native_path_text(path), text) << path;
  return text;
}

// A stock Windows refuses a path of MAX_PATH (260) UTF-16 units or more,
// counted from the drive however short it is as written, so a long file name
// fails by the depth of the working directory; the extended-length form has no
// such limit. Wine takes long paths either way, so what shows here is the form
// each path is given. Elsewhere every path stays exactly as it is.
TEST(Files, LongPathsTakeTheExtendedFormOnWindows) {
  const fs::path work = fresh_directory("qv_long_paths") / "quorvelta";
  fs::create_directory(work);
  const InWork in_work(work);
  const std::string cwd = utf8(fs::current_path());
  const std::size_t cwd_units = fs::current_path().native().size();  // UTF-16 units on Windows

  std::string hangul, cyrillic;
  while (hangul.size() + 3 <= kFileNameLimit) hangul += "내";     // 85 units
  while (cyrillic.size() + 2 <= kFileNameLimit) cyrillic += "ж";  // 127 units
  const std::string ascii(kFileNameLimit, 'n');
  const std::string surrogate = "\xED\xA0\x80" + std::string(kFileNameLimit - 3, 's');  // a lone U+D800 first
  const std::string deep(150, 'd');
  // Names whose full path is one unit short of the limit and one unit at it.
  const std::string under(kWindowsPathLimit - 2 - cwd_units, 'u');
  const std::string at(kWindowsPathLimit - 1 - cwd_units, 'a');
  ASSERT_LT(cwd_units + 1 + deep.size(), kWindowsPathLimit);  // a working directory of usual depth
  ASSERT_LE(at.size(), kFileNameLimit);

  struct Case {
    std::string path;
    std::string on_windows;  // elsewhere: the path itself
  };
  const std::string extended = "\\\\?\\" + cwd + "\\";
  std::string cwd_slashes = cwd;
  for (char& c : cwd_slashes) c = c == '\\' ? '/' : c;
  const Case cases[] = {
      {"state.json", "state.json"},
      {"CON", "CON"},
      {under, under},
      {at, extended + at},
      {ascii, extended + ascii},
      {"sub/../" + ascii, extended + ascii},
      {"./sub/" + ascii, extended + "sub\\" + ascii},
      {cwd_slashes + "/" + ascii, extended + ascii},
      {ascii + "/../state.json", ascii + "/../state.json"},  // resolved, it fits
      {"\\\\server\\share\\" + ascii, "\\\\?\\UNC\\server\\share\\" + ascii},
      {"//server/share/" + ascii, "\\\\?\\UNC\\server\\share\\" + ascii},
      {"\\\\server\\share\\state.json", "\\\\server\\share\\state.json"},
      {extended + ascii, extended + ascii},
      {hangul, hangul},          // 255 bytes are 85 units: it fits
      {cyrillic, cyrillic},      // 127 units
      {deep + "/" + hangul, extended + deep + "\\" + hangul},
      {deep + "/" + cyrillic, extended + deep + "\\" + cyrillic},
      {surrogate, extended + surrogate},
      {ascii.substr(0, 250) + "\t\x01\x1b", extended + ascii.substr(0, 250) + "\t\x01\x1b"},  // no file, but a form
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    EXPECT_EQ(native_text(c.path), c.on_windows) << c.path;
#else
    EXPECT_EQ(native_text(c.path), c.path);
#endif
  }

  // Each works as a state file: replaced, found, and its killed writes'
  // temporaries swept, also where the temporary's longer name passes the
  // limit and the file's does not.
  fs::create_directory(native_path(deep));
  const std::string dead = std::to_string(ended_process());
  std::vector<std::string> files = {ascii, under, at, deep + "/" + hangul, deep + "/" + cyrillic, surrogate};
  if (under_wine()) {
    std::printf("[ NOTE     ] Wine makes no file whose name holds a lone surrogate; NTFS does\n");
    files.pop_back();
  }
  for (const std::string& path : files) {
    const std::string left = temporary_base(path) + dead;
    plant(native_path(left));
    replace_file(path, "one");
    replace_file(path, "two", Durability::Rename);
    EXPECT_TRUE(fs::exists(native_path(path))) << path;
    EXPECT_EQ(read_file(native_path(path)), "two") << path;
    EXPECT_FALSE(fs::exists(native_path(left))) << left;
  }
  std::set<std::string> kept{ascii, under, at, deep};
  if (!under_wine()) kept.insert(surrogate);
  EXPECT_EQ(names_in(work), kept);
  EXPECT_EQ(names_in(native_path(deep)), (std::set<std::string>{hangul, cyrillic}));
}

// --- console text ------------------------------------------------------------

// "来自 127.0.0.1 的回复: 字节=32 时间<1ms TTL=64", a Chinese Windows ping's
// reply line, as the bytes of code page 936 (GBK).
const char kGbkReply[] =
    "\xc0\xb4\xd7\xd4 127.0.0.1 \xb5\xc4\xbb\xd8\xb8\xb4: \xd7\xd6\xbd\xda=32 \xca\xb1\xbc\xe4<1ms TTL=64";
const char kReplyText[] = "来自 127.0.0.1 的回复: 字节=32 时间<1ms TTL=64";

#ifdef _WIN32
TEST(ConsoleText, DecodesTheConsoleCodePage) {
  EXPECT_EQ(decode_code_page(kGbkReply, 936), kReplyText);
  EXPECT_EQ(decode_code_page(kReplyText, 65001), kReplyText);
  EXPECT_EQ(decode_code_page("", 936), "");
  // A lead byte without its trail, a trail byte on its own, bytes that are no UTF-8.
  EXPECT_THROW(decode_code_page("abc\xc0", 936), DecodeError);
  EXPECT_THROW(decode_code_page("\xc0\x20", 936), DecodeError);
  EXPECT_THROW(decode_code_page("time\xff", 65001), DecodeError);
  EXPECT_THROW(decode_code_page("\xed\xa0\x80", 65001), DecodeError);  // a lone surrogate

  // Without a console (the output is a pipe) the OEM code page is the console's.
  const unsigned code_page = console_code_page();
  EXPECT_EQ(code_page, ::GetConsoleOutputCP() ? ::GetConsoleOutputCP() : ::GetOEMCP());
  std::printf("[ NOTE     ] console code page %u\n", code_page);
  EXPECT_EQ(decode_console_output("Reply from 127.0.0.1"), "Reply from 127.0.0.1");
  if (code_page == 936) {
    EXPECT_EQ(decode_console_output(kGbkReply), kReplyText);
  }
}

TEST(ConsoleText, DecodesAConsoleProgramsOwnText) {
  // cmd's chcp speaks the system's language in the console's code page:
  // "Active code page: 437", or on a Chinese system "活动代码页: 936".
  const auto r = run({"cmd", "/c", "chcp"}, {}, {});
  const std::string text = decode_console_output(r.out).value();
  EXPECT_EQ(r.exit_status, 0);
  if (console_code_page() == 936) {
    EXPECT_NE(text.find("代码页"), std::string::npos) << text;
  } else {
    EXPECT_NE(text.find("code page"), std::string::npos) << text;
  }
}
#else
TEST(ConsoleText, NoCodePageOffWindows) {
  // The caller decodes by its own rule: the core leaves the bytes alone.
  EXPECT_FALSE(decode_console_output(kGbkReply));
  EXPECT_FALSE(decode_console_output(kReplyText));
}
#endif

TEST(Sleep, EndsOnInterruptAndSurvivesOddLengths) {
  const auto t = clock_type::now();
  EXPECT_THROW(sleep(1e300, fires_at(3)), Interrupted);
  EXPECT_LT(seconds_since(t), 0.5);
  sleep(std::nan(""), {});
  sleep(-3, {});
}

}  // namespace
}  // namespace engine::os
