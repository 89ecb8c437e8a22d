// The DingTalk, Feishu and WeCom channels and the fan-out send_alert. The core
// builds each body and judges each reply; here are only the settings, the
// HTTP post through the module's requests, and the log.
#include <pybind11/eval.h>

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

// The post itself, on a thread of its own. It is Python only, with no C++
// frame holding Python objects on that thread's stack: a daemon thread that
// wakes while the interpreter ends is unwound where it stands, without a
// thread state, and such a frame would release its objects there and crash
// the process. It puts in `outcome` the reply as soon as its header is in (a
// post given up can then be cut in its body), then the error if one came,
// and sets `ended` last. The body is read in pieces and only up to `limit`:
// a robot replies with a small JSON object, and an address that points at a
// download must not fill the memory. It is kept where requests keeps a body
// it has read, so that the reply's json() decodes it as requests decodes
// any reply.
constexpr const char* kPostSource = R"(
def post(send, address, body, timeout, limit, too_large, outcome, ended):
    try:
        try:
            reply = send(address, json=body, timeout=timeout, stream=True)
            outcome["reply"] = reply
            pieces, size = [], 0
            for piece in reply.iter_content(64 * 1024):
                size += len(piece)
                if size > limit:
                    raise RuntimeError(too_large)
                pieces.append(piece)
            reply._content = b"".join(pieces)
        except Exception as error:
            outcome["error"] = error
        finally:
            ended.set()
    except SystemExit:
        pass  # given up: the thread ends quietly, whatever threading.excepthook the host has set
)";

// One post, over by kTimeoutSeconds after it began. The client's own time-out
// bounds each wait for a byte, so a robot that dribbles its header lines or
// its body would hold the post (and every channel after it) for as long as it
// likes. The post therefore runs on a thread of its own while the caller
// waits in slices: Ctrl+C ends the wait at once, and at the deadline the
// caller goes on without the reply.
py::object post_within_deadline(const py::object& address, const py::object& body) {
  py::dict scope;
  py::exec(kPostSource, scope);
  const py::object post = scope.attr("pop")("post");  // so that the function and its globals hold no loop
  const py::module_ threading = py::module_::import("threading");
  const py::object ended = threading.attr("Event")();
  py::dict outcome;
  const py::object thread = threading.attr("Thread")(
      py::arg("target") = post,
      py::arg("args") = py::make_tuple(attr("requests").attr("post"), address, body, kTimeoutSeconds, kReplyLimit,
                                       from_text(kReplyTooLarge), outcome, ended),
      py::arg("daemon") = true);

  // A post given up must not go on reading for as long as the robot dribbles.
  // A SystemExit raised in its thread ends it at the next step the client
  // takes in Python (it passes the client's handlers of ordinary errors); a
  // body still coming in is cut at once by shutting the reply's socket. No
  // Python code runs on this thread between the look at `ended` and the
  // SystemExit, so the post cannot end in between: the SystemExit lands in
  // the post, never in what threading does after it. False when the post
  // has ended after all.
  const auto give_up = [&] {
    const py::object ident = thread.attr("ident");  // none only when Ctrl+C cut the start itself short
    if (ended.attr("is_set")().cast<bool>()) return false;
    if (!ident.is_none()) PyThreadState_SetAsyncExc(ident.cast<unsigned long>(), PyExc_SystemExit);
    if (outcome.contains("reply")) {
      (void)ordinary_error([&] { outcome["reply"].attr("raw").attr("shutdown")(); });
    }
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
  bool in_time = false;
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
    in_time = !give_up();
  } catch (...) {
    (void)give_up();
    throw;
  }
  if (!in_time) raise(PyExc_TimeoutError, std::string(kPostTimedOut));
  // The error's traceback holds the post's frame, which holds the outcome:
  // emptied, nothing of the post outlives this call.
  const py::object error = outcome.attr("pop")("error", py::none());
  const py::object reply = outcome.attr("pop")("reply", py::none());
  if (!error.is_none()) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
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
    const std::string shown = hide_webhook_token(*failure, address_forms(address));
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
