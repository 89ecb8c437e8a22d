#pragma once
// The retry loop of every browser wrapper: one browser-automation session for
// all attempts of a call, up to RETRY_COUNT attempts RETRY_DELAY seconds apart,
// one CheckResult. What a wrapper logs and gives on failure is its RetryStyle;
// standard_retry_style() is the one of the standard wrappers.
#include <pybind11/pybind11.h>

#include <functional>

#include "engine/py/shell_py.h"

namespace engine::shell {

// sync_playwright() (read from the module at call time), entered when made and
// ended exactly once.
class PlaywrightSession {
 public:
  PlaywrightSession();
  PlaywrightSession(const PlaywrightSession&) = delete;
  PlaywrightSession& operator=(const PlaywrightSession&) = delete;

  const py::object& playwright() const { return playwright_; }
  bool ended() const { return ended_; }
  // The ordinary end; what it raises goes on.
  void end();
  // The end while an exception leaves the loop: bounded in time, and nothing
  // it raises replaces that exception.
  void end_while_unwinding();

 private:
  py::object manager_;
  py::object playwright_;
  bool ended_ = false;
};

struct RetryStyle {
  // Right after an attempt returns, before its flag is tested (optional).
  std::function<void(long long number, const py::object& keyword, const py::object& reason)> after_attempt;
  std::function<void(long long number)> on_success;
  std::function<void(long long number, const py::object& reason)> on_failure;
  std::function<void(const py::object& delay)> before_pause;
  // After the session of a call without success has ended.
  std::function<void(const py::object& count, const py::object& last_reason)> after_all_failed;
  std::function<py::tuple(const py::object& last_keyword, const py::object& last_reason)> failure_result;
};

// detect_attempt_ok / detect_attempt_fail / detect_retry_in / detect_all_failed,
// and (False, site key, last reason).
RetryStyle standard_retry_style(py::object display_name, py::object site_key);

using AttemptCall = std::function<py::object(const py::object& playwright)>;

// Runs the loop. Its hooks are optional; the session ends before any
// exception goes on.
py::tuple retry_loop(const AttemptCall& attempt, const RetryStyle& style);

}  // namespace engine::shell
