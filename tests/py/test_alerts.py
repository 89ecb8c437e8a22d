"""Notice texts, the three group robots and the fan-out, against a local robot server."""
import gc
import gzip
import io
import json
import linecache
import os
import queue
import re
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import types

import pytest
import requests
import trustme

import engine._webhook_post as webhook_post

from support_robots import (ENDLESS, FEISHU_OK, INTERRUPT, INTERRUPT_IN_BODY, OK, SLOW_BODY, TRICKLE_BODY,
                            TRICKLE_HEADERS, Late, RobotServer)

NOTICE = ("🚨 服务异常：Shop\n\n时间：2024-05-01 10:00:00\n原因：cdp_connect_failed: timeout\n\n"
          "同一次故障只告警一次，请尽快检查")
MARKDOWN = "### 🚨 服务异常：Shop\n- **时间**：2024-05-01 10:00:00\n- **原因**：cdp_connect_failed: timeout"
ROBOTS = {  # setting: (path, channel operation, label)
    "WEBHOOK": ("/dingtalk", "send_dingtalk", "钉钉"),
    "FEISHU_WEBHOOK": ("/feishu", "send_feishu", "飞书"),
    "WECOM_WEBHOOK": ("/wecom", "send_wecom", "企业微信"),
}


def failures(core, caplog):
    """(label, text) of every err_webhook_failed record, checked to be errors."""
    found = [r for r in caplog.records if r.msg == core.tr("err_webhook_failed")]
    assert all(r.levelname == "ERROR" for r in found)
    return [r.args for r in found]


def ordered(value):
    """A JSON value as text, so that comparing also compares member order."""
    return json.dumps(value, ensure_ascii=False)


@pytest.fixture
def robots():
    with RobotServer() as server:
        yield server


@pytest.fixture
def all_robots(core, monkeypatch, robots):
    for setting, (path, _, _) in ROBOTS.items():
        monkeypatch.setattr(core, setting, robots.url(path))
    return robots


@pytest.fixture
def mail_calls(core, monkeypatch):
    calls = []
    monkeypatch.setattr(core, "send_email", lambda msg: calls.append(msg))
    return calls


def test_text_operations_from_python(core):
    msg = NOTICE + "\n时间：2024-05-01 10:00:05"
    title, fields = core._parse_alert_msg(msg=msg)
    assert title == "🚨 服务异常：Shop"
    assert list(fields.items()) == [("时间", "2024-05-01 10:00:05"), ("原因", "cdp_connect_failed: timeout")]
    assert core._format_markdown(NOTICE) == MARKDOWN
    assert core._alert_card_color(msg=NOTICE) == "red"
    # Any str is accepted, a lone surrogate too; anything else is refused.
    assert core._parse_alert_msg("t\na：\ud800") == ("t", {"a": "\ud800"})
    with pytest.raises(TypeError):
        core._format_markdown(None)


BODIES = {
    "WEBHOOK": {"msgtype": "markdown", "markdown": {"title": "🚨 服务异常：Shop", "text": MARKDOWN}},
    "FEISHU_WEBHOOK": {
        "msg_type": "interactive",
        "card": {
            "header": {"title": {"tag": "plain_text", "content": "🚨 服务异常：Shop"}, "template": "red"},
            "elements": [{"tag": "markdown",
                          "content": "**时间**：2024-05-01 10:00:00\n\n**原因**：cdp_connect_failed: timeout"}],
        },
    },
    "WECOM_WEBHOOK": {"msgtype": "markdown", "markdown": {"content": MARKDOWN}},
}


@pytest.mark.parametrize("setting", list(ROBOTS))
def test_each_robot_receives_its_body(core, monkeypatch, robots, caplog, setting):
    path, operation, _ = ROBOTS[setting]
    robots.replies[path] = FEISHU_OK if setting == "FEISHU_WEBHOOK" else OK
    monkeypatch.setattr(core, setting, robots.url(path) + "?access_token=abc")
    timeouts = []

    def post(url, **kwargs):
        timeouts.append(kwargs.get("timeout"))
        return requests.post(url, **kwargs)

    monkeypatch.setattr(core, "requests", types.SimpleNamespace(post=post))
    assert getattr(core, operation)(msg=NOTICE) is None

    [(received_path, headers, body)] = robots.received
    assert received_path == path + "?access_token=abc"  # the configured address is the whole target
    assert headers["Content-Type"] == "application/json"
    assert ordered(json.loads(body)) == ordered(BODIES[setting])
    assert timeouts == [10]
    assert failures(core, caplog) == []


