#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/os/console_text.h"
#include "engine/probes/ping.h"
#include "engine/probes/probes.h"

namespace engine::probes {
namespace {

struct TimeCase {
  const char* output;
  std::optional<double> ms;
};

TEST(PingOutput, ReportedTime) {
  const TimeCase cases[] = {
      {"64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", 0.045},
      {"Reply from 10.0.0.1: bytes=32 time<1ms TTL=128\r\n", 1},
      {"Reply from 10.0.0.1: bytes=32 time=14ms TTL=57", 14},
      {"来自 10.0.0.1 的回复: 字节=32 时间<1ms TTL=128", 1},
      {"来自 10.0.0.1 的回复: 字节=32 时间=23ms TTL=57", 23},
      {"TIME=7MS", 7},
      {"Time>3 Ms", 3},
      {"time= \t12.7  ms", 12.7},
      {"time=2.ms", 2},
      // Python's \d, \s and IGNORECASE are Unicode-wide.
      {"time=\xEF\xBC\x91\xEF\xBC\x92ms", 12},        // full-width digits
      {"t\xC4\xB1me=3m\xC5\xBF", 3},                  // dotless i, long s
      {"T\xC4\xB0ME=4MS", 4},                         // dotted capital I
      {"time=\xE3\x80\x80" "5ms", 5},                 // ideographic space
      // The first place that matches, not the first "time".
      {"time 0ms\ntime=12.5.3ms\ntime=9ms", 9},
      {"1 packets transmitted, 1 received, time 0ms", std::nullopt},
      {"time=ms", std::nullopt},
      {"time=.5ms", std::nullopt},
      {"time:5ms", std::nullopt},
      {"time=5 m s", std::nullopt},
      {"时 间=5ms", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reported_time_ms(c.output), c.ms) << c.output;
  }
  EXPECT_THROW(reported_time_ms("time=\xFF" "5ms"), std::invalid_argument);
}

TEST(PingOutput, CommandLines) {
  const auto windows = ping_command("win32", "example.org", "3000");
  EXPECT_EQ(windows.argv, (std::vector<std::string>{"ping", "-n", "1", "-w", "3000", "example.org"}));
  EXPECT_TRUE(windows.env.empty());
  for (const char* platform : {"linux", "darwin"}) {
    const auto posix = ping_command(platform, "example.org", "2.5");
    EXPECT_EQ(posix.argv, (std::vector<std::string>{"ping", "-c", "1", "-W", "2.5", "example.org"})) << platform;
    EXPECT_EQ(posix.env, (std::vector<std::pair<std::string, std::string>>{{"LC_ALL", "C"}})) << platform;
  }
}

constexpr const char* kDash = "the address begins with \"-\", which ping reads as an option, so it is no address";
constexpr const char* kSlash = "the address begins with \"/\", which ping reads as an option, so it is no address";

struct AddressCase {
  const char* platform;
  std::string address;
  const char* refusal;  // nullptr: the address goes to ping as it stands
};

// Text that ping would read as one of its options gets no command line at
// all: "-" on every system, "/" on Windows too. A blank in front makes it a
// name for ping (which does not resolve), so it goes as it is.
TEST(PingOutput, AddressesThatReadAsOptionsGetNoCommandLine) {
  const AddressCase cases[] = {
      {"linux", "-V", kDash},                       // iputils prints its version and exits 0
      {"linux", "-V 127.0.0.1", kDash},
      {"linux", "--help", kDash},
      {"linux", "-c 1", kDash},
      {"linux", "-", kDash},
      {"linux", "-서버", kDash},
      {"linux", "-" + std::string(254, 'a'), kDash},
      {"darwin", "-t 1", kDash},
      {"win32", "-n", kDash},
      {"win32", "-t", kDash},
      {"win32", "/?", kSlash},
      {"win32", "/n 5 127.0.0.1", kSlash},
      {"win32", "/сервер", kSlash},
      {"linux", "/?", nullptr},                     // a name on systems whose options begin with "-" only
      {"darwin", "/t", nullptr},
      {"linux", " -V", nullptr},
      {"win32", " /?", nullptr},
      {"linux", "\t-V", nullptr},
      {"linux", "\x01-V", nullptr},
      {"linux", "\xE3\x80\x80-V", nullptr},        // ideographic space
      {"linux", "\xEF\xBC\x8DV", nullptr},         // full-width hyphen-minus
      {"win32", "127.0.0.1", nullptr},
      {"win32", "db-1/x", nullptr},
      {"linux", "서버-1.example", nullptr},
      {"linux", "сервер.example", nullptr},
      {"linux", std::string(255, 'a'), nullptr},
      {"linux", "", nullptr},
  };
  for (const auto& c : cases) {
    if (!c.refusal) {
      EXPECT_EQ(ping_command(c.platform, c.address, "3").argv.back(), c.address) << c.platform << " " << c.address;
      continue;
    }
    try {
      ping_command(c.platform, c.address, "3");
      ADD_FAILURE() << c.platform << " " << c.address << ": a command line";
    } catch (const NotAnAddress& e) {
      EXPECT_STREQ(e.what(), c.refusal) << c.platform << " " << c.address;
    }
    EXPECT_THROW(run_ping(c.platform, c.address, "3", 6, {}), NotAnAddress) << c.platform << " " << c.address;
  }
}

TEST(PingOutput, WaitUnit) {
  // Windows' -w and macOS' -W take milliseconds; iputils' -W takes seconds.
  const std::pair<const char*, bool> cases[] = {
      {"win32", true}, {"darwin", true}, {"linux", false}, {"freebsd14", false}, {"cygwin", false}, {"", false}};
  for (const auto& [platform, ms] : cases) EXPECT_EQ(ping_wait_in_milliseconds(platform), ms) << platform;
}

TEST(Latency, RoundsHalvesToEven) {
  const std::pair<double, double> cases[] = {{2.5, 2},  {3.5, 4},   {0.5, 0},  {1.5, 2},   {12.7, 13},
                                             {12.4, 12}, {0.045, 0}, {-0.4, 0}, {1e23, 1e23}};
  for (const auto& [in, out] : cases) EXPECT_EQ(round_half_even(in), out) << in;
  EXPECT_FALSE(std::signbit(round_half_even(-0.4)));
}

TEST(Latency, ReasonText) {
  const std::pair<double, const char*> cases[] = {
      {0, "0ms"}, {0.4, "0ms"}, {12.7, "13ms"}, {2.5, "2ms"}, {1e23, "99999999999999991611392ms"}};
  for (const auto& [ms, reason] : cases) {
    const Outcome o = latency_outcome(ms);
    EXPECT_TRUE(o.success);
    EXPECT_EQ(o.reason, reason);
    EXPECT_EQ(o.latency, round_half_even(ms));
  }
  const Outcome inf = latency_outcome(std::numeric_limits<double>::infinity());
  EXPECT_FALSE(inf.success);
  EXPECT_EQ(inf.reason, "Error: cannot convert float infinity to integer");
  EXPECT_FALSE(inf.latency);
}

struct JudgeCase {
  int exit_status;
  bool windows;
  const char* output;
  bool icmp_ok;
  const char* latency_reason;  // of the latency probe
};

TEST(PingJudge, ExitStatusAndWindowsReply) {
  const JudgeCase cases[] = {
      {0, false, "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.2 ms", true, "0ms"},
      {1, false, "time=5ms", false, "Ping timeout"},
      {2, false, "", false, "Ping timeout"},
      {0, true, "Reply from 10.0.0.1: bytes=32 time=14ms TTL=57", true, "14ms"},
      {0, true, "来自 10.0.0.1 的回复: 字节=32 时间<1ms TTL=128", true, "1ms"},
      // An IPv6 echo reply has no TTL, only its round-trip time.
      {0, true, "Reply from ::1: time<1ms", true, "1ms"},
      {0, true, "Reply from 2001:db8::1: time=23ms", true, "23ms"},
      {0, true, "来自 ::1 的回复: 时间<1ms", true, "1ms"},
      {0, true, "来自 2001:db8::1 的回复: 时间=23ms", true, "23ms"},
      // The reply's TTL alone is enough; the elapsed time stands in for the latency.
      {0, true, "Reply from 10.0.0.1: bytes=32 TTL=57", true, "1000ms"},
      // A router's "Destination host unreachable" leaves Windows' ping at exit 0.
      {0, true, "Reply from 192.168.1.1: Destination host unreachable.", false, "Ping timeout"},
      {0, true, "Reply from 2001:db8::2: Destination host unreachable.", false, "Ping timeout"},
      {0, true, "来自 192.168.1.1 的回复: 无法访问目标主机。", false, "Ping timeout"},
      {0, true, "来自 2001:db8::2 的回复: 无法访问目标主机。", false, "Ping timeout"},
      // The figures mark the reply, not the words: the round-trip time stands
      // even where TTL is not "TTL=".
      {0, true, "Reply from 10.0.0.1: bytes=32 TIME=14ms ttl=57", true, "14ms"},
      {0, true, "Request timed out.", false, "Ping timeout"},
      {1, true, "Request timed out.", false, "Ping timeout"},
      {1, true, "Reply from ::1: time<1ms", false, "Ping timeout"},
  };
  for (const auto& c : cases) {
    const Outcome icmp = judge_icmp(c.exit_status, c.windows, c.output);
    EXPECT_EQ(icmp.success, c.icmp_ok) << c.output;
    EXPECT_EQ(icmp.reason, c.icmp_ok ? "Ping successful" : "Ping failed (no response)") << c.output;
    const Outcome timed = judge_icmp_ping(c.exit_status, c.windows, c.output, 999.5);
    EXPECT_EQ(timed.success, c.icmp_ok) << c.output;
    EXPECT_EQ(timed.reason, c.latency_reason) << c.output;
    EXPECT_EQ(timed.latency.has_value(), c.icmp_ok) << c.output;
  }
  // Without a reported time the elapsed time of the run counts.
  EXPECT_EQ(judge_icmp_ping(0, false, "PING done", 41.5).reason, "42ms");
}

struct WindowsLineCase {
  const char* output;
  bool reply;
};

// Windows' ping speaks the system's language; an echo reply is known by its
// TTL or its round-trip figure in every one of them, an IPv6 reply (no TTL)
// by the figure alone.
TEST(PingJudge, WindowsReplyInEveryLanguage) {
  const WindowsLineCase cases[] = {
      {"Reply from 127.0.0.1: bytes=32 time<1ms TTL=128", true},
      {"Reply from ::1: time<1ms", true},
      {"Reply from 2001:db8::1: time=14ms", true},
      {"来自 127.0.0.1 的回复: 字节=32 时间<1ms TTL=128", true},
      {"来自 ::1 的回复: 时间=14ms", true},
      {"Antwort von 127.0.0.1: Bytes=32 Zeit<1ms TTL=128", true},
      {"Antwort von ::1: Zeit<1ms", true},
      {"Antwort von 2001:db8::1: Zeit=14ms", true},
      {"Réponse de 127.0.0.1 : octets=32 temps<1ms TTL=128", true},
      {"Réponse de ::1 : temps<1ms", true},
      {"Réponse de 2001:db8::1 : temps=14ms", true},
      {"127.0.0.1 からの応答: バイト数 =32 時間 <1ms TTL=128", true},
      {"::1 からの応答: 時間 <1ms", true},
      {"2001:db8::1 からの応答: 時間 =14ms", true},
      {"Ответ от 127.0.0.1: число байт=32 время<1мс TTL=128", true},
      {"Ответ от ::1: время<1мс", true},
      {"Ответ от 2001:db8::1: время=14мс", true},
      {"127.0.0.1의 응답: 바이트=32 시간<1ms TTL=128", true},
      {"::1의 응답: 시간<1ms", true},
      // Unreachable and timed out, with the statistics Windows prints after them.
      {"Reply from 192.168.1.1: Destination host unreachable.\r\n\r\nPing statistics for 192.168.1.1:\r\n"
       "    Packets: Sent = 1, Received = 1, Lost = 0 (0% loss),\r\n",
       false},
      {"Reply from 2001:db8::2: Destination host unreachable.", false},
      {"Request timed out.\r\n    Packets: Sent = 1, Received = 0, Lost = 1 (100% loss),", false},
      {"来自 192.168.1.1 的回复: 无法访问目标主机。", false},
      {"请求超时。", false},
      {"Antwort von 192.168.1.1: Zielhost nicht erreichbar.\r\n"
       "    Pakete: Gesendet = 1, Empfangen = 1, Verloren = 0\r\n    (0% Verlust),",
       false},
      {"Antwort von 2001:db8::2: Zielhost nicht erreichbar.", false},
      {"Zeitüberschreitung der Anforderung.", false},
      {"Réponse de 192.168.1.1 : Impossible de joindre l'hôte de destination.", false},
      {"Délai d'attente de la demande dépassé.", false},
      {"192.168.1.1 からの応答: 宛先ホストに到達できません。", false},
      {"要求がタイムアウトしました。", false},
      {"Ответ от 192.168.1.1: Заданный узел недоступен.", false},
      {"Превышен интервал ожидания для запроса.", false},
      {"192.168.1.1의 응답: 대상 호스트에 연결할 수 없습니다.", false},
      {"요청 시간이 만료되었습니다.", false},
      // A summary's figures stand after "= ", never straight after the sign.
      {"    Minimum = 0ms, Maximum = 0ms, Average = 0ms", false},
      {"    Минимальное = 0мсек, Максимальное = 0 мсек, Среднее = 0 мсек", false},
      {"Ping wird ausgeführt für ::1 mit 32 Bytes Daten:", false},
      {"bytes=32 time=ms", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(windows_reply_seen(c.output), c.reply) << c.output;
    EXPECT_EQ(judge_icmp(0, true, c.output).success, c.reply) << c.output;
  }
}

TEST(Probes, FailurePrefixes) {
  const std::pair<Probe, const char*> cases[] = {{Probe::Tcp, "TCP check error: x"},
                                                 {Probe::Udp, "UDP check error: x"},
                                                 {Probe::Icmp, "Ping error: x"},
                                                 {Probe::IcmpPing, "Error: x"},
                                                 {Probe::TcpPing, "Error: x"}};
  for (const auto& [probe, reason] : cases) {
    const Outcome o = failed(probe, "x");
    EXPECT_FALSE(o.success);
    EXPECT_EQ(o.reason, reason);
    EXPECT_FALSE(o.latency);
  }
}

TEST(Probes, PortOutOfRangeFailsBeforeResolution) {
  // The name would not resolve; the port is refused first, as Python does.
  for (long long port : {-1LL, 65536LL}) {
    EXPECT_EQ(check_tcp("no-such-host.invalid", port, 1, {}).reason,
              "TCP check error: connect_ex(): port must be 0-65535.");
    EXPECT_EQ(check_tcp_ping("no-such-host.invalid", port, 1, {}).reason, "Error: connect_ex(): port must be 0-65535.");
    EXPECT_EQ(check_udp("no-such-host.invalid", port, 1, {}).reason, "UDP check error: sendto(): port must be 0-65535.");
  }
}

#ifdef _WIN32
// Windows' own ping (Wine ships one that answers as Windows does), run as the
// probes run it: their command line, their limit, the console's code page.
struct WindowsPingRun {
  int exit_status = 0;
  std::string out;
  double elapsed_ms = 0;
};

WindowsPingRun ping_windows(const std::string& address) {
  const PingRun r = run_ping("win32", address, "3000", 6, {});
  return {r.exit_status, os::decode_console_output(r.out).value(), r.elapsed_ms};
}

// With a stand-in for ping in the working directory, where Windows looks
// first: an address that ping would read as an option never starts it, while
// one with a blank in front reaches it whole, as one argument.
TEST(WindowsPing, AddressesThatReadAsOptionsNeverStartPing) {
  namespace fs = std::filesystem;
  wchar_t own[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameW(nullptr, own, static_cast<DWORD>(std::size(own)));
  const fs::path dir = fs::path(::testing::TempDir()) / "qv_ping_stand_in";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(fs::path(std::wstring(own, n)).parent_path() / "os_test_child.exe", dir / "ping.exe");
  const fs::path saved = fs::current_path();
  fs::current_path(dir);
  const std::pair<std::string, const char*> cases[] = {
      {"/?", kSlash}, {"/n 5 127.0.0.1", kSlash}, {"-n", kDash}, {"-t", kDash}, {"-a 127.0.0.1", kDash},
      {" /?", nullptr}, {"127.0.0.1", nullptr}, {"127.0.0.1 -t", nullptr},
  };
  for (const auto& [address, refusal] : cases) {
    fs::remove(dir / "started");
    if (refusal) {
      try {
        run_ping("win32", address, "3000", 6, {});
        ADD_FAILURE() << address << ": ping ran";
      } catch (const NotAnAddress& e) {
        EXPECT_STREQ(e.what(), refusal) << address;
      }
      EXPECT_FALSE(fs::exists(dir / "started")) << address;
    } else {
      EXPECT_EQ(run_ping("win32", address, "3000", 6, {}).exit_status, 0) << address;
      std::ifstream started(dir / "started");
      const std::string argv((std::istreambuf_iterator<char>(started)), std::istreambuf_iterator<char>());
      EXPECT_EQ(argv, "-n\n1\n-w\n3000\n" + address + "\n") << address;
    }
  }
  fs::current_path(saved);
}

TEST(WindowsPing, EchoReplyFromLoopback) {
  const WindowsPingRun run = ping_windows("127.0.0.1");
  std::printf("[ NOTE     ] ping's output decoded from code page %u\n", os::console_code_page());
  EXPECT_EQ(run.exit_status, 0) << run.out;
  const Outcome icmp = judge_icmp(run.exit_status, true, run.out);
  EXPECT_TRUE(icmp.success) << run.out;
  EXPECT_EQ(icmp.reason, "Ping successful");
  const auto reported = reported_time_ms(run.out);
  ASSERT_TRUE(reported) << run.out;
  const Outcome timed = judge_icmp_ping(run.exit_status, true, run.out, run.elapsed_ms);
  ASSERT_TRUE(timed.success) << run.out;
  EXPECT_EQ(timed.latency, round_half_even(*reported));
  EXPECT_LT(*timed.latency, 1000);
  EXPECT_EQ(timed.reason, std::to_string(static_cast<long long>(*timed.latency)) + "ms");
}

TEST(WindowsPing, NoReplyForANameThatDoesNotResolve) {
  const WindowsPingRun run = ping_windows("no-such-host.invalid");
  EXPECT_NE(run.exit_status, 0) << run.out;
  EXPECT_EQ(judge_icmp(run.exit_status, true, run.out).reason, "Ping failed (no response)");
  EXPECT_EQ(judge_icmp_ping(run.exit_status, true, run.out, run.elapsed_ms).reason, "Ping timeout");
}
#endif

}  // namespace
}  // namespace engine::probes
