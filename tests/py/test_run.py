"""The monitoring run end to end, as a person runs it: the launcher in a
working directory of its own, local robots and a local mail server receiving
the notices, Debian's Chromium for the web target, and Ctrl+C to stop it."""
import datetime
import http.server
import json
import os
import pathlib
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import types

import pytest
import trustme

import i18n
from support_local import free_port, processes_mentioning, stop_processes_mentioning
from support_robots import RobotServer
from support_smtp import MailServer

# A host program: the launcher, pointed at the local mail server and a free
# DevTools port (settings a host may set; the settings file does not hold them).
HOST = """
import sys
import engine.core as core
from quorvelta.__main__ import run
core.SMTP_HOST, core.SMTP_PORT, core.CDP_URL = "127.0.0.1", int(sys.argv[1]), sys.argv[2]
if len(sys.argv) > 3:
    core.CHROME_PATHS = []
sys.exit(run(["monitor"]))
"""

BUILT_IN_OFF = {key + "_enabled": False for key in
                ("google", "scholar", "gemini", "chatgpt", "github", "claude", "notebooklm", "linkedin")}


def tr(key, *args):
    i18n.set_lang("en")
    return i18n.tr(key, *args)


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html><head><title>Local</title></head><body><p>All good here.</p></body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def world(tmp_path):
    """Everything a run talks to, on 127.0.0.1, and a working directory."""
    ca = trustme.CA()
    ca_file = tmp_path / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_file))
    up = socket.socket()
    up.bind(("127.0.0.1", 0))
    up.listen(64)
    page = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=page.serve_forever, daemon=True).start()
    work = tmp_path / "work"
    work.mkdir()
    with RobotServer() as robots, MailServer(ca, "127.0.0.1", "monitor@example.com", "secret") as mail:
        w = types.SimpleNamespace(
            tmp=tmp_path, work=work, robots=robots, mail=mail, ca_file=ca_file,
            up_port=up.getsockname()[1], closed_port=free_port(),
            page_url=f"http://127.0.0.1:{page.server_address[1]}/", cdp_port=free_port(),
        )
        yield w
    page.shutdown()
    up.close()
    assert stop_processes_mentioning(str(tmp_path)), "browsers left behind"


def write_settings(w, targets, language="en"):
    settings = dict(BUILT_IN_OFF, custom_targets=targets, interval_seconds=5, retry_count=1,
                    webhook=w.robots.url("/dingtalk"), feishu_webhook=w.robots.url("/feishu"),
                    wecom_webhook=w.robots.url("/wecom"), email_recipients="ops@example.com",
                    smtp_user="monitor@example.com", smtp_password="secret", language=language)
    (w.work / "monitor_config.json").write_text(json.dumps(settings), encoding="utf-8")


class Run:
    """The launcher as a child process, its log read line by line from stderr."""

    def __init__(self, w, *extra):
        # A ping that never answers makes an ICMP target slow for its whole limit (6 s).
        slow_bin = w.tmp / "slow-bin"
        slow_bin.mkdir(exist_ok=True)
        (slow_bin / "ping").write_text("#!/bin/sh\nexec sleep 30\n")
        (slow_bin / "ping").chmod(0o755)
        env = dict(os.environ, SSL_CERT_FILE=str(w.ca_file), TEMP=str(w.tmp),
                   PATH=f"{slow_bin}{os.pathsep}{os.environ['PATH']}")
        env.pop("DISPLAY", None)
        self.child = subprocess.Popen(
            [sys.executable, "-c", HOST, str(w.mail.port), f"http://127.0.0.1:{w.cdp_port}", *extra],
            cwd=w.work, env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        self.lines = []
        # Read from the pipe itself: a buffered stream may hold lines that
        # select() no longer sees, and a wait would then miss them.
        self._fd = self.child.stderr.fileno()
        self._pending = b""
        self._ready = []

    def _pump(self, wait):
        """Reads what arrived within wait seconds; False at the end of the log."""
        if not select.select([self._fd], [], [], wait)[0]:
            return True
        chunk = os.read(self._fd, 65536)
        if not chunk:
            return False
        *complete, self._pending = (self._pending + chunk).split(b"\n")
        self._ready += [line.decode("utf-8", "replace") for line in complete]
        return True

    def wait_for(self, text, timeout=90):
        deadline = time.monotonic() + timeout
        while True:
            while self._ready:
                line = self._ready.pop(0)
                self.lines.append(line)
                if text in line:
                    return line
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 1)):
                break
        pytest.fail(f"no log line with {text!r}; the log so far:\n" + "\n".join(self.lines[-40:]))

    def finish(self, timeout):
        """The log of a run that is to end on its own; one that does not is killed."""
        try:
            return self.child.communicate(timeout=timeout)[1]
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.communicate()
            pytest.fail(f"the run did not end within {timeout} s")

    def interrupt(self):
        self.child.send_signal(signal.SIGINT)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self._pump(1):
            pass
        self.child.wait(timeout=max(deadline - time.monotonic(), 1))
        self.child.stderr.close()
        self.lines += self._ready + self._pending.decode("utf-8", "replace").splitlines()
        self._ready, self._pending = [], b""
        return self.child.returncode