@pytest.mark.parametrize("setting,reply,failure", [
    ("WEBHOOK", (200, b'{"errcode":310000,"errmsg":"keywords not in content"}'), "keywords not in content"),
    ("WECOM_WEBHOOK", (200, b'{"errcode":93000,"errmsg":"invalid webhook url"}'), "invalid webhook url"),
    ("FEISHU_WEBHOOK", FEISHU_OK, None),
    ("FEISHU_WEBHOOK", (200, b'{"code":19024,"msg":"Key Words Not Found"}'), "Key Words Not Found"),
    ("WEBHOOK", (500, b'{"errcode":0,"errmsg":"ok"}'), "HTTP 500"),
    ("FEISHU_WEBHOOK", (404, b""), "HTTP 404"),
    ("WECOM_WEBHOOK", (200, b""), None),
    ("WEBHOOK", (200, b"<html>ok</html>"), None),
    ("FEISHU_WEBHOOK", (200, b'{"StatusCode":0}'), "errcode=-1"),
    ("WECOM_WEBHOOK", (200, b'{"errcode":"0"}'), "errcode=0"),
    ("WEBHOOK", (200, b"[]"), "reply is not a JSON object"),
    # The body decoded as the HTTP client decodes it: in the charset the reply declares.
    ("WEBHOOK", (200, '{"errcode":310000,"errmsg":"关键词不匹配"}'.encode("gbk"), "application/json; charset=gbk"),
     "关键词不匹配"),
    ("WECOM_WEBHOOK", (200, b'{"errcode":1,"errmsg":"bad \xff byte"}'), "bad \ufffd byte"),
    # Codes compare with 0 and read as text as Python's == and str() give them.
    ("WEBHOOK", (200, b'{"errcode":null}'), "errcode=None"),
    ("WEBHOOK", (200, b'{"errcode":1.50}'), "errcode=1.5"),
    ("FEISHU_WEBHOOK", (200, b'{"code":true}'), "errcode=True"),
    ("FEISHU_WEBHOOK", (200, b'{"code":false}'), None),  # False == 0
    ("WEBHOOK", (200, b'{"errcode":0.0,"errmsg":"ok"}'), None),
    ("WEBHOOK", (200, b'{"errcode":-0}'), None),
    ("WEBHOOK", (200, b'{"errcode":1,"errcode":0}'), None),  # the later duplicate counts
    ("WEBHOOK", (200, b'{"errcode":NaN}'), "errcode=nan"),
    ("WECOM_WEBHOOK", (200, b'{"errcode":1,"errmsg":null}'), "None"),
    ("WECOM_WEBHOOK", (200, b'{"errcode":1,"errmsg":{"a":[1,2.50,"x"]}}'), "{'a': [1, 2.5, 'x']}"),
    ("FEISHU_WEBHOOK", (200, b'{"data":{"code":0},"code":7}'), "errcode=7"),
    # A lone surrogate reaches the log as its escape, not as a failed log line.
    ("WECOM_WEBHOOK", (200, b'{"errcode":1,"errmsg":"\\ud800!"}'), "\\ud800!"),
])
def test_replies_are_judged_by_code_not_only_status(core, monkeypatch, robots, caplog, setting, reply, failure):
    path, operation, label = ROBOTS[setting]
    robots.replies[path] = reply
    monkeypatch.setattr(core, setting, robots.url(path))
    assert getattr(core, operation)(NOTICE) is None
    assert robots.paths() == [path]
    assert failures(core, caplog) == ([] if failure is None else [(label, failure)])


def test_check_webhook_response_raises_with_the_failure_text(core, robots):
    robots.replies["/bad"] = (200, b'{"errcode":310000,"errmsg":"keywords not in content"}')
    assert core._check_webhook_response(requests.post(robots.url("/ok"), json={}, timeout=10)) is None
    with pytest.raises(Exception) as raised:
        core._check_webhook_response(resp=requests.post(robots.url("/bad"), json={}, timeout=10))
    assert str(raised.value) == "keywords not in content"


