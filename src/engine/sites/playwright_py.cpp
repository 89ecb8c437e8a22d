#include "engine/sites/playwright_py.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/py/interrupt_py.h"

namespace engine::shell {

using namespace pybind11::literals;

// --- giving up on a call ----------------------------------------------------------

void bounded_quietly(double seconds, const std::function<void()>& body) {
  // Shared with the watchdog on the heap: Playwright's calls switch greenlets,
  // which swap this thread's C stack out from under anything kept on it.
  struct Shared {
    Cut cut;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool fired = false;
  };
  auto shared = std::make_shared<Shared>();
  std::thread watchdog([shared, seconds] {
    std::unique_lock lock(shared->mutex);
    if (shared->finished.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return shared->done; })) return;
    shared->fired = true;
    lock.unlock();  // the body's thread takes the lock while it holds the GIL
    shared->cut.fire();
  });
  std::exception_ptr passing;
  try {
    body();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) passing = std::current_exception();
  } catch (...) {
  }
  {
    std::lock_guard lock(shared->mutex);
    shared->done = true;
  }
  shared->finished.notify_all();
  {
    py::gil_scoped_release nogil;  // the watchdog may be waiting for the GIL
    watchdog.join();
  }
  if (shared->fired) {
    shared->cut.withdraw();  // and what the body raised was, or may have been, the cut
    return;
  }
  if (passing) std::rethrow_exception(passing);
}

// --- holding an interrupt while a session starts ---------------------------------

