"""The alert mail, against a local SMTP server over implicit TLS with a test CA."""
import base64
import email
import email.header
import time

import pytest
import trustme

from support_smtp import MailServer, SilentPort

USER = "monitor@quorvelta.test"
PASSWORD = "s3cret"
MARKUP_FIELD = "页面标题：<script>alert(1)</script> & <b>Sign in</b>"


def failures(core, caplog):
    found = [r for r in caplog.records if r.msg == core.tr("err_webhook_failed")]
    assert all(r.levelname == "ERROR" for r in found)
    return [r.args for r in found]


def decoded(header):
    return str(email.header.make_header(email.header.decode_header(header)))


@pytest.fixture
def ca(tmp_path, monkeypatch):
    ca = trustme.CA()
    path = tmp_path / "ca.pem"
    ca.cert_pem.write_to_path(str(path))
    # ssl.create_default_context() reads this each time it builds a context.
    monkeypatch.setenv("SSL_CERT_FILE", str(path))
    return ca


@pytest.fixture
def mail_settings(core, monkeypatch):
    for setting in ("WEBHOOK", "FEISHU_WEBHOOK", "WECOM_WEBHOOK"):
        monkeypatch.setattr(core, setting, "")
    monkeypatch.setattr(core, "SMTP_HOST", "127.0.0.1")
    monkeypatch.setattr(core, "SMTP_USER", USER)
    monkeypatch.setattr(core, "SMTP_PASSWORD", PASSWORD)
    monkeypatch.setattr(core, "EMAIL_RECIPIENTS", "ops@x.test")

    def use(port):
        monkeypatch.setattr(core, "SMTP_PORT", port)

    return use


@pytest.fixture
def server_for(ca, mail_settings):
    servers = []

    def start(cert_host="127.0.0.1"):
        server = MailServer(ca, cert_host, USER, PASSWORD).__enter__()
        servers.append(server)
        mail_settings(server.port)
        return server

    yield start
    for server in servers:
        server.__exit__(None, None, None)


def test_recipients_from_python(core):
    assert core._parse_email_recipients(raw="，a@x.test, b@x.test\nc@x.test;d@x.test ") == [
        "a@x.test", "b@x.test", "c@x.test;d@x.test"]


@pytest.mark.parametrize("title,colour,heading", [
    ("✅ 服务恢复：Shop", "#10b981", "服务恢复通知"),
    ("🚨 服务异常：Shop", "#ef4444", "服务异常告警"),
    ("🟢 Quorvelta 监控已启动", "#4f46e5", "监控状态通知"),
])
def test_mail_reaches_every_recipient(core, monkeypatch, server_for, caplog, title, colour, heading):
    server = server_for()
    monkeypatch.setattr(core, "EMAIL_RECIPIENTS", "ops@x.test，dev@x.test, ops@x.test\nboss@x.test")
    core.send_alert(title + "\n\n时间：2024-05-01 10:00:00\n" + MARKUP_FIELD)
    assert failures(core, caplog) == []

    [(sender, recipients, raw)] = server.messages
    assert sender == USER
    assert recipients == ["ops@x.test", "dev@x.test", "ops@x.test", "boss@x.test"]
    assert server.logins == [(USER, PASSWORD)]
    assert server.quits == 1

    message = email.message_from_bytes(raw)
    assert message.keys() == ["Content-Type", "MIME-Version", "From", "To", "Subject"]
    assert message.get_content_type() == "multipart/alternative"
    assert message["From"].startswith("=?utf-8?b?")
    assert decoded(message["From"]) == "Quorvelta 栖柯 <%s>" % USER
    assert message["To"] == "ops@x.test, dev@x.test, ops@x.test, boss@x.test"
    assert message["Subject"].startswith("=?utf-8?") and "Quorvelta" not in message["Subject"]
    assert decoded(message["Subject"]) == "[Quorvelta] " + heading

    [part] = message.get_payload()
    assert part.get_content_type() == "text/html"
    assert part.get_content_charset() == "utf-8"
    assert part["Content-Transfer-Encoding"] == "base64"
    html = base64.b64decode(part.get_payload()).decode("utf-8")
    assert html.startswith("<!DOCTYPE html>") and "\n" not in html
    assert "background:%s;" % colour in html
    assert ">%s</h2>" % heading in html
    assert ">%s</p>" % title in html
    assert ">时间</td>" in html
    # Page titles and error texts may hold markup; it shows as text and does nothing.
    assert ">&lt;script&gt;alert(1)&lt;/script&gt; &amp; &lt;b&gt;Sign in&lt;/b&gt;</td>" in html
    assert "<script>" not in html and "<b>" not in html


