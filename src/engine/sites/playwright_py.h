#pragma once
// The page interface of the core over Playwright's sync API. Every object is
// called by method name (duck typing), so Playwright and any stand-in with the
// same methods work alike.
//
// Errors: an ordinary Python error of a call becomes a PyError (a PageError
// that keeps the original Python exception); the user's interrupt and exit
// requests stay py::error_already_set, which the core never catches, so they
// pass through it untouched. run_member() turns a PyError that leaves the core
// back into the original Python exception.
//
// Step-4 code of a member that calls Python itself (reading a module setting,
// for instance) wraps those calls in page_call() so that their ordinary errors
// are PageErrors too.
#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <string_view>

#include "engine/py/shell_py.h"
#include "engine/sites/page.h"
#include "engine/sites/page_check.h"

namespace engine::shell {

// How long ending a tab or a session may take while an interrupt is leaving,
// before it is given up.
inline constexpr double kGiveUpSeconds = 2.0;

// An ordinary Python error seen by the core: its text is str(e).
class PyError : public sites::PageError {
 public:
  PyError(py::error_already_set error, const std::string& text)
      : sites::PageError(text), error_(std::move(error)) {}
  const py::error_already_set& original() const { return error_; }

 private:
  py::error_already_set error_;
};

// Runs body; ordinary errors leave as PageError (PyError for Python ones),
// pass-through errors unchanged.
template <class F>
auto page_call(F&& body) -> decltype(body()) {
  try {
    return std::forward<F>(body)();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    const std::string text = text_keeping_surrogates(e.value());
    throw PyError(std::move(e), text);
  } catch (const sites::PageError&) {
    throw;
  } catch (const std::exception& e) {
    throw sites::PageError(e.what());
  }
}

// Runs body on this thread and gives up on it when it has not returned within
// `seconds`: it is then cut short by a KeyboardInterrupt raised in this
// thread, and dropped. Ordinary errors of body are dropped too; an interrupt
// or exit request that body raised on its own goes on. For ending things while
// an error or an interrupt is already on its way out.
void bounded_quietly(double seconds, const std::function<void()>& body);

// Runs body, the start of a browser session, so that the user's interrupt
// cuts it only while the library waits (for its driver), never in the middle
// of its own set-up: cut there, the library left half-built objects behind
// that printed tracebacks long after the stop. An interrupt that comes
// elsewhere is held and sent again until the start waits; when the start
// finishes first, the result is true, and the caller ends the session and
// raises the interrupt. Holding needs Python's own SIGINT handler on the main
// thread; otherwise body just runs.
bool interrupt_only_while_waiting(const std::function<void()>& body);

// A check that drives the browser its own way: gets the session object
// `playwright` as a Session, CDP_URL (read now) and the log; gives the
// 3-item CheckResult tuple. A PyError that leaves the check leaves as the
// Python error it was. The browser connections the check made are closed when
// it ends, unless an interrupt or exit request is leaving: the library keeps
// a folder in TEMP for each connection and removes it only when the
// connection closes, not when the session ends.
using BrowserCheck = std::function<sites::CheckResult(sites::Session& session, const std::string& endpoint,
                                                      sites::Env& env)>;
py::tuple run_check(const py::object& playwright, const BrowserCheck& check);

// A member of the template: steps 1 to 6 with `test` as step 4.
py::tuple run_member(const py::object& playwright, const sites::Member& member, const sites::MemberTest& test);

// The result as the Python tuple (flag, keyword, reason).
py::tuple to_tuple(const sites::CheckResult& result);

}  // namespace engine::shell