def notices(w):
    """The texts the DingTalk robot received, in order (the other channels get the
    same), with the Markdown's bold marks taken out."""
    return [json.loads(body)["markdown"]["text"].replace("**", "")
            for path, _, body in w.robots.received if path == "/dingtalk"]


def titles(w):
    return [json.loads(body)["markdown"]["title"] for path, _, body in w.robots.received if path == "/dingtalk"]


def state(w, name):
    path = w.work / f"custom_{name}_state.json"
    return json.loads(path.read_text(encoding="utf-8")) if path.exists() else None


def report(w):
    return json.loads((w.work / "monitor_report.json").read_text(encoding="utf-8"))["sessions"]


def round_done(number, language="en"):
    """The start of round number's closing line, up to the wait it announces."""
    parts = i18n.CATALOGUES[language]["mon_round_done"].split("%s")
    return parts[0] + str(number) + parts[1]


def test_two_runs_stopped_in_the_wait_and_in_the_checks(world):
    w = world
    write_settings(w, [
        {"name": "up", "ip": "127.0.0.1", "port": w.up_port},
        {"name": "down", "ip": "127.0.0.1", "port": w.closed_port, "protocol": "TCP"},
        {"name": "web", "url": w.page_url},
        {"name": "odd", "ip": "127.0.0.1", "protocol": "smtp"},
        {"name": "off", "ip": "127.0.0.1", "enabled": False},
        {"name": "slow", "ip": "127.0.0.1", "protocol": "icmp"},
    ])
    targets_line = "up / down / web / odd / slow"

    # Run 1: stopped in the wait after round 1.
    run = Run(w)
    run.wait_for(tr("mon_round", 1))
    run.wait_for(round_done(1))
    time.sleep(0.5)
    assert run.interrupt() == 0
    log = "\n".join(run.lines)
    assert tr("mon_stop_signal") in log and tr("cli_report_saved") % 1 in log
    assert state(w, "up")["status"] == "UP" and state(w, "web")["status"] == "UP"
    assert state(w, "down")["status"] == "DOWN" and state(w, "slow")["status"] == "DOWN"
    assert state(w, "odd") is None and state(w, "off") is None
    [session] = report(w)
    assert session["total_rounds"] == 1 and len(session["rounds"]) == 1
    assert session["rounds"][0]["results"] == {"up": True, "down": False, "web": True, "slow": False}
    assert session["rounds"][0]["latency"] == {}
    first = titles(w)
    assert first[0] == tr("alert_startup_title")
    assert sorted(first[1:3]) == sorted([tr("alert_down_title", "down"), tr("alert_down_title", "slow")])
    assert first[3] == tr("alert_stop_title") and len(first) == 4
    assert f"{tr('alert_field_targets')}：{targets_line}" in notices(w)[0]
    assert f"{tr('alert_field_rounds')}：1 轮" in notices(w)[3]
    assert len(w.mail.messages) == 4
    assert [p for p in w.robots.paths()][:4] == ["/dingtalk", "/feishu", "/wecom", "/dingtalk"]

    # Run 2: stopped while round 2 waits on the slow target; Chrome is reused.
    w.robots.received.clear()
    run = Run(w)
    run.wait_for(tr("chrome_port_ready") % f"http://127.0.0.1:{w.cdp_port}")
    run.wait_for(round_done(1))
    run.wait_for(tr("mon_round", 2))
    run.wait_for(tr("detect_start") % "slow")
    time.sleep(0.5)
    assert run.interrupt() == 0
    sessions = report(w)
    assert [s["total_rounds"] for s in sessions] == [1, 2]
    assert [r["round"] for r in sessions[1]["rounds"]] == [1]
    assert titles(w) == [tr("alert_startup_title"), tr("alert_stop_title")]  # down targets stay down: no new notice
    assert f"{tr('alert_field_rounds')}：2 轮" in notices(w)[1]


def test_chrome_lost_between_rounds_is_started_again(world):
    w = world
    write_settings(w, [{"name": "web", "url": w.page_url}])
    run = Run(w)
    run.wait_for(round_done(1))
    assert stop_processes_mentioning(str(w.tmp / "chrome_debug"))  # the browser dies in the wait
    run.wait_for(tr("chrome_disconnected"), timeout=30)
    run.wait_for(tr("chrome_ready") % f"http://127.0.0.1:{w.cdp_port}", timeout=60)
    run.wait_for(round_done(2), timeout=60)
    assert run.interrupt() == 0
    [session] = report(w)
    assert [r["results"] for r in session["rounds"]] == [{"web": True}, {"web": True}]
    assert state(w, "web")["status"] == "UP"
    assert titles(w) == [tr("alert_startup_title"), tr("alert_stop_title")]


def test_no_chrome_at_start_up_ends_the_run_with_status_1(world):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    env_path = os.environ["PATH"]
    os.environ["PATH"] = "/nonexistent"
    try:
        run = Run(w, "no-chrome")
    finally:
        os.environ["PATH"] = env_path
    _, err = run.child.communicate(timeout=60)
    assert run.child.returncode == 1
    assert tr("chrome_not_found") in err and tr("mon_round", 1) not in err
    assert titles(w) == [tr("alert_chrome_not_found")]
    assert not (w.work / "monitor_report.json").exists() and state(w, "up") is None


