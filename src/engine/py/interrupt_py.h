#pragma once
// The user's interrupt where a plain interruptible wait is not enough: a step
// that must not be cut where it happens to stand holds the interrupt until it
// is safe, and a call that has to be given up is cut short as Ctrl+C cuts it.
#include <pybind11/pybind11.h>

#include <functional>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace engine::shell {

namespace py = pybind11;

// Cuts the call short in the thread that runs it. On the host's main thread
// a SIGINT does it, as if the user pressed Ctrl+C again: Python's handler
// raises KeyboardInterrupt, and the signal also wakes the wait in which
// Playwright's event loop may block (select() on POSIX, through the loop's
// wake-up socket on Windows). Elsewhere, or when SIGINT has no Python handler,
// an asynchronous KeyboardInterrupt is raised in the thread, which is enough
// for a call that spins in Python code. Made on the thread to be cut.
struct Cut {
  unsigned long thread;
  bool by_signal = false;
#ifndef _WIN32
  pthread_t native;
#endif

  Cut();
  // Called from another thread, without the GIL.
  void fire() const;
  // After the call: a cut that came too late for it must not go off later.
  void withdraw() const;
};

// Runs body with the user's interrupt held: a SIGINT that comes meanwhile is
// not raised as KeyboardInterrupt wherever Python code happens to run (a log
// call, the middle of a library's own set-up), but kept. Given let_go_in, the
// code objects of the waits in which body may be cut safely, a kept interrupt
// is sent again until it lands in one of them and is raised there, once;
// otherwise it stays kept until body is done.
//
// True when an interrupt came and was kept to the end: the caller makes it
// take effect (raise_interrupt()), once. What body raises goes on, except
// that an ordinary error gives way to a kept interrupt, raised in its place.
// Holding needs Python's own SIGINT handler on the main thread; elsewhere body
// just runs, and the interrupt cuts it as everywhere else.
bool hold_interrupt(const std::function<void()>& body, const py::set& let_go_in = py::set());

// KeyboardInterrupt, as Python's handler raises it.
[[noreturn]] void raise_interrupt();

}  // namespace engine::shell
