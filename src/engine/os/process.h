#pragma once
// Child processes: run to completion with captured output and a limit, or
// start fully detached. No shell is involved; the program is looked up on PATH.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/os/interrupt.h"

namespace engine::os {

// The program could not be started. The text reads like Python's OSError,
// e.g. "[Errno 2] No such file or directory: 'ping'".
struct StartError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The limit expired; the child was killed and reaped.
struct TimedOut : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct RunResult {
  int exit_status = 0;  // the exit code; minus the signal number when a signal ended it
  std::string out;      // standard output, raw bytes
  std::string err;      // standard error, raw bytes
};

struct RunOptions {
  // Variables set (or replaced) in the child's copy of this process's environment.
  std::vector<std::pair<std::string, std::string>> env;
  // Seconds for the whole run; none waits without limit.
  std::optional<double> limit;
};

// Runs argv to completion, standard input from the null device. A child still
// running when the limit expires or the interrupt fires is killed and reaped
// before TimedOut or Interrupted leaves.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options, const Interrupt& interrupt);

// Starts argv in the background and returns at once: standard input,
// environment and working directory inherited, output to the null device, no
// handle kept and no zombie left behind. Throws StartError when it cannot start.
void spawn_detached(const std::vector<std::string>& argv);

// The full path of an executable found on PATH, as shutil.which finds it.
std::optional<std::string> find_on_path(std::string_view name);

}  // namespace engine::os