def test_a_reply_needs_only_its_status_and_json(core, monkeypatch, caplog):
    def reply(status, body):
        def decoded():
            if isinstance(body, Exception):
                raise body
            return body
        return types.SimpleNamespace(status_code=status, json=decoded)

    assert core._check_webhook_response(reply(200, {"errcode": 0})) is None
    assert core._check_webhook_response(reply(200, json.JSONDecodeError("Expecting value", "", 0))) is None
    for resp, text in [
        (reply(500, RuntimeError("never read")), "HTTP 500"),
        (reply(200, {"errcode": 7, "errmsg": "busy"}), "busy"),
        (reply(200, {"errcode": 7.0}), "errcode=7.0"),
        (reply(200, ["errcode", 0]), "reply is not a JSON object"),
        (reply(200, RuntimeError("decoder broke")), "decoder broke"),  # not a JSON error: a failure
    ]:
        with pytest.raises(Exception) as raised:
            core._check_webhook_response(resp)
        assert str(raised.value) == text

    # A channel posts through the module's requests and judges what its post
    # gives back, whatever shape of reply the client makes: one with only a
    # status and json(), a requests reply built by hand with its body already
    # in and no connection behind it, and one still to be read from.
    def built(status, body, streamed):
        resp = requests.Response()
        resp.status_code = status
        if streamed:
            resp.raw = io.BytesIO(body)
        else:
            resp._content = body
        return resp

    refusal = {"errcode": 93000, "errmsg": "invalid webhook url"}
    posted = []

    def client(made):
        return lambda url, **kwargs: posted.append(url) or made()

    def strict_client(made):  # a post with a JSON body and a time-out, and nothing more
        def post(url, json=None, timeout=None):
            posted.append(url)
            return made()
        return post

    for post in [client(lambda: reply(200, refusal)),
                 client(lambda: built(200, json.dumps(refusal).encode(), streamed=False)),
                 client(lambda: built(200, json.dumps(refusal).encode(), streamed=True)),
                 strict_client(lambda: reply(200, refusal))]:
        posted.clear()
        caplog.clear()
        monkeypatch.setattr(core, "WECOM_WEBHOOK", "http://robot.invalid/wecom")
        monkeypatch.setattr(core, "requests", types.SimpleNamespace(post=post))
        core.send_wecom(NOTICE)
        assert posted == ["http://robot.invalid/wecom"]
        assert failures(core, caplog) == [("企业微信", "invalid webhook url")]


def test_unreachable_robot_is_logged_with_the_clients_text(core, monkeypatch, caplog):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setattr(core, "WECOM_WEBHOOK", "http://127.0.0.1:%d/wecom" % port)
    core.send_wecom(NOTICE)
    [(label, text)] = failures(core, caplog)
    assert label == "企业微信"
    assert "port=%d" % port in text and "refused" in text


@pytest.mark.parametrize("setting, host, named, shown", [
    # host + named is the address; named is the part the client's text holds.
    ("WEBHOOK", "http://127.0.0.1:{port}", "/robot/send?access_token=9f3c7a5e&timestamp=1700000000123&sign=c2ln%3D",
     "/robot/send?access_token=***&timestamp=***&sign=***"),
    ("WECOM_WEBHOOK", "http://127.0.0.1:{port}", "/cgi-bin/webhook/send?key=693a91f4", "/cgi-bin/webhook/send?key=***"),
    ("FEISHU_WEBHOOK", "http://127.0.0.1:{port}", "/open-apis/bot/v2/hook/0a1b2c3d-4e5f", "/open-apis/bot/v2/hook/***"),
    # Without a scheme the client names the whole address.
    ("WECOM_WEBHOOK", "", "127.0.0.1:{port}/cgi-bin/webhook/send?key=693a91f4",
     "127.0.0.1:{port}/cgi-bin/webhook/send?key=***"),
])
def test_robot_failures_keep_the_token_out_of_the_log(core, monkeypatch, caplog, setting, host, named, shown):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    host, named, shown = (text.format(port=port) for text in (host, named, shown))
    with pytest.raises(requests.RequestException) as raised:
        requests.post(host + named, json={}, timeout=10)
    clients_text = str(raised.value)
    assert named in clients_text

    path, operation, label = ROBOTS[setting]
    monkeypatch.setattr(core, setting, host + named)
    getattr(core, operation)(NOTICE)
    [(logged_label, text)] = failures(core, caplog)
    # The client's own words (object addresses aside), with only the token hidden.
    unaddressed = lambda t: re.sub(r"0x[0-9a-f]+", "0x", t)
    assert (logged_label, unaddressed(text)) == (label, unaddressed(clients_text.replace(named, shown)))
    assert not re.search("9f3c7a5e|1700000000123|c2ln|693a91f4|0a1b2c3d", caplog.text)


