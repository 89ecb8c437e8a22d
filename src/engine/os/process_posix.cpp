#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "engine/os/process.h"

extern char** environ;

namespace engine::os {
namespace {

std::string errno_text(int err, const std::string& program) {
  return "[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + program + "'";
}

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// This process's environment with the given variables replaced.
std::vector<std::string> child_environment(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : set) replaced = replaced || entry.substr(0, entry.find('=')) == name;
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_CLOEXEC) != 0) throw StartError(errno_text(errno, "pipe"));
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void close(int end) {
    if (fd[end] >= 0) ::close(fd[end]);
    fd[end] = -1;
  }
};

// A descriptor that turns readable when the child exits, so that the wait
// ends at the exit itself rather than at the end of a slice. Kernels before
// 5.3 have none; the wait then looks for the exit in short steps.
struct ExitNotice {
  int fd = -1;
  explicit ExitNotice(pid_t pid) {
#ifdef SYS_pidfd_open
    fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
  }
  ~ExitNotice() {
    if (fd >= 0) ::close(fd);
  }
};

// How often a child without an exit notice is looked at once its output has closed.
constexpr int kExitStepMs = 1;

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options, const Interrupt& interrupt) {
  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  std::vector<std::string> env_storage = child_environment(options.env);
  std::vector<char*> env;
  for (auto& e : env_storage) env.push_back(e.data());
  env.push_back(nullptr);
  auto args = c_argv(argv);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw StartError(errno_text(rc, argv[0]));
  out.close(1);
  err.close(1);

  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  RunResult result;
  const ExitNotice exit_notice(pid);
  pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {exit_notice.fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  int status = 0;
  bool exited = false;
  char buffer[8192];
  // Whatever ends the wait early (the interrupt, the limit, a failure of the
  // wait itself) kills and reaps a child that is still ours: none outlives its run.
  try {
    while (true) {
      check(interrupt);
      if (options.limit && std::chrono::duration<double>(clock::now() - start).count() >= *options.limit) {
        throw TimedOut("Command '" + argv[0] + "' timed out");
      }
      // One slice, ended early by output or by the child's exit.
      const bool step = open_streams == 0 && exit_notice.fd < 0;
      if (::poll(fds, 3, step ? kExitStepMs : static_cast<int>(kSlice.count())) < 0 && errno != EINTR)
        throw std::runtime_error("[Errno " + std::to_string(errno) + "] " + std::strerror(errno));
      for (int k = 0; k < 2; ++k) {
        if (fds[k].fd < 0 || fds[k].revents == 0) continue;
        const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[k]->append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          fds[k].fd = -1;
          --open_streams;
        }
      }
      exited = ::waitpid(pid, &status, WNOHANG) == pid;
      if (exited) {
        // A grandchild may keep the pipes open after the child has gone: take
        // what is already buffered and do not wait for more.
        for (int k = 0; k < 2; ++k) {
          if (fds[k].fd < 0) continue;
          ::fcntl(fds[k].fd, F_SETFL, O_NONBLOCK);
          while (true) {
            const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n <= 0) break;
            sinks[k]->append(buffer, static_cast<std::size_t>(n));
          }
        }
        break;
      }
    }
  } catch (...) {
    if (!exited) kill_and_reap(pid);
    throw;
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : 0;
  return result;
}

namespace {

// Closes every descriptor from `lowest` up, except `keep`. Chrome outlives
// the run: a descriptor it inherited by accident (a socket, a pipe end, the
// host's own files) would stay open as long as the browser runs. Runs between
// fork and exec, so only system calls.
void close_descriptors_from(int lowest, int keep) {
#ifdef SYS_close_range
  const auto close_range = [](int first, unsigned last) {
    return ::syscall(SYS_close_range, static_cast<unsigned>(first), last, 0U) == 0;
  };
  if ((keep <= lowest || close_range(lowest, static_cast<unsigned>(keep - 1))) && close_range(keep + 1, ~0U)) return;
#endif
  // Without close_range: every number up to the limit, within reason.
  const long limit = ::sysconf(_SC_OPEN_MAX);
  const long most = limit > 0 && limit < 65536 ? limit : 65536;
  for (long fd = lowest; fd < most; ++fd) {
    if (fd != keep) ::close(static_cast<int>(fd));
  }
}

}  // namespace

void spawn_detached(const std::vector<std::string>& argv) {
  // Double fork: the intermediate child exits at once and is reaped here, so
  // Chrome is adopted by init and never becomes our zombie. A close-on-exec
  // pipe carries the errno of a failed fork or exec back.
  Pipe report;
  auto args = c_argv(argv);
  const pid_t child = ::fork();
  if (child < 0) throw StartError(errno_text(errno, argv[0]));
  if (child == 0) {
    // Kept above the standard streams, which are about to be replaced.
    int report_fd = report.fd[1];
    if (report_fd < 3) report_fd = ::fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
    const auto fail = [&](int e) {
      [[maybe_unused]] ssize_t w = ::write(report_fd, &e, sizeof e);
      ::_exit(127);
    };
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) fail(errno);
    if (grandchild != 0) ::_exit(0);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    // Nothing but the standard streams is passed on, and the signals this
    // runtime ignores are the program's own again.
    close_descriptors_from(3, report_fd);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    ::execvp(args[0], args.data());
    fail(errno);
  }
  report.close(1);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  int e = 0;
  ssize_t n;
  do {
    n = ::read(report.fd[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof e)) throw StartError(errno_text(e, argv[0]));
}

std::optional<std::string> find_on_path(std::string_view name) {
  if (name.find('/') != std::string_view::npos) return std::nullopt;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/bin:/usr/bin";
  while (true) {
    const auto sep = dirs.find(':');
    std::string dir(dirs.substr(0, sep));
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + std::string(name);
    struct stat st{};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (sep == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(sep + 1);
  }
}

}  // namespace engine::os
