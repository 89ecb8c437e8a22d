#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>

#include "engine/os/files.h"
#include "engine/os/process.h"
#include "engine/os/socket.h"

namespace engine::os {
namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

TEST(Process, CapturesOutputStatusAndEnvironment) {
  RunOptions options;
  options.env = {{"QV_PROBE", "set"}};
  const auto r = run({"sh", "-c", "echo out $QV_PROBE; echo err >&2; exit 3"}, options, {});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.out, "out set\n");
  EXPECT_EQ(r.err, "err\n");
}

TEST(Process, MissingProgramIsAStartError) {
  try {
    run({"no-such-program-here"}, {}, {});
    FAIL();
  } catch (const StartError& e) {
    EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: 'no-such-program-here'");
  }
}

TEST(Process, LimitAndInterruptKillTheChild) {
  RunOptions limited;
  limited.limit = 0.3;
  auto t = clock_type::now();
  EXPECT_THROW(run({"sleep", "5"}, limited, {}), TimedOut);
  EXPECT_LT(seconds_since(t), 1.0);

  int asked = 0;
  t = clock_type::now();
  EXPECT_THROW(run({"sleep", "5"}, {}, [&] { return ++asked > 3; }), Interrupted);
  EXPECT_LT(seconds_since(t), 1.0);
}

TEST(Process, DetachedStartReturnsAtOnceAndReportsExecFailure) {
  const std::string marker = ::testing::TempDir() + "qv_detached_marker";
  ::unlink(marker.c_str());
  const auto t = clock_type::now();
  spawn_detached({"sh", "-c", "sleep 0.2; echo done > " + marker});
  EXPECT_LT(seconds_since(t), 0.15);
  for (int i = 0; i < 40 && ::access(marker.c_str(), F_OK) != 0; ++i) usleep(50000);
  EXPECT_EQ(::access(marker.c_str(), F_OK), 0);
  EXPECT_THROW(spawn_detached({"no-such-program-here"}), StartError);
}

TEST(Process, FindOnPath) {
  EXPECT_EQ(find_on_path("sh").value_or("").back(), 'h');
  EXPECT_FALSE(find_on_path("no-such-program-here"));
  EXPECT_FALSE(find_on_path("/bin/sh"));
}

TEST(Socket, ConnectOpenAndClosedPorts) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  EXPECT_EQ(tcp_connect_ex("127.0.0.1", port, 1.0, {}), 0);
  ::close(listener);
  EXPECT_EQ(tcp_connect_ex("127.0.0.1", port, 1.0, {}), ECONNREFUSED);
}

TEST(Socket, UnresolvableName) {
  EXPECT_THROW(tcp_connect_ex("no-such-host.invalid", 80, 1.0, {}), ResolveError);
}

TEST(Files, ReplaceFileLeavesNoTemporary) {
  const std::string dir = ::testing::TempDir() + "qv_replace/";
  std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
  replace_file(dir + "state.json", "one");
  replace_file(dir + "state.json", "two");
  std::ifstream in(dir + "state.json");
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "two");
  EXPECT_THROW(replace_file(dir + "missing/state.json", "x"), std::runtime_error);
  EXPECT_EQ(std::system(("test $(ls -A " + dir + " | wc -l) -eq 1").c_str()), 0);
}

}  // namespace
}  // namespace engine::os

namespace engine::os {
namespace {

TEST(Sleep, EndsOnInterruptAndSurvivesOddLengths) {
  int asked = 0;
  const auto t = std::chrono::steady_clock::now();
  EXPECT_THROW(sleep(1e300, [&] { return ++asked > 2; }), Interrupted);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count(), 0.5);
  sleep(std::nan(""), {});
  sleep(-3, {});
}

}  // namespace
}  // namespace engine::os
