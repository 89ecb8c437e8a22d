"""Retry wrappers: the loop with scripted stand-in attempts and sessions, then
the custom wrapper end to end in Debian's Chromium, Ctrl+C included."""
import os
import signal
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from support_chromium import cdp, chromium, line, logged, page_server  # noqa: F401

N = "Local page"
URL = "http://127.0.0.1:1/"
DELAY = 0.2


class Session:
    """Stands in for sync_playwright(): counts entries and exits, and notes how
    many log records there were when it was exited."""

    def __init__(self, caplog, enter_error=None, exit_behaviour=None):
        self.caplog, self.enter_error, self.exit_behaviour = caplog, enter_error, exit_behaviour
        self.entered = self.exited = 0
        self.records_at_exit = None
        self.playwright = object()

    def __call__(self):
        return self

    def __enter__(self):
        self.entered += 1
        if self.enter_error:
            raise self.enter_error
        return self.playwright

    def __exit__(self, *exc):
        self.exited += 1
        self.records_at_exit = len(self.caplog.records)
        if self.exit_behaviour:
            self.exit_behaviour()


class Attempts:
    """A scripted single attempt: gives (or raises) the next item of its script."""

    def __init__(self, script):
        self.script = list(script)
        self.calls = []

    def __call__(self, *args):
        self.calls.append((time.monotonic(), args))
        item = self.script.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item


@pytest.fixture
def setup(core, monkeypatch, caplog):
    def install(script, count=3, **session_options):
        monkeypatch.setattr(core, "RETRY_COUNT", count)
        monkeypatch.setattr(core, "RETRY_DELAY", DELAY)
        session = Session(caplog, **session_options)
        monkeypatch.setattr(core, "sync_playwright", session)
        attempts = Attempts(script)
        monkeypatch.setattr(core, "check_custom_url_once", attempts)
        return session, attempts

    return install


def fail(n, reason):
    return ("WARNING", "detect_attempt_fail", (N, n, reason))


RETRY = ("INFO", "detect_retry_in", (N, DELAY))

LOOPS = [
    # id, RETRY_COUNT, attempt results, wrapper result, log lines
    ("success at 1", 3, [(True, "kw", "whatever")], (True, "kw", "OK"), [("INFO", "detect_attempt_ok", (N, 1))]),
    ("failure then success", 3, [([], "a", "r1"), ("yes", "b", "not OK")], (True, "b", "OK"),
     [fail(1, "r1"), RETRY, ("INFO", "detect_attempt_ok", (N, 2))]),
    ("three failures", 3, [(False, "a", "r1"), (False, "b", "r2"), (False, "c", "r3")], (False, N, "r3"),
     [fail(1, "r1"), RETRY, fail(2, "r2"), RETRY, fail(3, "r3"), ("ERROR", "detect_all_failed", (N, 3, "r3"))]),
    ("count 1", 1, [(False, "a", "r1")], (False, N, "r1"),
     [fail(1, "r1"), ("ERROR", "detect_all_failed", (N, 1, "r1"))]),
    ("count 0", 0, [], (False, N, ""), [("ERROR", "detect_all_failed", (N, 0, ""))]),
    ("count -1", -1, [], (False, N, ""), [("ERROR", "detect_all_failed", (N, -1, ""))]),
    # A fractional count runs its whole part.
    ("count 2.5", 2.5, [(False, "a", "r1"), (False, "b", "r2")], (False, N, "r2"),
     [fail(1, "r1"), RETRY, fail(2, "r2"), ("ERROR", "detect_all_failed", (N, 2.5, "r2"))]),
]


@pytest.mark.parametrize("count,script,result,lines", [c[1:] for c in LOOPS], ids=[c[0] for c in LOOPS])
def test_loop(core, setup, caplog, count, script, result, lines):
    session, attempts = setup(script, count)
    assert core.check_custom_url(N, url=URL) == result
    returned = time.monotonic()
    assert logged(caplog) == [line(core, level, key, *args) for level, key, args in lines]
    assert [args for _, args in attempts.calls] == [(session.playwright, N, URL)] * len(script)
    assert (session.entered, session.exited) == (1, 1)
    # Ended after the success line, or before the all-failed line.
    assert session.records_at_exit == len(lines) - (0 if result[0] else 1)
    times = [t for t, _ in attempts.calls]
    assert all(later - earlier >= DELAY for earlier, later in zip(times, times[1:]))
    assert not times or returned - times[-1] < DELAY  # no pause after the last attempt