TOKEN = "9f3c7a5e1d"
# Addresses as people paste them, which the HTTP client rewrites (percent-encodes,
# trims, drops an empty query) before its failure text names them; and the
# address as the log shows it then. A query value is a secret on every robot;
# a plain word of the path ("send", "发送") is none, whichever field holds it.
REWRITTEN_QUERIES = [  # (address, shown on DingTalk and WeCom, shown on Feishu, whose last segment is a token)
    ("/robot/send?access_token={t} ", "/robot/send?access_token=***", "/robot/***?access_token=***"),  # pasted blank
    ("/robot/发送?access_token={t}", "/robot/%E5%8F%91%E9%80%81?access_token=***", "/robot/***?access_token=***"),
    ("/robot/send?access_token={t}|x", "/robot/send?access_token=***", "/robot/***?access_token=***"),
    ("/cgi-bin/webhook/send?key={t}&x=a b", "/cgi-bin/webhook/send?key=***&x=***", "/cgi-bin/webhook/***?key=***&x=***"),
    ('/cgi-bin/webhook/send?key={t}"', "/cgi-bin/webhook/send?key=***", "/cgi-bin/webhook/***?key=***"),
]
# Feishu's token is its hook's last path segment.
REWRITTEN_HOOKS = [
    ("/open-apis/bot/v2/hook/{t}?", "/open-apis/bot/v2/hook/***"),
    ("/open-apis/bot/v2/hook/中{t}", "/open-apis/bot/v2/hook/***"),
    ("/open-apis/bot/v2/hook/{t} ", "/open-apis/bot/v2/hook/***"),
]


@pytest.mark.parametrize("setting, named, shown", [
    (setting, named, on_feishu if setting == "FEISHU_WEBHOOK" else shown)
    for setting in ROBOTS for named, shown, on_feishu in REWRITTEN_QUERIES
] + [("FEISHU_WEBHOOK", named, shown) for named, shown in REWRITTEN_HOOKS])
def test_a_token_the_client_rewrote_stays_out_of_console_and_log_file(core, monkeypatch, caplog, setting, named,
                                                                       shown):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    console = io.StringIO()
    monkeypatch.setattr(core.console_handler, "stream", console)
    logged_before = os.path.getsize(core.LOG_FILE)
    monkeypatch.setattr(core, setting, "http://127.0.0.1:%d%s" % (port, named.format(t=TOKEN)))
    _, operation, label = ROBOTS[setting]
    getattr(core, operation)(NOTICE)

    [(logged_label, text)] = failures(core, caplog)
    # The client's words stay readable; only the secrets read ***.
    assert logged_label == label
    assert "port=%d): Max retries exceeded with url: %s (Caused by NewConnectionError(" % (port, shown) in text
    assert "Connection refused" in text
    with open(core.LOG_FILE, encoding="utf-8") as log_file:
        log_file.seek(logged_before)
        in_file = log_file.read()
    assert text in in_file and text in console.getvalue()
    for where in (caplog.text, console.getvalue(), in_file):
        assert TOKEN not in where


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# A robot may answer the post with a redirect, carrying the token elsewhere in
# the new address; the client's failure then quotes that address.
@pytest.mark.parametrize("setting, configured, moved, shown", [
    ("WEBHOOK", "/robot/send?access_token={t}", "/v2/x?t={t}", "/v2/x?t=***"),
    ("WECOM_WEBHOOK", "/cgi-bin/webhook/send?key={t}", "/v2/{t}/x", "/v2/***/x"),
    ("WECOM_WEBHOOK", "/cgi-bin/webhook/send?key={t}|x", "/v2?k=1&t={t}%7cx", "/v2?k=1&t=***"),
    ("FEISHU_WEBHOOK", "/open-apis/bot/v2/hook/{t}", "/v2/x?hook={t}", "/v2/x?hook=***"),
    ("WEBHOOK", "/open-apis/bot/v2/hook/{t}", "/v2/{t}", "/v2/***"),  # a Feishu hook in the DingTalk field
])
def test_a_robot_redirecting_the_post_cannot_bring_the_token_into_the_log(core, monkeypatch, robots, caplog, setting,
                                                                           configured, moved, shown):
    port = closed_port()
    configured = configured.format(t=TOKEN)
    on_the_wire = requests.utils.requote_uri(configured)
    location = "http://127.0.0.1:%d%s" % (port, moved.format(t=TOKEN))
    robots.replies[on_the_wire] = (307, b"", "text/plain", {"Location": location})
    monkeypatch.setattr(core, setting, robots.url(configured))
    _, operation, label = ROBOTS[setting]
    getattr(core, operation)(NOTICE)

    assert robots.paths() == [on_the_wire]
    [(logged_label, text)] = failures(core, caplog)
    assert logged_label == label
    assert "port=%d): Max retries exceeded with url: %s (Caused by NewConnectionError(" % (port, shown) in text
    assert TOKEN not in caplog.text


HOOK_ID = "0a1b2c3d-4e5f-6789-abcd-ef0123456789"
ODD_HOOK_ID = "한국어-Кириллица-\x01-0a1b"  # quoted by the client as a Python literal: "\x01" stands as its escape
WORDY_HOOK_ID = "SecretToken"  # letters alone, as a word of a path would be


