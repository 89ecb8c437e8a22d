#include "engine/py/interrupt_py.h"

#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/py/shell_py.h"

namespace engine::shell {

Cut::Cut() : thread(PyThread_get_thread_ident()) {
#ifndef _WIN32
  native = pthread_self();
#endif
  py::module_ threading = py::module_::import("threading");
  py::module_ signal = py::module_::import("signal");
  const bool main = threading.attr("main_thread")().attr("ident").cast<unsigned long>() == thread;
  // SIG_DFL would end the process and SIG_IGN would do nothing.
  by_signal = main && PyCallable_Check(signal.attr("getsignal")(static_cast<int>(SIGINT)).ptr());
}

void Cut::fire() const {
#ifndef _WIN32
  if (by_signal) {
    pthread_kill(native, SIGINT);
    return;
  }
#endif
  PyGILState_STATE gil = PyGILState_Ensure();
  if (by_signal) {
    PyErr_SetInterruptEx(SIGINT);
  } else {
    PyThreadState_SetAsyncExc(thread, PyExc_KeyboardInterrupt);
  }
  PyGILState_Release(gil);
}

void Cut::withdraw() const {
  if (by_signal) {
    if (PyErr_CheckSignals() != 0) PyErr_Clear();
  } else {
    PyThreadState_SetAsyncExc(thread, nullptr);
  }
}

void raise_interrupt() {
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw py::error_already_set();
}

bool hold_interrupt(const std::function<void()>& body, const py::set& let_go_in) {
  py::module_ signal = py::module_::import("signal");
  const py::object handler = signal.attr("getsignal")(static_cast<int>(SIGINT));
  // Shared with the thread that sends a kept interrupt again, on the heap:
  // Playwright's calls switch greenlets, which swap this thread's C stack out
  // from under anything kept on it.
  struct Shared {
    Cut cut;  // sends SIGINT again
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;    // an interrupt came outside a wait that may be cut
    bool let_go = false;  // it was raised in such a wait
    bool done = false;
  };
  auto shared = std::make_shared<Shared>();
  if (!shared->cut.by_signal || !handler.is(signal.attr("default_int_handler"))) {
    body();
    return false;
  }
  py::cpp_function gate([shared, let_go_in](const py::object&, const py::object& frame) {
    const bool waiting = !frame.is_none() && let_go_in.contains(frame.attr("f_code"));
    std::lock_guard lock(shared->mutex);
    if (waiting && !shared->let_go) {
      shared->let_go = true;
      raise_interrupt();
    }
    shared->held = true;
    shared->changed.notify_all();
  });
  signal.attr("signal")(static_cast<int>(SIGINT), gate);
  std::optional<std::thread> resend;
  std::exception_ptr failure;
  bool passing = false;
  // From here every way out, a thread that cannot be started included, goes
  // through the end below, which puts the handler back.
  try {
    if (!let_go_in.empty()) {
      resend.emplace([shared] {
        std::unique_lock lock(shared->mutex);
        while (!shared->done) {
          if (shared->held && !shared->let_go) {
            lock.unlock();
            shared->cut.fire();
            lock.lock();
          }
          shared->changed.wait_for(lock, std::chrono::milliseconds(2), [&] { return shared->done; });
        }
      });
    }
    body();
  } catch (py::error_already_set& e) {
    passing = !is_ordinary(e);
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard lock(shared->mutex);
    shared->done = true;
  }
  shared->changed.notify_all();
  if (resend) {
    py::gil_scoped_release nogil;
    resend->join();
  }
  // A SIGINT sent before now has arrived by now; it goes to the gate (which
  // raises only inside a wait that may be cut), not to the handler put back
  // below. What another signal's handler raises goes on once that is done.
  std::optional<py::error_already_set> raised;
  if (PyErr_CheckSignals() != 0) raised.emplace();
  signal.attr("signal")(static_cast<int>(SIGINT), handler);
  if (raised) throw *raised;
  if (passing) std::rethrow_exception(failure);  // the interrupt let go in a wait, or an exit request
  if (shared->held || shared->let_go) {
    if (failure) raise_interrupt();
    return true;
  }
  if (failure) std::rethrow_exception(failure);
  return false;
}

}  // namespace engine::shell
