// The DingTalk, Feishu and WeCom channels and the fan-out send_alert. The core
// builds each body and judges each reply; here are only the settings, the
// HTTP post through the module's requests, and the log.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/alerts/alert_text_py.h"
#include "engine/alerts/secrets.h"
#include "engine/alerts/webhook.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using namespace alerts;

// The reply as requests gives it: status_code, and the body through the
// reply's own json(), which decodes it in the charset the reply declares.
// Codes compare with 0 and values read as text as Python's == and str() do.
class Reply : public WebhookReply {
 public:
  explicit Reply(const py::object& resp) : resp_(resp) {}
  long status() const override { return resp_.attr("status_code").cast<long>(); }
  Body decode() override {
    try {
      body_ = resp_.attr("json")();
    } catch (py::error_already_set& e) {
      // requests' own JSONDecodeError and json's are both ValueErrors.
      if (e.matches(PyExc_ValueError)) return Body::NotJson;
      throw;
    }
    return py::isinstance<py::dict>(body_) ? Body::Object : Body::NotObject;
  }
  bool has(std::string_view name) const override { return body_.contains(key(name)); }
  bool equals_zero(std::string_view name) const override { return value(name).equal(py::int_(0)); }
  std::string text(std::string_view name) const override { return text_escaping_surrogates(value(name)); }

 private:
  static py::str key(std::string_view name) { return py::str(name.data(), name.size()); }
  py::object value(std::string_view name) const { return body_[key(name)]; }
  py::object resp_;
  py::object body_;
};

// The failure's text, or nothing when the reply counts as delivered.
std::optional<std::string> reply_failure(const py::object& resp) {
  Reply reply(resp);
  return judge_webhook_reply(reply);
}

void check_webhook_response(const py::object& resp) {
  if (const auto failure = reply_failure(resp)) {
    PyErr_SetObject(PyExc_RuntimeError, from_text(*failure).ptr());
    throw py::error_already_set();
  }
}

// One post, over by kTimeoutSeconds after it began. The client's own time-out
// bounds each wait for a byte, so a robot that dribbles its header lines or
// its body would hold the post (and every channel after it) for as long as it
// likes. The post therefore runs on a thread of its own while the caller
// waits in slices: Ctrl+C ends the wait at once, as it ended the client's own
// wait before, and at the deadline the caller goes on without the reply.
py::object post_within_deadline(const py::object& address, const py::object& body) {
  struct Exchange {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    unsigned long thread = 0;  // the rest is touched only with the GIL held
    py::object resp;
    py::object reply_begun;    // the reply, once its header is in
    std::exception_ptr raised;
  };
  const auto exchange = std::make_shared<Exchange>();
  // requests calls its response hooks between the reply's header and its
  // body, which is where an abandoned exchange can be told to stop reading.
  py::dict hooks;
  hooks["response"] = py::cpp_function([exchange](const py::object& resp, const py::kwargs&) {
    exchange->reply_begun = resp;
  });
  const py::object post = attr("requests").attr("post");
  const py::cpp_function run([exchange, post, address, body, hooks] {
    try {
      exchange->resp = post(address, py::arg("json") = body, py::arg("timeout") = kTimeoutSeconds,
                            py::arg("hooks") = hooks);
    } catch (...) {
      exchange->raised = std::current_exception();
    }
    {
      // Without the GIL: the caller may hold the lock while it waits for the GIL.
      py::gil_scoped_release nogil;
      std::lock_guard lock(exchange->mutex);
      exchange->done = true;
    }
    exchange->ended.notify_all();
  });
  const py::object thread =
      py::module_::import("threading").attr("Thread")(py::arg("target") = run, py::arg("daemon") = true);
  thread.attr("start")();
  exchange->thread = thread.attr("ident").cast<unsigned long>();

  // An exchange left behind must not go on reading for as long as the robot
  // dribbles. A SystemExit raised in its thread ends it at the next step the
  // client takes in Python (it passes the client's handlers of ordinary
  // errors, and threads end on it quietly); a body still coming in is cut
  // at once by shutting the reply's socket.
  const auto abandon = [&] {
    {
      // The lock is never held across a call into Python, which may let the
      // GIL go: the thread takes the lock only without the GIL. A thread that
      // ends its post meanwhile just ends on the SystemExit, quietly.
      std::lock_guard lock(exchange->mutex);
      if (exchange->done) return;
      PyThreadState_SetAsyncExc(exchange->thread, PyExc_SystemExit);
    }
    if (exchange->reply_begun) {
      (void)ordinary_error([&] { exchange->reply_begun.attr("raw").attr("shutdown")(); });
    }
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
  bool done = false;
  try {
    done = interruptible([&](const os::Interrupt& interrupt) {
      std::unique_lock lock(exchange->mutex);
      while (!exchange->ended.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + os::kSlice),
                                         [&] { return exchange->done; })) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        lock.unlock();
        os::check(interrupt);
        lock.lock();
      }
      return true;
    });
  } catch (...) {
    abandon();
    throw;
  }
  if (!done) {
    abandon();
    raise(PyExc_TimeoutError, std::string(kPostTimedOut));
  }
  if (exchange->raised) std::rethrow_exception(exchange->raised);
  return exchange->resp;
}

// The address as the HTTP client puts it on the wire (percent-encoded, its
// empty query dropped), which is how its failure texts quote it. Nothing when
// the client cannot make it an address at all.
std::optional<std::string> prepared_address(const py::object& address) {
  std::optional<std::string> prepared;
  (void)ordinary_error([&] {
    const py::object request = attr("requests").attr("PreparedRequest")();
    request.attr("prepare_url")(address, py::none());
    prepared = text_escaping_surrogates(request.attr("url"));
  });
  return prepared;
}

void send_webhook(Robot robot, const py::object& msg) {
  const py::object address = attr(address_setting(robot));
  if (!py::bool_(address)) return;  // no robot configured: nothing sent, nothing logged
  std::optional<std::string> failure;
  if (const auto raised = ordinary_error([&] {
        const std::string payload = webhook_payload(robot, core_text(msg, "msg"));
        const py::object body = py::module_::import("json").attr("loads")(from_text(payload));
        failure = reply_failure(post_within_deadline(address, body));
      })) {
    failure = raised;
  }
  if (failure) {
    std::vector<std::string> forms{text_escaping_surrogates(address)};
    if (auto prepared = prepared_address(address)) forms.push_back(std::move(*prepared));
    const std::string shown = hide_webhook_token(*failure, robot, forms);
    error("err_webhook_failed", from_text(std::string(channel_label(robot))), from_text(shown));
  }
}

// Every channel is tried; what one lets out is dropped unless it is the
// user's interrupt or a request to end the process, which leave at once.
void send_alert(const py::object& msg) {
  for (const char* channel : {"send_dingtalk", "send_feishu", "send_wecom", "send_email"}) {
    (void)ordinary_error([&] { call(channel, msg); });
  }
}

}  // namespace

void register_channels(py::module_& m) {
  m.def("_check_webhook_response", &check_webhook_response, py::arg("resp"));
  m.def("send_dingtalk", [](const py::object& msg) { send_webhook(Robot::DingTalk, msg); }, py::arg("msg"));
  m.def("send_feishu", [](const py::object& msg) { send_webhook(Robot::Feishu, msg); }, py::arg("msg"));
  m.def("send_wecom", [](const py::object& msg) { send_webhook(Robot::WeCom, msg); }, py::arg("msg"));
  m.def("send_alert", &send_alert, py::arg("msg"));
}

}  // namespace engine
