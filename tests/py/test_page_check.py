"""The page-check template through the custom web-address check: real pages in
Debian's Chromium, and duck-typed stand-ins for the branches a real browser
cannot be made to take on demand."""
import os
import re
import time

import pytest
from playwright.sync_api import sync_playwright

from support_chromium import cdp, chromium, closed_port_url, line, logged, page_server  # noqa: F401

NAME = "My site/1"  # screenshots are tagged My_site_1
TAG_FILE = re.compile(r"^\d{8}_\d{6}_My_site_1\.png$")


@pytest.fixture(scope="module")
def playwright():
    with sync_playwright() as pw:
        yield pw


@pytest.fixture
def error_dir(core, tmp_path, monkeypatch):
    path = tmp_path / "shots"
    monkeypatch.setattr(core, "ERROR_DIR", str(path))
    return path


def shots(error_dir):
    return sorted(os.listdir(error_dir)) if error_dir.exists() else []


PAGES = [
    # path, body, status, expected reason, expected log line (level, key, args) or None
    ("/normal", "<p>Hello</p>", 200, "OK", None),
    ("/empty", "", 200, "empty_body", ("WARNING", "err_page_empty", (NAME,))),
    ("/blank", "<body> \n\t&nbsp; &#x3000;</body>", 200, "empty_body", ("WARNING", "err_page_empty", (NAME,))),
    ("/399", "<p>odd but fine</p>", 399, "OK", None),
    ("/400", "<p>bad request</p>", 400, "http_error:400", ("WARNING", "err_http", (NAME, 400))),
    ("/500", "<p>oops</p>", 500, "http_error:500", ("WARNING", "err_http", (NAME, 500))),
]


@pytest.mark.parametrize("path,body,status,reason,log", PAGES, ids=[p[0] for p in PAGES])
def test_local_pages(core, cdp, page_server, playwright, error_dir, caplog, path, body, status, reason, log):
    url = page_server.add(path, body, status=status)
    result = core.check_custom_url_once(playwright, NAME, url)
    assert result == (reason == "OK", NAME, reason)
    if log is None:
        assert logged(caplog) == []
        assert shots(error_dir) == []
    else:
        assert logged(caplog) == [line(core, *log[:2], *log[2])]
        assert len(shots(error_dir)) == 1 and TAG_FILE.match(shots(error_dir)[0])


def test_redirect_and_refused_load(core, cdp, page_server, playwright, error_dir, caplog):
    target = page_server.add("/landing", "<p>arrived</p>")
    assert core.check_custom_url_once(playwright, NAME, page_server.redirect("/moved", target)) == (True, NAME, "OK")
    assert shots(error_dir) == []

    # net::ERR_CONNECTION_REFUSED names the connection: rule 2 comes before rule 4.
    result = core.check_custom_url_once(playwright=playwright, name=NAME, url=closed_port_url())
    assert result == (False, NAME, "page_load_failed:connection_lost")
    assert logged(caplog) == [line(core, "WARNING", "err_page_load", NAME, "connection_lost")]
    assert len(shots(error_dir)) == 1


def test_load_time_out(core, cdp, page_server, playwright, error_dir, caplog):
    url = page_server.add("/never", hang=True)
    started = time.time()
    result = core.check_custom_url_once(playwright, NAME, url)
    assert result == (False, NAME, "page_load_failed:timeout")
    load, shot = caplog.records
    assert logged(caplog)[0] == line(core, "WARNING", "err_page_load", NAME, "timeout")
    assert 15 <= load.created - started < 18
    # Chromium cannot picture a tab whose navigation is still pending: the
    # screenshot runs into Playwright's own 30 s time-out, is logged, and the
    # result stands.
    assert shot.levelname == "ERROR" and shot.msg == core.tr("err_screenshot_failed")
    assert "Timeout 30000ms exceeded" in shot.args[0]
    assert shots(error_dir) == []


def test_chrome_not_reachable(core, chromium, playwright, error_dir, caplog, monkeypatch):
    monkeypatch.setattr(core, "CDP_URL", closed_port_url().rstrip("/"))
    pages = chromium.page_count()
    # "connect ECONNREFUSED ..." names no connection, only the refusal.
    assert core.check_custom_url_once(playwright, NAME, "http://127.0.0.1:1/") == (
        False, NAME, "cdp_connect_failed:connection_refused")
    assert logged(caplog) == [line(core, "ERROR", "err_cdp_failed", NAME, "connection_refused")]
    assert shots(error_dir) == []
    assert chromium.page_count() == pages


# --- stand-ins -------------------------------------------------------------------

class Boom(Exception):
    """An error whose text is its own: the reasons use str(e), no type name."""

    def __str__(self):
        return "Tab Went Away"


