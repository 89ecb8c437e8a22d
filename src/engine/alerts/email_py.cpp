// The e-mail channel: the core decides the recipients, the kind and the HTML;
// the runtime's email package composes the MIME message and smtplib carries
// it over implicit TLS.
#include <string>
#include <vector>

#include "engine/alerts/alert_text_py.h"
#include "engine/alerts/mail.h"
#include "engine/alerts/secrets.h"
#include "engine/alerts/webhook.h"
#include "engine/py/shell_py.h"
#include "engine/registry_py.h"

namespace engine {
namespace {

using namespace shell;
using namespace alerts;

py::list email_recipients(const py::object& raw) {
  py::list list;
  for (const std::string& address : parse_email_recipients(core_text(raw, "raw"))) list.append(from_text(address));
  return list;
}

// A mail travels as UTF-8, which has no lone surrogate: one that a target's
// name brings shows as its escape, and the notice still goes out.
py::str mail_text(const std::string& text) { return from_text(text_escaping_surrogates(from_text(text))); }

// One multipart/alternative container holding the HTML as its only part,
// with From, To and Subject and no other header of our own.
py::object compose(const std::string& msg, const py::list& recipients, const py::object& user) {
  const NoticeKind kind = notice_kind(msg);
  py::object message = py::module_::import("email.mime.multipart").attr("MIMEMultipart")("alternative");
  // formataddr writes the display name as an encoded word and refuses an address that is not ASCII.
  message["From"] =
      py::module_::import("email.utils").attr("formataddr")(py::make_tuple(from_text(kSenderName), user));
  message["To"] = py::str(", ").attr("join")(recipients);
  message["Subject"] = py::module_::import("email.header").attr("Header")(from_text(mail_subject(kind)), "utf-8");
  message.attr("attach")(py::module_::import("email.mime.text").attr("MIMEText")(mail_text(mail_html(msg)), "html", "utf-8"));
  return message;
}

// The password as given, and as it reads inside a bytes literal, the form in
// which a server's reply that repeats it reaches the failure's text.
std::vector<std::string> password_forms(const py::object& password) {
  std::vector<std::string> forms{text_escaping_surrogates(password)};
  if (py::isinstance<py::str>(password)) {
    const py::object literal = py::repr(password.attr("encode")("utf-8", "backslashreplace"));
    const std::string quoted = text_escaping_surrogates(literal);  // b'...' or b"..."
    forms.push_back(quoted.substr(2, quoted.size() - 3));
  }
  return forms;
}

void send_email(const py::object& msg) {
  // A recipients setting that is not text is not this channel's failure to log.
  const py::list recipients = email_recipients(attr("EMAIL_RECIPIENTS"));
  if (recipients.empty()) return;
  std::vector<std::string> secret;  // the password as its failure texts may write it; never logged
  const auto failure = ordinary_error([&] {
    const py::object user = attr("SMTP_USER");
    const py::object wire = compose(core_text(msg, "msg"), recipients, user).attr("as_string")();
    // The password goes only to a server whose certificate is valid for SMTP_HOST:
    // smtplib without a context would hand it to whoever answers on the port.
    const py::object context = py::module_::import("ssl").attr("create_default_context")();
    const py::object server = py::module_::import("smtplib").attr("SMTP_SSL")(
        attr("SMTP_HOST"), attr("SMTP_PORT"), py::arg("timeout") = kTimeoutSeconds, py::arg("context") = context);
    try {
      const py::object password = attr("SMTP_PASSWORD");
      if (!password.is_none()) secret = password_forms(password);
      server.attr("login")(user, password);
      server.attr("sendmail")(user, recipients, wire);
      server.attr("quit")();
    } catch (...) {
      // After a failed step no QUIT is sent; the connection is simply dropped.
      server.attr("close")();
      throw;
    }
  });
  if (failure) {
    const std::string shown = hide_password(*failure, secret);
    error("err_webhook_failed", from_text(std::string(kMailLabel)), from_text(shown));
  }
}

}  // namespace

void register_email(py::module_& m) {
  m.def("_parse_email_recipients", &email_recipients, py::arg("raw"));
  m.def("send_email", &send_email, py::arg("msg"));
}

}  // namespace engine