def test_a_second_ctrl_c_while_the_stop_notice_hangs_keeps_the_rounds(world):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    settings = json.loads((w.work / "monitor_config.json").read_text(encoding="utf-8"))
    # A DingTalk robot that takes the message and never answers (a listener
    # that accepts nothing), and a wait longer than any clock holds.
    settings.update(webhook=f"http://127.0.0.1:{w.up_port}/robot/send", interval_seconds=10**30)
    (w.work / "monitor_config.json").write_text(json.dumps(settings), encoding="utf-8")
    run = Run(w)
    run.wait_for(round_done(1))
    time.sleep(0.5)
    run.child.send_signal(signal.SIGINT)
    run.wait_for(tr("mon_stop_signal"))
    time.sleep(1)  # the stop notice is on its way to the robot that does not answer
    assert run.interrupt() == 130
    [session] = report(w)
    assert session["total_rounds"] == 1 and [r["results"] for r in session["rounds"]] == [{"up": True}]
    log = "\n".join(run.lines)
    assert log.index(tr("mon_stop_signal")) < log.index(tr("cli_report_saved") % 1)


def test_a_state_file_broken_between_rounds_ends_the_run_with_its_rounds_reported(world):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    run = Run(w)
    run.wait_for(round_done(1))
    (w.work / "custom_up_state.json").write_text('{"status": "UP", ', encoding="utf-8")  # a hand edit gone wrong
    err = run.finish(timeout=60)
    assert run.child.returncode == 1
    last = err.strip().splitlines()[-1]
    assert last.startswith("quorvelta: state file 'custom_up_state.json' cannot be read:") and "Traceback" not in err
    assert tr("cli_report_saved") % 1 in err and tr("mon_stop_signal") not in err
    [session] = report(w)
    assert session["total_rounds"] == 2 and [r["round"] for r in session["rounds"]] == [1]
    assert titles(w) == [tr("alert_startup_title")]  # no stop notice


@pytest.mark.parametrize("language", ["zh", "en"])
def test_an_unreadable_report_is_kept_aside_and_the_console_says_where(world, language):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    settings = json.loads((w.work / "monitor_config.json").read_text(encoding="utf-8"))
    settings["language"] = language
    (w.work / "monitor_config.json").write_text(json.dumps(settings), encoding="utf-8")
    old = '{"sessions": [{"start_time": "2024-01-01 08:00:00", '.encode()  # cut off by a full disk, say
    (w.work / "monitor_report.json").write_bytes(old)
    run = Run(w)
    run.wait_for(round_done(1, language))
    assert run.interrupt() == 0
    [aside] = [p.name for p in w.work.iterdir() if p.name.startswith("monitor_report.json.corrupt-")]
    assert (w.work / aside).read_bytes() == old
    texts = i18n.CATALOGUES[language]
    said = [n for n, line in enumerate(run.lines) if line.endswith(texts["cli_report_kept_aside"] % aside)]
    assert len(said) == 1 and " [WARNING] " in run.lines[said[0]]
    assert run.lines[said[0] + 1].endswith(texts["cli_report_saved"] % 1)
    [session] = report(w)
    assert session["total_rounds"] == 1


def test_names_of_any_length_keep_their_state_from_run_to_run(world):
    w = world
    long_down, huge_up, web = "内网" * 150, "n" * 200_000, "w" * 300
    write_settings(w, [{"name": long_down, "ip": "127.0.0.1", "port": w.closed_port},
                       {"name": huge_up, "ip": "127.0.0.1", "port": w.up_port},
                       {"name": web, "url": w.page_url}])
    for _ in range(2):
        run = Run(w)
        run.wait_for(round_done(1))
        assert run.interrupt() == 0
        assert any(tr("detect_start") % huge_up in line for line in run.lines), "the log quotes a name whole"
    files = sorted(p.name for p in w.work.glob("custom_*_state.json"))
    assert len(files) == 3 and all(len(f.encode()) <= 255 for f in files)
    # The second run found the first run's state: one down notice in all.
    assert titles(w).count(tr("alert_down_title", long_down)) == 1
    assert [s["rounds"][0]["results"] for s in report(w)] == [{long_down: False, huge_up: True, web: True}] * 2


