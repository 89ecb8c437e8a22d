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
  pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
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
      if (open_streams > 0) {
        if (::poll(fds, 2, static_cast<int>(kSlice.count())) < 0 && errno != EINTR)
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
      }
      if (!exited) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        exited = done == pid;
        // A grandchild may keep the pipes open after the child has gone; do not wait for it.
        if (exited && open_streams > 0) {
          for (auto& f : fds)
            if (f.fd >= 0) ::fcntl(f.fd, F_SETFL, O_NONBLOCK);
        }
      }
      if (exited) {
        // Drain what is already buffered, then finish.
        for (int k = 0; k < 2; ++k) {
          while (fds[k].fd >= 0) {
            const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n <= 0) break;
            sinks[k]->append(buffer, static_cast<std::size_t>(n));
          }
        }
        break;
      }
      if (open_streams == 0) {
        // Output closed but the child still runs: wait for it in slices.
        struct timespec slice{0, static_cast<long>(kSlice.count()) * 1000000L};
        ::nanosleep(&slice, nullptr);
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