namespace {

// The code of the calls in which an asyncio event loop waits for its I/O.
py::set loop_waits() {
  py::set codes;
  py::module_ selectors = py::module_::import("selectors");
  for (const char* name : {"SelectSelector", "PollSelector", "EpollSelector", "DevpollSelector", "KqueueSelector"}) {
    if (py::hasattr(selectors, name)) codes.add(selectors.attr(name).attr("select").attr("__code__"));
  }
  try {
    codes.add(py::module_::import("asyncio.windows_events").attr("IocpProactor").attr("_poll").attr("__code__"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;  // not on Windows
  }
  return codes;
}

}  // namespace

bool interrupt_only_while_waiting(const std::function<void()>& body) {
  return hold_interrupt(body, loop_waits());
}

// --- the page interface over Python objects -------------------------------------

namespace {

class PyResponse : public sites::Response {
 public:
  explicit PyResponse(py::object response) : response_(std::move(response)) {}
  long long status() override {
    return page_call([&] { return response_.attr("status").cast<long long>(); });
  }

 private:
  py::object response_;
};

class PyPage : public sites::Page {
 public:
  explicit PyPage(py::object page) : page_(std::move(page)) {}

  std::unique_ptr<sites::Response> go_to(const std::string& address, int timeout_ms,
                                         const std::optional<std::string>& wait_until) override {
    return page_call([&]() -> std::unique_ptr<sites::Response> {
      py::object goto_ = page_.attr("goto");
      py::object response = wait_until ? goto_(from_text(address), "timeout"_a = timeout_ms,
                                               "wait_until"_a = from_text(*wait_until))
                                       : goto_(from_text(address), "timeout"_a = timeout_ms);
      if (response.is_none()) return nullptr;
      return std::make_unique<PyResponse>(std::move(response));
    });
  }
  std::string url() override {
    return page_call([&] { return text_keeping_surrogates(page_.attr("url")); });
  }
  std::string title() override {
    return page_call([&] { return text_keeping_surrogates(page_.attr("title")()); });
  }
  std::string inner_text(const std::string& selector) override {
    return page_call([&] { return text_keeping_surrogates(page_.attr("inner_text")(from_text(selector))); });
  }
  bool query_selector(const std::string& selector) override {
    return page_call([&] { return !page_.attr("query_selector")(from_text(selector)).is_none(); });
  }
  std::size_t query_selector_all(const std::string& selector) override {
    return page_call([&] { return py::len(page_.attr("query_selector_all")(from_text(selector))); });
  }
  void wait_for_selector(const std::string& selector, int timeout_ms) override {
    page_call([&] { page_.attr("wait_for_selector")(from_text(selector), "timeout"_a = timeout_ms); });
  }
  void save_debug(const std::string& tag) override {
    page_call([&] { call("save_debug", page_, from_text(tag)); });
  }
  void close() override {
    page_call([&] { page_.attr("close")(); });
  }
  void close_while_unwinding() override {
    bounded_quietly(kGiveUpSeconds, [&] { page_.attr("close")(); });
  }

 private:
  py::object page_;
};

class PyContext : public sites::Context {
 public:
  explicit PyContext(py::object context) : context_(std::move(context)) {}
  std::unique_ptr<sites::Page> new_page() override {
    return page_call([&] { return std::make_unique<PyPage>(context_.attr("new_page")()); });
  }

 private:
  py::object context_;
};

class PyBrowser : public sites::Browser {
 public:
  explicit PyBrowser(py::object browser) : browser_(std::move(browser)) {}
  std::unique_ptr<sites::Context> first_context() override {
    return page_call([&]() -> std::unique_ptr<sites::Context> {
      py::object contexts = browser_.attr("contexts");
      if (py::len(contexts) == 0) return nullptr;
      return std::make_unique<PyContext>(contexts[py::int_(0)]);
    });
  }
  std::unique_ptr<sites::Context> new_context() override {
    return page_call([&] { return std::make_unique<PyContext>(browser_.attr("new_context")()); });
  }

 private:
  py::object browser_;
};

class PySession : public sites::Session {
 public:
  explicit PySession(py::object playwright) : playwright_(std::move(playwright)) {}
  std::unique_ptr<sites::Browser> connect_over_cdp(const std::string& endpoint) override {
    return page_call([&] {
      py::object browser = playwright_.attr("chromium").attr("connect_over_cdp")(from_text(endpoint));
      connected_.push_back(browser);
      return std::make_unique<PyBrowser>(std::move(browser));
    });
  }

  // Closes the connections made through this object. Over DevTools that
  // closes only the connection (Chrome and its tabs stay) and removes the
  // folder the library made for it. Ordinary errors (a connection already
  // lost) are dropped.
  void disconnect() {
    std::vector<py::object> connected = std::move(connected_);
    for (const py::object& browser : connected) {
      try {
        browser.attr("close")();
      } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
      }
    }
  }

 private:
  py::object playwright_;
  std::vector<py::object> connected_;
};

class PyEnv : public sites::Env {
 public:
  void log_line(sites::Level level, std::string_view key, const std::vector<sites::LogArg>& args) override {
    page_call([&] {
      py::tuple values(args.size());
      for (std::size_t i = 0; i < args.size(); ++i) {
        values[i] = std::holds_alternative<std::string>(args[i]) ? py::object(from_text(std::get<std::string>(args[i])))
                                                                 : py::object(py::int_(std::get<long long>(args[i])));
      }
      const char* method = level == sites::Level::Info ? "info" : level == sites::Level::Warning ? "warning" : "error";
      // The keys of the template and of the built-in sites; a member that logs more names its keys here too.
      // catalogue keys: err_cdp_failed, err_page_load, err_http, err_crash_short, err_crash_long
      const py::object format = call("tr",  // catalogue keys: err_page_empty, err_body_unreadable_short
                                     // catalogue keys: err_body_unreadable, err_redirect_support, err_error_title
                                     // catalogue keys: err_restriction_text, err_no_ai_input, err_no_search_box
                                     // catalogue keys: err_no_key_element, err_notebooklm_restriction
                                     // catalogue keys: err_notebooklm_unsupported, err_notebooklm_keyword
                                     // catalogue keys: err_linkedin_cn_redirect
                                     from_text(key));
      attr("logger").attr(method)(format, *values);
    });
  }
  void pause(double seconds) override {
    page_call([&] { sleep(seconds); });
  }
  std::string lower(std::string_view text) override {
    return page_call([&] { return text_keeping_surrogates(from_text(text).attr("lower")()); });
  }
};

}  // namespace

py::tuple to_tuple(const sites::CheckResult& result) {
  return py::make_tuple(py::bool_(result.ok), from_text(result.keyword), from_text(result.reason));
}

py::tuple run_check(const py::object& playwright, const BrowserCheck& check) {
  const std::string endpoint = text_keeping_surrogates(attr("CDP_URL"));
  PySession session(playwright);
  PyEnv env;
  std::optional<sites::CheckResult> result;
  std::exception_ptr leaving;
  bool passing = false;
  try {
    result = check(session, endpoint, env);
  } catch (py::error_already_set& e) {
    passing = !is_ordinary(e);
    leaving = std::current_exception();
  } catch (...) {
    leaving = std::current_exception();
  }
  // Not after an interrupt: the session is not to be used again then, and
  // ending it soon after is bounded. Outside the handlers: Playwright
  // switches greenlets under its calls.
  if (!passing) session.disconnect();
  if (!leaving) return to_tuple(*result);
  try {
    std::rethrow_exception(leaving);
  } catch (const PyError& e) {
    throw py::error_already_set(e.original());
  }
}

py::tuple run_member(const py::object& playwright, const sites::Member& member, const sites::MemberTest& test) {
  return run_check(playwright, [&](sites::Session& session, const std::string& endpoint, sites::Env& env) {
    return sites::run_page_check(session, endpoint, member, env, test);
  });
}

}  // namespace engine::shell
