// The DingTalk, Feishu and WeCom channels and the fan-out send_alert. The core
// builds each body and judges each reply; here are only the settings, the
// HTTP post through the module's requests, and the log.
#include <optional>
#include <string>

#include "engine/alerts/alert_text_py.h"
#include "engine/alerts/webhook.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using namespace alerts;

// The failure's text, or nothing when the reply counts as delivered.
std::optional<std::string> reply_failure(const py::object& resp) {
  const long status = resp.attr("status_code").cast<long>();
  // A failed status decides alone; its body is not even read.
  const std::string body = status < 400 ? resp.attr("content").cast<std::string>() : std::string();
  return judge_webhook_reply(status, body);
}

void check_webhook_response(const py::object& resp) {
  if (const auto failure = reply_failure(resp)) {
    PyErr_SetObject(PyExc_RuntimeError, py_text(*failure).ptr());
    throw py::error_already_set();
  }
}

void send_webhook(Robot robot, const py::object& msg) {
  const py::object address = attr(address_setting(robot));
  if (!py::bool_(address)) return;  // no robot configured: nothing sent, nothing logged
  std::optional<std::string> failure;
  if (const auto raised = ordinary_error([&] {
        const std::string payload = webhook_payload(robot, core_text(msg, "msg"));
        const py::object body = py::module_::import("json").attr("loads")(py_text(payload));
        const py::object resp =
            attr("requests").attr("post")(address, py::arg("json") = body, py::arg("timeout") = kTimeoutSeconds);
        failure = reply_failure(resp);
      })) {
    failure = raised;
  }
  if (failure) error("err_webhook_failed", py_text(std::string(channel_label(robot))), py_text(*failure));
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