def test_standard_wrappers(core, monkeypatch, caplog):
    table = [("check_google_home", "check_google_home_once", "Google", "google"),
             ("check_gemini", "check_gemini_once", "Gemini", "gemini"),
             ("check_chatgpt", "check_chatgpt_once", "ChatGPT", "chatgpt"),
             ("check_github", "check_github_once", "GitHub", "github"),
             ("check_claude", "check_claude_once", "Claude", "claude"),
             ("check_notebooklm", "check_notebooklm_once", "NotebookLM", "notebooklm"),
             ("check_linkedin", "check_linkedin_once", "LinkedIn", "linkedin")]
    monkeypatch.setattr(core, "RETRY_COUNT", 1)
    for wrapper, attempt, display, key in table:
        session = Session(caplog)
        monkeypatch.setattr(core, "sync_playwright", session)
        monkeypatch.setattr(core, attempt, Attempts([(False, "another keyword", "why"), (True, "kw", "")]),
                            raising=False)
        caplog.clear()
        # The failure result carries the site key, whatever the attempt said.
        assert getattr(core, wrapper)() == (False, key, "why")
        assert logged(caplog)[-1] == line(core, "ERROR", "detect_all_failed", display, 1, "why")
        assert getattr(core, wrapper)() == (True, "kw", "OK")
        assert session.entered == session.exited == 2


def test_what_leaves_the_loop(core, setup, caplog):
    # Results that are not three items, and an interrupt from the attempt:
    # the session ends once, and nothing is logged as all failed.
    for item, error, text in [((True, "a"), ValueError, "not enough values to unpack (expected 3, got 2)"),
                              ((True, "a", "b", 4), ValueError, "too many values to unpack (expected 3)"),
                              (None, TypeError, "cannot unpack non-iterable NoneType object"),
                              (KeyboardInterrupt(), KeyboardInterrupt, "")]:
        caplog.clear()
        session, _ = setup([item])
        with pytest.raises(error) as raised:
            core.check_custom_url(N, URL)
        assert str(raised.value) == text
        assert (session.entered, session.exited) == (1, 1)
        assert logged(caplog) == []

    # A session that cannot be opened: no attempt, nothing to end.
    session, attempts = setup([(True, "a", "b")], enter_error=RuntimeError("no driver"))
    with pytest.raises(RuntimeError, match="no driver"):
        core.check_custom_url(N, URL)
    assert attempts.calls == [] and session.exited == 0

    # An end that fails after a success is not tried again.
    session, _ = setup([(True, "a", "b")], exit_behaviour=lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        core.check_custom_url(N, URL)
    assert session.exited == 1

    with pytest.raises(TypeError):
        core.check_custom_url(N)


def send_sigint_after(seconds):
    """Ctrl+C as the process receives it; gives the list that holds the time it was sent."""
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Timer(seconds, send).start()
    return sent


def test_interrupt_in_the_pause(core, setup, monkeypatch, caplog):
    session, attempts = setup([(False, "a", "r1"), (True, "b", "c")])
    monkeypatch.setattr(core, "RETRY_DELAY", 5)
    send_sigint_after(0.3)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        core.check_custom_url(N, URL)
    assert time.monotonic() - started < 0.3 + 0.3
    assert len(attempts.calls) == 1 and (session.entered, session.exited) == (1, 1)
    assert logged(caplog) == [line(core, *fail(1, "r1")[:2], *fail(1, "r1")[2]),
                              line(core, "INFO", "detect_retry_in", N, 5)]


def spin():
    while True:
        pass


@pytest.mark.parametrize("hang", [lambda: time.sleep(30), spin], ids=["blocked", "spinning"])
def test_session_end_that_hangs_after_an_interrupt(core, setup, hang):
    # Playwright's exit can hang after an interrupt in the middle of a call:
    # the wrapper gives up on it and the interrupt goes on.
    session, _ = setup([KeyboardInterrupt()], exit_behaviour=hang)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        core.check_custom_url(N, URL)
    assert time.monotonic() - started < 3
    assert session.exited == 1
    time.sleep(0.3)  # and no stray interrupt follows


# --- in Chromium -------------------------------------------------------------------

@pytest.fixture
def error_dir(core, tmp_path, monkeypatch):
    monkeypatch.setattr(core, "ERROR_DIR", str(tmp_path / "shots"))
    return tmp_path / "shots"


def stopped_server_url():
    class Quiet(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    server.server_close()
    return url


def test_custom_url_in_chromium(core, cdp, page_server, error_dir, monkeypatch):
    assert core.check_custom_url("Local page", page_server.add("/", "<h1>Local page</h1>")) == (True, N, "OK")
    monkeypatch.setattr(core, "RETRY_COUNT", 1)
    assert core.check_custom_url("Local page", stopped_server_url()) == (False, N, "page_load_failed:connection_lost")
    assert len(os.listdir(error_dir)) == 1


def test_ctrl_c_during_a_slow_load(core, cdp, page_server, error_dir, monkeypatch, caplog):
    real = core.sync_playwright
    exits = []

    class Counted:
        def __enter__(self):
            self.manager = real()
            return self.manager.__enter__()

        def __exit__(self, *exc):
            exits.append(time.monotonic())
            return self.manager.__exit__(*exc)

    monkeypatch.setattr(core, "sync_playwright", Counted)
    tabs = cdp.page_count()
    url = page_server.add("/slow", hang=True)
    sent = send_sigint_after(2.0)
    with pytest.raises(KeyboardInterrupt):
        core.check_custom_url(N, url)
    assert time.monotonic() - sent[0] < 3
    assert len(exits) == 1 and exits[0] >= sent[0]
    assert cdp.page_count() == tabs
    assert logged(caplog) == []
    assert not error_dir.exists()
