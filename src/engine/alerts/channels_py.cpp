// The DingTalk, Feishu and WeCom channels and the fan-out send_alert. The core
// builds each body and judges each reply; here are only the settings, the
// HTTP post through the module's requests, and the log.
#include <algorithm>
#include <chrono>
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
// likes. The post therefore runs on a thread of its own, as the Python of
// engine._webhook_post, while the caller waits in slices: Ctrl+C ends the
// wait at once, and at the deadline the caller goes on without the reply.
// What the post's thread met that is no ordinary error (an interrupt or an
// exit request raised inside the client) leaves here unchanged.
py::object post_within_deadline(const py::object& address, const py::object& body) {
  const py::module_ thread_side = py::module_::import("engine._webhook_post");
  const py::dict post = thread_side.attr("new_post")();
  const py::object ended = post["ended"];
  const py::object thread = py::module_::import("threading").attr("Thread")(
      py::arg("target") = thread_side.attr("run"),
      py::arg("args") = py::make_tuple(post, attr("requests").attr("post"), address, body, kTimeoutSeconds,
                                       kReplyLimit, from_text(kReplyTooLarge)),
      py::arg("daemon") = true);

  // Whether the post has ended; if it has not, it is given up, once. A post
  // given up must not go on reading for as long as the robot dribbles: a
  // SystemExit raised in its thread ends it at the next step the client takes
  // in Python (it passes the client's handlers of ordinary errors), and a body
  // still coming in is cut at once by shutting the reply's socket. Neither the
  // look nor the SystemExit runs Python code, so the post cannot end or step
  // into its handlers in between: the SystemExit goes only to a thread that
  // stands in them, and a post that has not yet reached them never begins.
  bool given_up = false;
  const auto ended_or_give_up = [&] {
    if (post.contains("done")) return true;
    if (given_up) return false;
    given_up = true;
    if (post.contains("thread")) {
      PyThreadState_SetAsyncExc(post["thread"].cast<unsigned long>(), PyExc_SystemExit);
    } else {
      post["given_up"] = true;
    }
    if (post.contains("reply")) {
      (void)ordinary_error([&] { post["reply"].attr("raw").attr("shutdown")(); });
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
  bool ended_in_time = false;
  try {
    // From the start on, a Ctrl+C anywhere (each step runs Python code)
    // gives the post up.
    thread.attr("start")();
    const py::object wait = ended.attr("wait");
    for (auto left = deadline - std::chrono::steady_clock::now(); left > left.zero();
         left = deadline - std::chrono::steady_clock::now()) {
      const std::chrono::duration<double> slice = std::min<decltype(left)>(left, os::kSlice);
      if (wait(slice.count()).cast<bool>()) break;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    // A post that ended in time is judged by its reply, however late this
    // thread came to look.
    ended_in_time = ended_or_give_up();
  } catch (...) {
    (void)ended_or_give_up();
    throw;
  }
  if (!ended_in_time) raise(PyExc_TimeoutError, std::string(kPostTimedOut));
  // The error's traceback holds the post's frame, which holds the record:
  // taken out of it, nothing of the post outlives this call.
  const py::object error = post.attr("pop")("error", py::none());
  const py::object reply = post.attr("pop")("reply", py::none());
  if (!error.is_none()) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
  if (reply.is_none()) raise(PyExc_RuntimeError, std::string(kPostWithoutReply));
  return reply;
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

// The address in each form the client's failure texts quote it: as
// configured, as a Python literal (the client quotes an address it cannot use
// by its repr, a control character or a backslash then written as its
// escape), and as prepared for the wire.
std::vector<std::string> address_forms(const py::object& address) {
  std::vector<std::string> forms{text_escaping_surrogates(address)};
  if (py::isinstance<py::str>(address)) {
    const auto str_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    const std::string literal = text_escaping_surrogates(str_type.attr("__repr__")(address));
    forms.push_back(literal.substr(1, literal.size() - 2));  // without its quotes
  }
  if (auto prepared = prepared_address(address)) forms.push_back(std::move(*prepared));
  return forms;
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
    const std::string shown = hide_webhook_token(*failure, address_forms(address), robot == Robot::Feishu);
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