# A Feishu hook pasted into any robot's field keeps its id in its path; through
# a proxy the client's text quotes the whole address.
@pytest.mark.parametrize("setting", list(ROBOTS))
@pytest.mark.parametrize("address, hook_id, proxied", [
    ("http://127.0.0.1:{port}/open-apis/bot/v2/hook/{id}", HOOK_ID, False),
    ("http://127.0.0.1:{port}/open-apis/bot/v2/hook/{id}", HOOK_ID, True),
    ("127.0.0.1:{port}/open-apis/bot/v2/hook/{id}", ODD_HOOK_ID, False),
    ("http://127.0.0.1:{port}/open-apis/bot/v2/hook/{id}", WORDY_HOOK_ID, False),
])
def test_a_hook_keeps_its_id_out_of_the_log_in_every_field(core, monkeypatch, caplog, setting, address, hook_id,
                                                           proxied):
    for name in ("http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(name, raising=False)
    if proxied:  # nothing exempts 127.0.0.1 from the proxy without a NO_PROXY
        monkeypatch.setenv("HTTP_PROXY", "http://127.0.0.1:%d" % closed_port())
    address = address.format(port=closed_port(), id=hook_id)
    with pytest.raises(requests.RequestException) as raised:
        requests.post(address, json={}, timeout=10)
    clients_text = str(raised.value)
    assert ("ProxyError" in clients_text) == proxied

    monkeypatch.setattr(core, setting, address)
    _, operation, label = ROBOTS[setting]
    getattr(core, operation)(NOTICE)
    [(logged_label, text)] = failures(core, caplog)
    # The client's own words (object addresses aside), with only the id hidden, however it is written.
    shown = clients_text
    for written in (hook_id, repr(hook_id)[1:-1], requests.utils.requote_uri(hook_id)):
        shown = shown.replace(written, "***")
    assert "/open-apis/bot/v2/hook/***" in shown
    unaddressed = lambda t: re.sub(r"0x[0-9a-f]+", "0x", t)
    assert (logged_label, unaddressed(text)) == (label, unaddressed(shown))
    assert hook_id not in caplog.text and not re.search("0a1b|Кириллица", caplog.text)


@pytest.mark.parametrize("empty", ["", None])
def test_unconfigured_robots_send_nothing_but_mail_is_still_tried(core, monkeypatch, robots, caplog, mail_calls,
                                                                    empty):
    for setting in ROBOTS:
        monkeypatch.setattr(core, setting, empty)
    core.send_alert(msg=NOTICE)
    assert robots.received == []
    assert caplog.records == []
    assert mail_calls == [NOTICE]


def test_fan_out_tries_every_channel_in_order(core, monkeypatch, all_robots, caplog):
    all_robots.replies["/dingtalk"] = (500, b"")
    seen_by_mail = []
    monkeypatch.setattr(core, "send_email", lambda msg: seen_by_mail.append((msg, all_robots.paths())))
    assert core.send_alert(NOTICE) is None
    assert all_robots.paths() == ["/dingtalk", "/feishu", "/wecom"]
    assert seen_by_mail == [(NOTICE, ["/dingtalk", "/feishu", "/wecom"])]  # mail comes last
    assert failures(core, caplog) == [("钉钉", "HTTP 500")]


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text for this error")


def test_fan_out_drops_what_a_channel_lets_out(core, monkeypatch, all_robots, caplog):
    def broken(msg):
        raise Unprintable()  # even an error without a text is dropped

    monkeypatch.setattr(core, "send_dingtalk", broken)
    monkeypatch.setattr(core, "send_feishu", lambda msg: {}["missing"])
    # A recipients setting that is not text escapes the mail channel itself.
    monkeypatch.setattr(core, "EMAIL_RECIPIENTS", None)
    with pytest.raises(TypeError):
        core.send_email(NOTICE)
    assert core.send_alert(NOTICE) is None
    assert all_robots.paths() == ["/wecom"]
    assert caplog.records == []


def test_ctrl_c_while_a_robot_answers_leaves_the_fan_out(core, all_robots, caplog, mail_calls):
    all_robots.replies["/feishu"] = INTERRUPT
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        core.send_alert(NOTICE)
    assert time.monotonic() - started < 5
    assert all_robots.paths() == ["/dingtalk", "/feishu"]
    assert mail_calls == []
    assert failures(core, caplog) == []


@pytest.mark.parametrize("outcome", [KeyboardInterrupt(), SystemExit(3), None],
                         ids=["interrupt", "exit request", "nothing"])
def test_every_outcome_of_the_clients_post_reaches_the_fan_out(core, monkeypatch, all_robots, caplog, mail_calls,
                                                                outcome):
    # A host that wraps or stands in for the client may raise anything inside
    # its post; a hook may ask the process to end there.
    posted = []

    def post(url, **kwargs):
        posted.append(url)
        if outcome is not None:
            raise outcome

    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    monkeypatch.setattr(core, "requests", types.SimpleNamespace(post=post, PreparedRequest=requests.PreparedRequest))
    if outcome is None:  # neither a reply nor an error: a failure, never a reply to judge
        core.send_alert(NOTICE)
        assert posted == [all_robots.url(path) for path, _, _ in ROBOTS.values()]
        assert failures(core, caplog) == [(label, "the post ended without a reply") for _, _, label in ROBOTS.values()]
        assert mail_calls == [NOTICE]
    else:  # what is no ordinary error leaves the fan-out unchanged, at once
        with pytest.raises(type(outcome)) as left:
            core.send_alert(NOTICE)
        assert left.value is outcome
        assert posted == [all_robots.url("/dingtalk")]
        assert (failures(core, caplog), mail_calls) == ([], [])
    assert reported == []


def ctrl_c_in_the_main_thread():
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


def is_a_posts_own_call(frame):
    """Whether frame is the call of a thread's target, other than the robot server's."""
    return (frame.f_back is not None and frame.f_back.f_code is threading.Thread.run.__code__
            and frame.f_code.co_filename != socketserver.__file__)


@pytest.mark.parametrize("where, reaches_robot", [
    ("as its thread starts", False),
    ("in a thread tracer, as its function is called", False),
    ("in a thread tracer, as it ends", True),
])
def test_a_post_given_up_at_either_end_of_its_thread_ends_quietly(core, monkeypatch, robots, where, reaches_robot):
    """Ctrl+C while the post's thread is held: while Thread.start() waits for
    it, before it has an ident; or, with a thread tracer set as coverage tools
    set one, as its function is called or as it marks its post ended. A post
    given up before it begins never reaches the robot, which would dribble
    for a minute; and a host's threading.excepthook hears of nothing."""
    robots.replies["/wecom"] = OK if reaches_robot else TRICKLE_BODY
    monkeypatch.setattr(core, "WECOM_WEBHOOK", robots.url("/wecom"))
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    held = []

    def hold():
        held.append(True)
        ctrl_c_in_the_main_thread()
        time.sleep(0.3)

    class HeldAtStart(threading.Thread):
        def _bootstrap(self):
            if not held:
                hold()
            super()._bootstrap()

    def tracer(frame, event, arg):
        if held:
            return None
        if where.endswith("called") and event == "call" and is_a_posts_own_call(frame):
            hold()
        elif where.endswith("ends") and frame.f_code is webhook_post.run.__code__:
            if event == "line" and linecache.getline(frame.f_code.co_filename, frame.f_lineno).strip() == MARKS_ENDED:
                hold()
            return tracer
        return None

    threads = set(threading.enumerate())
    if where == "as its thread starts":
        monkeypatch.setattr(threading, "Thread", HeldAtStart)
    else:
        threading.settrace(tracer)
    try:
        with pytest.raises(KeyboardInterrupt):
            core.send_wecom(NOTICE)
    finally:
        threading.settrace(None)
    assert held
    assert wait_for(no_thread_but(threads), 3), set(threading.enumerate()) - threads
    assert robots.paths() == (["/wecom"] if reaches_robot else [])
    assert reported == []


MARKS_ENDED = 'post["done"] = True'


def wait_for(condition, seconds):
    """Whether condition() holds within seconds."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


def no_thread_but(threads):
    return lambda: set(threading.enumerate()) <= threads


# How far a given-up post's times may stray on a loaded machine: a post the
# bound misses runs on until its robot gives up after TRICKLE_LIMIT (60 s),
# and one whose reply is not cut reads on until SLOW_BODY's next byte, 8 s
# past its deadline, so these still tell each fault from the sound behaviour.
HELD_AT_LEAST, HELD_AT_MOST = 9, 14  # seconds a post held its caller
OVER_AFTER = 5  # seconds after its deadline by which a post given up is over


def assert_given_up(robots, threads, paths, ended):
    """Each post to paths, in order, held its caller about its 10 s, then its
    thread ended and its robot saw the connection closed: a post given up is
    not read from for as long as its robot dribbles."""
    assert robots.paths() == paths
    for begun, over in zip(robots.arrived, robots.arrived[1:] + [ended]):
        assert HELD_AT_LEAST <= over - begun < HELD_AT_MOST
    assert wait_for(no_thread_but(threads), OVER_AFTER), set(threading.enumerate()) - threads
    for path, begun in zip(paths, robots.arrived):
        assert wait_for(lambda: path in robots.hung_up, OVER_AFTER), path
        assert robots.hung_up[path] - (begun + 10) < OVER_AFTER, path


def test_a_robot_that_dribbles_its_reply_holds_a_notice_ten_seconds_at_most(core, all_robots, caplog, mail_calls):
    # Each wait for a byte is short, so only a bound on the whole post ends these.
    all_robots.replies["/dingtalk"] = TRICKLE_BODY
    all_robots.replies["/feishu"] = TRICKLE_HEADERS
    all_robots.replies["/wecom"] = SLOW_BODY  # a byte every 9 s: only cutting the reply ends its wait in time
    threads = set(threading.enumerate())
    core.send_alert(NOTICE)
    ended = time.monotonic()
    assert mail_calls == [NOTICE]  # the other channels are still reached
    logged = failures(core, caplog)
    assert [label for label, _ in logged] == ["钉钉", "飞书", "企业微信"]
    assert all("timed out" in text for _, text in logged)
    assert_given_up(all_robots, threads, ["/dingtalk", "/feishu", "/wecom"], ended)


def test_a_robot_over_https_is_posted_to_and_given_up_on_like_any(core, monkeypatch, tmp_path, caplog):
    ca = trustme.CA()
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(tmp_path / "ca.pem"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    with RobotServer(tls=context) as robots:
        monkeypatch.setattr(core, "WECOM_WEBHOOK", robots.url("/wecom"))
        robots.replies["/wecom"] = (200, b'{"errcode":1,"errmsg":"read over TLS"}')
        core.send_wecom(NOTICE)
        assert failures(core, caplog) == [("企业微信", "read over TLS")]

        robots.received.clear()
        robots.arrived.clear()
        caplog.clear()
        robots.replies["/wecom"] = SLOW_BODY
        threads = set(threading.enumerate())
        core.send_wecom(NOTICE)
        ended = time.monotonic()
        [(_, text)] = failures(core, caplog)
        assert "timed out" in text
        assert_given_up(robots, threads, ["/wecom"], ended)


def test_a_post_that_ended_in_time_is_judged_by_its_reply_however_late_the_caller_looks(core, monkeypatch, robots,
                                                                                         caplog):
    robots.replies["/wecom"] = Late(5, (200, b'{"errcode":1,"errmsg":"judged"}'))
    monkeypatch.setattr(core, "WECOM_WEBHOOK", robots.url("/wecom"))

    # The caller finds the post not ended after each of its slices, as a
    # caller held up in every wait would, so it looks only once its deadline
    # has passed; the post ended at 5 s.
    class Unnoticed(threading.Event):
        def wait(self, timeout=None):
            time.sleep(timeout)
            return False

    monkeypatch.setattr(webhook_post, "Event", Unnoticed)
    started = time.monotonic()
    core.send_wecom(NOTICE)
    assert time.monotonic() - started >= 10
    assert robots.answered["/wecom"] - robots.arrived[0] < 6
    assert failures(core, caplog) == [("企业微信", "judged")]


REPLY_LIMIT = 1 << 20
TOO_LARGE = "the robot's reply is larger than 1 MiB"


@pytest.mark.parametrize("reply, failure", [
    ((200, b'{"errcode":0}'.ljust(REPLY_LIMIT)), None),  # the bound itself is read and judged
    ((200, b'{"errcode":1,"errmsg":"judged"}'.ljust(REPLY_LIMIT)), "judged"),
    ((200, b'{"errcode":0}'.ljust(REPLY_LIMIT + 1)), TOO_LARGE),
    ((500, b"x" * (REPLY_LIMIT + 1)), TOO_LARGE),
    # Small on the wire, past the bound once inflated.
    ((200, gzip.compress(b'{"errcode":0}'.ljust(8 * REPLY_LIMIT)), "application/json", {"Content-Encoding": "gzip"}),
     TOO_LARGE),
    ((200, gzip.compress(b'{"errcode":0}'.ljust(REPLY_LIMIT)), "application/json", {"Content-Encoding": "gzip"}), None),
    (ENDLESS, TOO_LARGE),
])
def test_a_reply_past_its_bound_is_cut_and_logged(core, monkeypatch, robots, caplog, reply, failure):
    robots.replies["/wecom"] = reply
    monkeypatch.setattr(core, "WECOM_WEBHOOK", robots.url("/wecom"))
    core.send_wecom(NOTICE)
    assert failures(core, caplog) == ([] if failure is None else [("企业微信", failure)])


def test_a_robot_answering_without_end_leaves_the_run_small_and_the_other_channels_reached(core, all_robots, caplog,
                                                                                            mail_calls):
    all_robots.replies["/dingtalk"] = ENDLESS
    replies = lambda: sum(isinstance(o, requests.Response) for o in gc.get_objects())
    gc.collect()
    gc.disable()
    tracemalloc.start()
    try:
        before = replies()
        started = time.monotonic()
        core.send_alert(NOTICE)
        took = time.monotonic() - started
        peak = tracemalloc.get_traced_memory()[1]
        left = replies() - before  # even before the collector runs, the reply cut is let go with its error
    finally:
        tracemalloc.stop()
        gc.enable()
    assert peak < 4 * REPLY_LIMIT
    assert left == 0
    assert took < 5
    assert failures(core, caplog) == [("钉钉", TOO_LARGE)]
    assert all_robots.paths() == ["/dingtalk", "/feishu", "/wecom"]
    assert mail_calls == [NOTICE]
    assert wait_for(lambda: "/dingtalk" in all_robots.hung_up, 2)  # and the robot was hung up on


def open_sockets():
    found = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            found += os.readlink("/proc/self/fd/" + fd).startswith("socket:")
        except FileNotFoundError:  # the listing's own
            pass
    return found


def test_no_post_outlives_itself(core, monkeypatch, robots, caplog):
    robots.replies.update({
        "/refused": (200, b'{"errcode":310000,"errmsg":"keywords not in content"}'),
        "/failed": (500, b"{}"),
        "/cut": INTERRUPT_IN_BODY,  # given up at Ctrl+C with its body coming in
        "/late": Late(0.3, OK, interrupt=True),  # given up at Ctrl+C, answered afterwards
    })
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        nobody = "http://127.0.0.1:%d/wecom" % s.getsockname()[1]

    def post(address):
        monkeypatch.setattr(core, "WECOM_WEBHOOK", address)
        core.send_wecom(NOTICE)

    def posts():
        for path in ["/ok", "/refused", "/failed"]:
            post(robots.url(path))
        post(nobody)
        for path in ["/cut", "/late"]:
            with pytest.raises(KeyboardInterrupt):
                post(robots.url(path))
        # What a given-up post still has to do is over soon.
        assert wait_for(no_thread_but(threads), 5), set(threading.enumerate()) - threads

    kinds = (requests.Response, BaseException, threading.Event, threading.Thread)

    def live():
        gc.collect()
        return {kind.__name__: sum(isinstance(o, kind) for o in gc.get_objects()) for kind in kinds}

    reported = []  # a host's own hook hears of no thread of a post
    monkeypatch.setattr(threading, "excepthook", reported.append)
    threads = set(threading.enumerate())
    posts()  # the first post of a process loads and caches what every later one shares
    before, sockets = live(), open_sockets()
    for _ in range(20):
        posts()
    assert live() == before
    assert open_sockets() == sockets
    assert len(failures(core, caplog)) == 21 * 3
    assert reported == []


# A host that Ctrl+C stops during a notice and that then ends, tidying up a
# moment as it goes, while the robot's reply to the given-up post comes in:
# the test has the robot answer once the host is tidying, and the host goes on
# tidying a moment after that, so the post's thread wakes to the reply while
# the interpreter ends, however long each step takes on a loaded machine.
HOST = textwrap.dedent("""
    import os, sys, time
    import engine.core as core

    class Tidy:
        def __del__(self, write=os.write, exists=os.path.exists, sleep=time.sleep, now=time.monotonic):
            write(1, b"tidying %f\\n" % now())
            for _ in range(600):
                if exists("answered"):
                    break
                sleep(0.05)
            sleep(1)
            write(1, b"tidied %f\\n" % now())

    tidy = Tidy()
    core.WECOM_WEBHOOK = sys.argv[1]
    try:
        core.send_wecom(sys.argv[2])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


def test_a_post_given_up_at_ctrl_c_lets_the_process_end_as_it_would(robots, tmp_path):
    answer = threading.Event()
    robots.replies["/wecom"] = Late(60, until=answer)
    host = subprocess.Popen([sys.executable, "-c", HOST, robots.url("/wecom"), NOTICE], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in host.stdout], daemon=True).start()
    try:
        assert wait_for(lambda: robots.received, 30)
        host.send_signal(signal.SIGINT)  # Ctrl+C with the post underway
        assert lines.get(timeout=30) == "interrupted\n"
        tidying = lines.get(timeout=30)
        answer.set()
        assert wait_for(lambda: "/wecom" in robots.answered, 5)
        (tmp_path / "answered").touch()
        tidied = lines.get(timeout=60)
        errors = host.stderr.read()
        host.wait(timeout=60)
    finally:
        host.kill()
        host.wait()
    assert (host.returncode, errors) == (0, "")
    # The reply came while the interpreter was ending.
    assert float(tidying.split()[1]) < robots.answered["/wecom"] < float(tidied.split()[1])