class FakePage:
    def __init__(self, log, goto=None, body="text", status=200):
        self.log, self._goto, self.body, self.status = log, goto, body, status

    def goto(self, url, timeout, wait_until):
        self.log.append(("goto", url, timeout, wait_until))
        if self._goto:
            raise self._goto
        status = self.status

        class Response:
            pass

        response = Response()
        response.status = status
        return response

    def inner_text(self, selector):
        if isinstance(self.body, BaseException):
            raise self.body
        return self.body

    def screenshot(self, path, full_page):
        self.log.append(("screenshot", os.path.basename(path), full_page))

    def close(self):
        self.log.append(("close",))


class FakeContext:
    def __init__(self, name, log, page):
        self.name, self.log, self.page = name, log, page

    def new_page(self):
        self.log.append(("new_page", self.name))
        return self.page


class FakeBrowser:
    def __init__(self, log, page, contexts):
        self.log, self.page = log, page
        self.contexts = [FakeContext(n, log, page) for n in contexts]

    def new_context(self):
        self.log.append(("new_context",))
        return FakeContext("made", self.log, self.page)


class FakePlaywright:
    def __init__(self, page, contexts=("default",)):
        self.log = page.log
        browser = FakeBrowser(self.log, page, contexts)

        class Chromium:
            @staticmethod
            def connect_over_cdp(endpoint):
                self.log.append(("connect", endpoint))
                return browser

        self.chromium = Chromium()


@pytest.fixture
def fake_cdp(core, monkeypatch):
    monkeypatch.setattr(core, "CDP_URL", "http://127.0.0.1:1")


@pytest.mark.parametrize("contexts,used", [((), "made"), (("first", "second"), "first")])
def test_context_choice(core, fake_cdp, contexts, used):
    page = FakePage([])
    pw = FakePlaywright(page, contexts)
    assert core.check_custom_url_once(pw, "n", "http://x/") == (True, "n", "OK")
    assert [e for e in page.log if e[0] in ("new_context", "new_page")] == (
        [("new_context",), ("new_page", "made")] if used == "made" else [("new_page", "first")])
    assert page.log[0] == ("connect", "http://127.0.0.1:1")
    assert ("goto", "http://x/", 15000, "domcontentloaded") in page.log
    assert page.log[-1] == ("close",)


def test_error_text_and_tag_of_a_named_target(core, fake_cdp, error_dir, caplog):
    page = FakePage([], body=Boom())
    result = core.check_custom_url_once(FakePlaywright(page), NAME, "http://x/")
    assert result == (False, NAME, "body_unreadable:Tab Went Away")
    assert logged(caplog) == [line(core, "WARNING", "err_body_unreadable_short", NAME, "Tab Went Away")]
    taken = [e for e in page.log if e[0] == "screenshot"]
    assert len(taken) == 1 and TAG_FILE.match(taken[0][1]) and taken[0][2] is True


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)], ids=["interrupt", "exit"])
def test_pass_through_after_the_tab_is_closed(core, fake_cdp, error_dir, caplog, error):
    page = FakePage([], goto=error)
    with pytest.raises(type(error)):
        core.check_custom_url_once(FakePlaywright(page), "n", "http://x/")
    assert page.log[-1] == ("close",)
    assert logged(caplog) == [] and shots(error_dir) == []


def test_errors_of_failure_branches(core, fake_cdp, error_dir, caplog, monkeypatch):
    # The screenshot directory cannot be made: the load's branch falls to the
    # crash step, whose own screenshot fails too; the original error leaves
    # the attempt after the tab is closed.
    error_dir.write_text("a file where the directory should be")
    page = FakePage([], goto=Boom())
    with pytest.raises(FileExistsError):
        core.check_custom_url_once(FakePlaywright(page), "n", "http://x/")
    assert page.log[-1] == ("close",)
    word = core._crash_reason(FileExistsError(17, "File exists", str(error_dir)))
    assert logged(caplog) == [line(core, "WARNING", "err_page_load", "n", "Tab Went Away"),
                              line(core, "ERROR", "err_crash_short", "n", word)]

    # An error inside the attach branch leaves too; there is no tab.
    class BrokenLogger:
        def error(self, *args):
            raise RuntimeError("log is broken")

    monkeypatch.setattr(core, "logger", BrokenLogger())
    def refuse(endpoint):
        raise Boom()

    pw = FakePlaywright(FakePage([]))
    pw.chromium.connect_over_cdp = refuse
    with pytest.raises(RuntimeError, match="log is broken"):
        core.check_custom_url_once(pw, "n", "http://x/")


def test_crash_reason_of_python_errors(core):
    assert core._crash_reason(Boom()) == "Tab Went Away"
    assert core._crash_reason(e=TimeoutError("Timeout 15000ms exceeded.")) == "timeout"
    assert core._crash_reason(ValueError("é" * 90)) == "é" * 80
    assert core._crash_reason(Exception()) == ""
    with pytest.raises(TypeError):
        core._crash_reason()