@pytest.mark.parametrize("targets, language, named", [
    ("not a list", "en", "quorvelta: settings: custom_targets must be a list of targets, not str"),
    ([{"name": "fine", "ip": "127.0.0.1", "enabled": False}, {"ip": "127.0.0.1"}], "en",
     "quorvelta: settings: custom target 2 has no name: {'ip': '127.0.0.1'}"),
    ([{"name": "db", "ip": "127.0.0.1"}, {"name": "db", "url": "http://x/"}], "zh",
     "quorvelta: 设置：自定义目标 1 和 2 名称相同：'db'"),
    ([{"name": "db", "ip": "127.0.0.1", "port": "abc"}], "zh",
     "quorvelta: 设置：自定义目标 1 'db' 的端口不是整数：'abc'"),
    ([{"name": "db", "ip": "127.0.0.1", "port": "abc"}], "en",
     "quorvelta: settings: custom target 1 'db' has a port that is not a whole number: 'abc'"),
])
def test_a_settings_record_of_the_wrong_shape_is_one_clear_error(world, targets, language, named):
    """Refused before Chrome starts and before the run says it is running, in the run's language."""
    w = world
    write_settings(w, targets, language)
    run = Run(w)
    err = run.finish(timeout=90)
    assert run.child.returncode == 1
    assert err.strip().splitlines()[-1] == named and "Traceback" not in err
    assert "=" * 60 not in err and "chrome" not in err.lower()
    assert titles(w) == [] and not (w.work / "monitor_report.json").exists()  # not even the start-up notice


def test_a_state_file_that_cannot_be_read_ends_the_run_naming_it(world):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}], "zh")
    (w.work / "custom_up_state.json").mkdir()
    run = Run(w)
    err = run.finish(timeout=90)
    assert run.child.returncode == 1
    assert err.strip().splitlines()[-1] == "quorvelta: 状态文件 'custom_up_state.json' 无法读取：Is a directory"
    assert (w.work / "custom_up_state.json").is_dir()


def test_names_in_any_script_run_unchanged_and_show_visibly_in_the_log(world):
    """Names that share a state file get files of their own; a lone surrogate
    and control characters go through the notices, the state files and the
    report unchanged, and the log shows them so that no record is forged."""
    w = world
    forged = "a\x01\nFAKE [INFO] b\x1b[31m"
    names = ["서버", "장치", "a\udcff", forged, "DB", "db"]
    write_settings(w, [{"name": name, "ip": "127.0.0.1", "port": w.up_port} for name in names])
    run = Run(w)
    run.wait_for(round_done(1))
    assert run.interrupt() == 0
    [session] = report(w)
    assert session["rounds"][0]["results"] == dict.fromkeys(names, True)
    # (The robots' Markdown starts a line where a name holds a line break.)
    assert titles(w)[0] == tr("alert_startup_title") and "서버 / 장치 / a\udcff / a\x01" in notices(w)[0]
    files = sorted(p.name for p in w.work.glob("custom_*_state.json"))
    assert len(files) == 6 and "custom__state.json" in files and "custom_DB_state.json" in files
    assert not any(line.startswith("FAKE") for line in run.lines)
    assert not any(set(line) & {"\x1b", "\x01", "\udcff", "\ufffd"} for line in run.lines)
    logged = "\n".join(run.lines)
    assert tr("detect_start") % r"a\x01\nFAKE [INFO] b\x1b[31m" in logged and tr("detect_start") % r"a\udcff" in logged
    # The same files again in the next run: each target finds its own state.
    run = Run(w)
    run.wait_for(round_done(1))
    assert run.interrupt() == 0
    assert sorted(p.name for p in w.work.glob("custom_*_state.json")) == files


# --- the run's own steps, in process: its neighbours stand in, its log is read
# as the formats and arguments it passes, and the interrupt is raised where a
# test puts it.

class Log:
    """A logger that keeps (level, format, arguments) and raises the user's
    interrupt at the first record for which stop_at is true."""

    def __init__(self, stop_at=lambda level, msg, args: False):
        self.records, self.stop_at = [], stop_at

    def _log(self, level, msg, *args):
        self.records.append((level, msg, args))
        if self.stop_at(level, msg, args):
            raise KeyboardInterrupt

    def info(self, msg, *args):
        self._log("info", msg, *args)

    def warning(self, msg, *args):
        self._log("warning", msg, *args)

    def error(self, msg, *args):
        self._log("error", msg, *args)