def test_a_name_with_a_lone_surrogate_still_gets_its_mail(core, monkeypatch, server_for, caplog):
    server = server_for()
    monkeypatch.setattr(core, "EMAIL_RECIPIENTS", "ops@x.test")
    core.send_email("🚨 服务异常：서버 a\udcff\n\n时间：2024-05-01 10:00:00\n关键词：a\udcff")
    assert failures(core, caplog) == []
    [(_, _, raw)] = server.messages
    [part] = email.message_from_bytes(raw).get_payload()
    html = base64.b64decode(part.get_payload()).decode("utf-8")
    assert ">🚨 服务异常：서버 a\\udcff</p>" in html and ">a\\udcff</td>" in html


@pytest.mark.parametrize("password", ["wrong", ""])
def test_refused_login_is_logged_and_nothing_sent(core, monkeypatch, server_for, caplog, password):
    server = server_for()
    monkeypatch.setattr(core, "SMTP_PASSWORD", password)
    core.send_email(msg="🚨 服务异常：Shop")
    # Tried with each mechanism the server offers, an empty password too.
    assert server.logins and set(server.logins) == {(USER, password)}
    assert server.messages == []
    assert server.quits == 0  # no QUIT after a failed step
    [(label, text)] = failures(core, caplog)
    assert label == "邮件" and "535" in text


@pytest.mark.parametrize("password, refusal, logged", [
    # A server that repeats the password tried in its refusal.
    ("wr0ng-pw", "535 5.7.8 {password} is not it", "(535, b'5.7.8 *** is not it')"),
    ("5", "535 5.7.8 {password} is not it", "(535, b'5.7.8 *** is not it')"),
    ("wr0ng-pw", "535 5.7.8 Password: {password}.", "(535, b'5.7.8 Password: ***.')"),
    # The reply reaches the text as a bytes literal, which doubles a backslash.
    ("a\\b", "535 5.7.8 {password} is not it", "(535, b'5.7.8 *** is not it')"),
    # A password hides only where it stands as itself: the code and words stay.
    ("5", None, "(535, b'5.7.8 Authentication credentials invalid')"),
    ("8", None, "(535, b'5.7.8 Authentication credentials invalid')"),
    ("in", None, "(535, b'5.7.8 Authentication credentials invalid')"),
])
def test_the_password_stays_out_of_the_log(core, monkeypatch, ca, mail_settings, caplog, password, refusal, logged):
    with MailServer(ca, "127.0.0.1", USER, PASSWORD, refusal=refusal) as server:
        mail_settings(server.port)
        monkeypatch.setattr(core, "SMTP_PASSWORD", password)
        core.send_email("🚨 服务异常：Shop")
    assert server.logins and server.messages == []
    assert failures(core, caplog) == [("邮件", logged)]
    if refusal and len(password) > 1:  # a one-character password is in the reply's code anyway
        for form in (password, password.replace("\\", "\\\\")):  # as set, and as a bytes literal shows it
            assert form not in caplog.text


def test_certificate_for_another_host_gets_no_password(core, server_for, caplog):
    server = server_for(cert_host="mail.elsewhere.test")
    core.send_email("🚨 服务异常：Shop")
    assert server.logins == [] and server.messages == []
    [(label, text)] = failures(core, caplog)
    assert label == "邮件" and "certificate verify failed" in text


@pytest.mark.parametrize("recipients,user,logged", [
    ("", USER, False),
    (" ,，  ,\n", USER, False),
    ("ops@x.test", "监控@quorvelta.test", True),  # the sender address must be ASCII: composing fails
])
def test_no_connection_without_recipients_or_sender(core, monkeypatch, mail_settings, caplog, recipients, user,
                                                    logged):
    with SilentPort() as port:
        mail_settings(port.port)
        monkeypatch.setattr(core, "EMAIL_RECIPIENTS", recipients)
        monkeypatch.setattr(core, "SMTP_USER", user)
        core.send_email("🚨 服务异常：Shop")
        assert not port.connected()
    assert [label for label, _ in failures(core, caplog)] == (["邮件"] if logged else [])
    if not logged:
        assert caplog.records == []


def test_silent_server_times_out_after_ten_seconds(core, mail_settings, caplog):
    with SilentPort() as port:
        mail_settings(port.port)
        started = time.monotonic()
        core.send_alert("🚨 服务异常：Shop")
        elapsed = time.monotonic() - started
    assert 9.5 <= elapsed < 15
    [(label, text)] = failures(core, caplog)
    assert label == "邮件" and "timed out" in text