@pytest.fixture
def neighbours(core, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    for name in ("INTERVAL_SECONDS", "RETRY_COUNT", "WEBHOOK", "FEISHU_WEBHOOK", "WECOM_WEBHOOK",
                 "EMAIL_RECIPIENTS", "SMTP_USER", "SMTP_PASSWORD", "logger"):
        monkeypatch.setattr(core, name, getattr(core, name))
    n = types.SimpleNamespace(alerts=[], reports=[], chrome=[], cdp_ready=True, save_run_report=core._save_run_report)
    monkeypatch.setattr(core, "init_lang", lambda path: None)
    monkeypatch.setattr(core, "send_alert", n.alerts.append)
    monkeypatch.setattr(core, "ensure_chrome", lambda **kwargs: n.chrome.append(kwargs))
    monkeypatch.setattr(core, "is_cdp_ready", lambda: n.cdp_ready)
    monkeypatch.setattr(core, "_save_run_report", lambda start, counter, rounds: n.reports.append((counter, rounds)))
    monkeypatch.setattr(core, "check_github", lambda: (True, "github", "OK"))
    monkeypatch.setattr(core, "check_custom_url", lambda name, url: (True, name, "OK"))
    protocols = {"tcp_ping": lambda: (True, "127.0.0.1:1", "OK", 0)}
    monkeypatch.setattr(core, "_make_protocol_check_fn", lambda name, ip, port, protocol: protocols.get(protocol))

    def settings(targets, **more):
        on = dict(BUILT_IN_OFF, github_enabled=True, custom_targets=targets, **more)
        (tmp_path / "monitor_config.json").write_text(json.dumps(on), encoding="utf-8")

    n.settings = settings
    return n


STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def test_one_round_stopped_in_its_closing_log_line(core, neighbours, tmp_path):
    n = neighbours
    n.settings([
        {"name": "web", "url": "http://127.0.0.1:1/", "ip": "127.0.0.1", "protocol": "udp"},
        {"name": "net", "ip": "127.0.0.1", "port": "1", "protocol": "tcp_ping"},
        {"name": "odd", "ip": "127.0.0.1", "protocol": "smtp"},
        {"name": "off", "url": "http://127.0.0.1:1/", "enabled": False},
        {"name": "none"},
    ], interval_seconds=7.5, retry_count=2)
    n.cdp_ready = False
    tr = core.tr
    log = Log(stop_at=lambda level, msg, args: msg == tr("mon_round_done"))
    core.logger = log

    assert core.main() is None

    banner = "=" * 60
    keys = ("mon_startup", "mon_press_ctrl_c", "mon_round", "mon_stop_signal", "chrome_disconnected")
    own = [r for r in log.records if r[1] in {banner, "", *map(tr, keys)}]
    done = [r for r in log.records if r[1] == tr("mon_round_done")]
    assert own == [
        ("info", banner, ()), ("info", tr("mon_startup"), (7.5, 2)),
        ("info", tr("mon_press_ctrl_c"), ()), ("info", banner, ()),
        ("info", "", ()), ("info", banner, ()), ("info", tr("mon_round"), (1,)),
        ("warning", tr("chrome_disconnected"), ()),
        ("info", "", ()), ("info", banner, ()), ("info", tr("mon_stop_signal"), ()),
    ]
    [(_, _, (number, wait, jitter))] = done
    assert number == 1 and -15 <= jitter <= 15 and wait == max(5, 7.5 + jitter)
    assert n.chrome == [{}, {"exit_on_fail": False}]

    targets = "GitHub / web / net / odd / none"
    assert len(n.alerts) == 2
    assert re.fullmatch(re.escape(f"{tr('alert_startup_title')}\n\n{tr('alert_field_time')}：") + STAMP + re.escape(
        f"\n{tr('alert_field_interval')}：7.5 秒\n{tr('alert_field_retry')}：2 次\n{tr('alert_field_targets')}：{targets}"
    ), n.alerts[0])
    assert re.fullmatch(re.escape(f"{tr('alert_stop_title')}\n\n{tr('alert_field_time')}：") + STAMP + re.escape(
        f"\n{tr('alert_field_rounds')}：1 轮\n{tr('alert_field_targets')}：{targets}"
    ), n.alerts[1])

    # The rounds handed over stay the report writer's after the run has returned.
    [(counter, rounds)] = n.reports
    assert counter == 1 and len(rounds) == 1
    core.logger = Log()
    n.save_run_report(datetime.datetime.now(), counter, rounds)
    [session] = report(types.SimpleNamespace(work=tmp_path))
    [kept] = session["rounds"]
    assert kept["round"] == 1 and re.fullmatch(r"\d\d:\d\d:\d\d", kept["time"])
    assert kept["results"] == {"GitHub": True, "web": True, "net": True} and kept["latency"] == {"net": 0}
    assert sorted(p.name for p in tmp_path.glob("*_state.json")) == [
        "custom_net_state.json", "custom_web_state.json", "github_state.json"]


def interrupt(*args, **kwargs):
    raise KeyboardInterrupt


def failing_state(name, check_fn, state_file):
    raise ValueError("state file broken")


@pytest.mark.parametrize("targets, stand_in, error, announced", [
    ([{"name": 5, "url": "http://127.0.0.1:1/"}], {}, ValueError, 0),
    ([], {"ensure_chrome": interrupt}, KeyboardInterrupt, 0),
    ([], {"ensure_chrome": lambda: sys.exit(1)}, SystemExit, 0),
    ([], {"process_service": failing_state}, ValueError, 1),
], ids=["name not text", "interrupt in the start-up", "no Chrome", "error in a round"])
def test_errors_leave_the_run_without_a_stop(core, neighbours, monkeypatch, targets, stand_in, error, announced):
    n = neighbours
    n.settings(targets)
    for name, value in stand_in.items():
        monkeypatch.setattr(core, name, value)
    core.logger = Log()
    with pytest.raises(error):
        core.main()
    assert len(n.alerts) == announced and n.reports == []
    assert all(msg != core.tr("mon_stop_signal") for _, msg, _ in core.logger.records)


# --- settings that only a round would have tripped over, found at start-up

REFUSALS = [
    ([{"name": "db", "ip": "127.0.0.1"}, {"name": "db", "url": "http://x/"}],
     "settings: custom targets 1 and 2 have the same name 'db'", "设置：自定义目标 1 和 2 名称相同：'db'"),
    ([{"name": "GitHub", "url": "http://x/"}],
     "settings: custom target 1 'GitHub' has the name of the built-in target GitHub",
     "设置：自定义目标 1 'GitHub' 与内置目标 GitHub 同名"),
    ([{"name": "db", "ip": "127.0.0.1", "port": "abc"}],
     "settings: custom target 1 'db' has a port that is not a whole number: 'abc'",
     "设置：自定义目标 1 'db' 的端口不是整数：'abc'"),
    ([{"name": "db", "ip": "127.0.0.1", "port": None, "protocol": "UDP"}],
     "settings: custom target 1 'db' has a port that is not a whole number: None",
     "设置：自定义目标 1 'db' 的端口不是整数：None"),
    ([{"name": "db", "ip": "127.0.0.1", "port": [22], "protocol": "tcp_ping"}],
     "settings: custom target 1 'db' has a port that is not a whole number: [22]",
     "设置：自定义目标 1 'db' 的端口不是整数：[22]"),
    ([{"name": "서버", "ip": "127.0.0.1", "protocol": 5}],
     "settings: custom target 1 '서버' has a protocol that is not text: 5",
     "设置：自定义目标 1 '서버' 的协议不是文本：5"),
    ([{"name": "n" * 5000, "ip": "127.0.0.1", "protocol": None}],
     "settings: custom target 1 '" + "n" * 99 + "… has a protocol that is not text: None",
     "设置：自定义目标 1 '" + "n" * 99 + "… 的协议不是文本：None"),
    ("not a list", "settings: custom_targets must be a list of targets, not str",
     "设置：custom_targets 应为目标列表，而不是 str"),
    ([5], "settings: custom target 1 is not a map: 5", "设置：自定义目标 1 不是一个对象：5"),
    ([{"ip": "127.0.0.1"}], "settings: custom target 1 has no name: {'ip': '127.0.0.1'}",
     "设置：自定义目标 1 没有名称：{'ip': '127.0.0.1'}"),
    ([{"name": b"db"}], "settings: custom target 1 has a name that is not text: {'name': b'db'}",
     "设置：自定义目标 1 的名称不是文本：{'name': b'db'}"),
]


@pytest.mark.parametrize("language", ["en", "zh"])
@pytest.mark.parametrize("targets, english, chinese", REFUSALS, ids=[
    "one name twice", "built-in name", "port text", "port null", "port list", "protocol number", "long name",
    "not a list", "not a map", "no name", "name not text"])
def test_settings_a_round_would_trip_over_end_the_start_up(core, neighbours, monkeypatch, language, targets,
                                                           english, chinese):
    n = neighbours
    if targets == [{"name": b"db"}]:
        monkeypatch.setattr(core, "load_gui_config", lambda: {"custom_targets": targets})
    else:
        n.settings(targets)
    core.set_lang(language)
    core.logger = Log(stop_at=lambda level, msg, args: msg == core.tr("mon_round_done"))  # were it to go on
    try:
        with pytest.raises(ValueError) as raised:
            core.main()
    finally:
        core.set_lang("zh")
    assert str(raised.value) == (english if language == "en" else chinese)
    # Before Chrome is started and before anything but the settings' own line is logged or announced.
    assert len(core.logger.records) <= 1
    assert n.chrome == [] and n.alerts == [] and n.reports == []


def test_names_that_would_share_a_state_file_get_files_of_their_own(core, neighbours, tmp_path):
    n = neighbours
    checked = [{"name": name, "ip": "127.0.0.1", "protocol": "tcp_ping"}
               for name in ("서버", "장치", "сервер", "db main", "db-main", "DB_main", "x y")]
    # Never checked: no address, or a protocol no probe has. They take part in no clash.
    never = [{"name": "x-y", "ip": "127.0.0.1", "protocol": "smtp"}, {"name": "x_y"}]
    n.settings(never + checked)
    core.logger = Log(stop_at=lambda level, msg, args: msg == core.tr("mon_round_done"))
    assert core.main() is None
    files = sorted(p.name for p in tmp_path.glob("custom_*_state.json"))
    plain = ["custom__state.json", "custom_db_main_state.json", "custom_x_y_state.json"]
    assert len(files) == 7 and set(plain) <= set(files)
    own = sorted(set(files) - set(plain))
    for file, stem in zip(own, ["custom_DB_main", "custom_db_main", "custom_", "custom_"]):
        assert re.fullmatch(re.escape(stem) + "~[0-9a-f]{16}_state\\.json", file), own
    assert len({f.lower() for f in files}) == 7, "no two files are one file where case does not count"
    # Stable: the next run with the same settings takes the same files.
    assert core.main() is None
    assert sorted(p.name for p in tmp_path.glob("custom_*_state.json")) == files


# Runs of clashing names, each target "up", "down" or "off" (in the settings,
# switched off), and the notices each run must send: a target keeps its own
# state whatever the settings around it do.
CLASHING_RUNS = {
    "one switched off": ([[("db main", "down"), ("db-main", "up")], [("db main", "off"), ("db-main", "up")]],
                         [["down db main"], []]),
    "reordered": ([[("db main", "down"), ("db-main", "up")], [("db-main", "up"), ("db main", "down")]],
                  [["down db main"], []]),
    "a clashing name added ahead": ([[("db-main", "down")], [("db main", "up"), ("db-main", "down")]],
                                    [["down db-main"], []]),
    "removed and back": ([[("서버", "down"), ("장치", "up")], [("장치", "up")], [("서버", "down"), ("장치", "up")]],
                         [["down 서버"], [], []]),
    "case, and a clashing name switched on later": (
        [[("DB", "down"), ("db", "off")], [("db", "up"), ("DB", "up")], [("db", "down")]],
        [["down DB"], ["recovery DB"], ["down db"]]),
    "letter case, each name on a plain file of its own where case counts": (
        [[("DB", "down")], [("db", "down")], [("DB", "down"), ("db", "down")], [("db", "down"), ("DB", "down")]],
        [["down DB"], ["down db"], [], []]),
    "Cyrillic, a lone surrogate, 255 bytes": (
        [[("сервер", "down"), ("a\udcff", "up"), ("n" * 255, "down"), ("n" * 255 + "!", "up")],
         [("n" * 255 + "!", "up"), ("a\udcff", "up"), ("сервер", "down"), ("n" * 255, "down")]],
        [["down сервер", "down " + "n" * 255], []]),
}


def run_clashing(core, n, monkeypatch, targets):
    """One run of the targets, stopped after its first round; the notices of its
    targets, as "down <name>" or "recovery <name>"."""
    up = {name: state == "up" for name, state in targets}
    monkeypatch.setattr(core, "_make_protocol_check_fn", lambda name, ip, port, protocol: lambda: (
        up[name], name, "OK" if up[name] else "refused"))
    n.settings([{"name": name, "ip": "127.0.0.1", "enabled": state != "off"} for name, state in targets])
    del n.alerts[:]
    core.logger = Log(stop_at=lambda level, msg, args: msg == core.tr("mon_round_done"))
    assert core.main() is None
    titles = {core.tr("alert_down_title", name): "down " + name for name, _ in targets}
    titles.update({core.tr("alert_recovery_title", name): "recovery " + name for name, _ in targets})
    return [titles[alert.split("\n")[0]] for alert in n.alerts[1:-1]]


@pytest.mark.parametrize("runs, notices", CLASHING_RUNS.values(), ids=CLASHING_RUNS)
def test_a_target_keeps_its_state_whatever_the_settings_around_it_do(core, neighbours, monkeypatch, runs, notices):
    for targets, expected in zip(runs, notices):
        assert run_clashing(core, neighbours, monkeypatch, targets) == expected, targets


def test_state_files_written_before_names_were_recorded_keep_their_targets(core, neighbours, monkeypatch, tmp_path):
    # As an earlier version left it: "db main" down on the plain file, which does not say whose it is.
    (tmp_path / "custom_db_main_state.json").write_text('{"status": "DOWN", "down_time": "2024-05-01 10:00:00"}')
    assert run_clashing(core, neighbours, monkeypatch, [("db main", "down"), ("db-main", "up")]) == []
    assert run_clashing(core, neighbours, monkeypatch, [("db-main", "up"), ("db main", "down")]) == []
    plain = json.loads((tmp_path / "custom_db_main_state.json").read_text(encoding="utf-8"))
    assert plain == {"status": "DOWN", "down_time": "2024-05-01 10:00:00", "quorvelta_target": "db main"}
    # A target alone on a plain file that says nothing keeps it, and from now on the file says whose it is.
    (tmp_path / "custom_web_state.json").write_text('{"status": "DOWN", "down_time": "", "note": "kept"}')
    assert run_clashing(core, neighbours, monkeypatch, [("web", "up")]) == ["recovery web"]
    assert json.loads((tmp_path / "custom_web_state.json").read_text(encoding="utf-8")) == {
        "status": "UP", "down_time": "", "note": "kept", "quorvelta_target": "web"}


UP = {"status": "UP", "down_time": ""}
DOWN = {"status": "DOWN", "down_time": "2024-05-01 10:00:00"}
LONG = "n" * 255

# State files as earlier builds left them, each ("plain" or "own", target, state,
# saved so many seconds ago); then runs of the targets, as in CLASHING_RUNS, with
# the notices each must send; then what the plain files hold afterwards.
EARLIER_FILES = {
    # Kept on its own file behind "db-main", then alone moved back to its plain
    # file, where its outage was announced; the own file stayed as it was.
    "moved back to its plain file: an outage announced there": (
        [("plain", "db main", DOWN, 60), ("own", "db main", UP, 3600)], [[("db main", "down")]], [[]], {}),
    "moved back to its plain file: its recovery": (
        [("plain", "db main", DOWN, 60), ("own", "db main", UP, 3600)], [[("db main", "up")]],
        [["recovery db main"]], {}),
    # Both saved in one round of [db-main, db main].
    "the settings of the earlier run, then reordered, then one switched off": (
        [("plain", "db main", UP, 60), ("own", "db main", DOWN, 60)],
        [[("db-main", "up"), ("db main", "down")], [("db main", "down"), ("db-main", "up")],
         [("db main", "down"), ("db-main", "off")]], [[], [], []], {}),
    # The own file there from before, kept alone; the plain file another's.
    "kept on its own file alone, the plain file not saved since": (
        [("plain", "db main", UP, 3600), ("own", "db main", DOWN, 60)], [[("db main", "down")]], [[]], {}),
    # Where case counts, "db" went to its own file beside "DB".
    "recorded in \"name\", kept on its own file all the same": (
        [("plain", "DB", dict(DOWN, name="DB"), 3600), ("plain", "db", dict(DOWN, name="db"), 3600),
         ("own", "db", UP, 60)], [[("DB", "down"), ("db", "up")]], [[]], {}),
    "recorded in \"name\", a clashing name added ahead": (
        [("plain", "a\udcff", dict(DOWN, name="a\udcff"), 60)], [[("a\x01\x1f", "up"), ("a\udcff", "down")]], [[]],
        {"a\udcff": dict(DOWN, name="a\udcff", quorvelta_target="a\udcff")}),
    # A round stopped between the two saves, then "db-main" switched off.
    "another recorded in \"name\", saved after the own file": (
        [("plain", "db main", dict(UP, name="db-main"), 60), ("own", "db main", DOWN, 3600)],
        [[("db main", "down")]], [[]], {}),
    "a person's own \"name\" members, in any script": (
        [("plain", "web", dict(DOWN, name="Web front end", note="kept"), 60),
         ("plain", "서버", dict(DOWN, name="웹 서버 (본사)\x01"), 60),
         ("plain", LONG, dict(DOWN, name="сервер \udcff"), 60)],
        [[("web", "down"), ("서버", "down"), (LONG, "down")]], [[]],
        {"web": dict(DOWN, name="Web front end", note="kept", quorvelta_target="web"),
         "서버": dict(DOWN, name="웹 서버 (본사)\x01", quorvelta_target="서버"),
         LONG: dict(DOWN, name="сервер \udcff", quorvelta_target=LONG)}),
    "a person's own \"name\" that is no text": (
        [("plain", "web", dict(DOWN, name=5), 60)], [[("web", "up")]], [["recovery web"]],
        {"web": dict(UP, name=5, quorvelta_target="web")}),
}


def own_state_file(core, n, monkeypatch, name):
    """The file of its own that a run gives a target, made by a run where a
    clashing name ahead of it takes its plain file; every state file of that
    run is removed again."""
    run_clashing(core, n, monkeypatch, [("_" + name, "up"), (name, "up")])
    [own] = [p.name for p in pathlib.Path.cwd().glob("custom_*~*_state.json")]
    for made in pathlib.Path.cwd().glob("*_state.json"):
        made.unlink()
    return own


@pytest.mark.parametrize("files, runs, notices, after", EARLIER_FILES.values(), ids=EARLIER_FILES)
def test_state_files_of_earlier_builds_keep_their_targets(core, neighbours, monkeypatch, files, runs, notices, after):
    paths = {(kind, name): own_state_file(core, neighbours, monkeypatch, name) if kind == "own"
             else core.get_custom_state_file(name) for kind, name, _, _ in files}
    now = time.time_ns()
    for kind, name, state, ago in files:
        core.save_state(state, paths[kind, name])
        os.utime(paths[kind, name], ns=(now - ago * 10**9,) * 2)
    for targets, expected in zip(runs, notices):
        assert run_clashing(core, neighbours, monkeypatch, targets) == expected, targets
    for name, state in after.items():
        assert core.load_state(core.get_custom_state_file(name)) == state, name


def test_what_a_round_can_take_is_no_settings_error(core, neighbours):
    n = neighbours
    n.settings([
        {"name": "twin", "ip": "127.0.0.1", "port": "abc", "protocol": "icmp"},  # icmp takes no port
        {"name": "twin", "ip": "127.0.0.1", "enabled": False},
        {"name": "Gemini", "url": "http://127.0.0.1:1/", "port": "abc", "protocol": 5},  # Gemini is off; a url wins
        {"name": "far", "ip": "127.0.0.1", "port": 70000},  # out of range: the probe's own failure
        {"name": "odd", "ip": "127.0.0.1", "port": "abc", "protocol": "smtp"},  # unknown: skipped in the rounds
        {"name": "none", "port": None, "protocol": 5},  # nothing to check
    ])
    core.logger = Log(stop_at=lambda level, msg, args: msg == core.tr("mon_round_done"))
    assert core.main() is None
    assert len(n.alerts) == 2 and "twin / Gemini / far / odd / none" in n.alerts[0]


@pytest.mark.parametrize("interval, wait", [(10**30, 1e30), (10**400, float("inf"))], ids=["10**30", "10**400"])
def test_an_interval_of_any_size_waits_as_the_longest_wait(core, neighbours, interval, wait):
    n = neighbours
    n.settings([], interval_seconds=interval)
    core.logger = Log(stop_at=lambda level, msg, args: msg == core.tr("mon_round_done"))
    assert core.main() is None
    [(number, logged_wait, jitter)] = [args for _, msg, args in core.logger.records if msg == core.tr("mon_round_done")]
    assert number == 1 and logged_wait == wait and -15 <= jitter <= 15
