"""The built-in site checks' single attempts: each against small local pages in
Debian's Chromium (one table per check), then duck-typed stand-ins for the
branches a real browser cannot be made to take on demand."""
import collections
import time
from dataclasses import dataclass
from typing import Optional

import pytest
from playwright.sync_api import sync_playwright

from support_chromium import cdp, chromium, closed_port_url, line, logged, page_server  # noqa: F401
from support_sites import Boom, FakePage, FakePlaywright, error_dir, html, shots  # noqa: F401


@pytest.fixture(scope="module")
def session():
    with sync_playwright() as pw:
        yield pw


class Attaching:
    """The module's session as the attempts see it, keeping the browsers they
    attach to. A wrapper's session ends after a few attempts and so releases
    them; here they are let go after each test, since every connection left
    open slows the next attach."""

    def __init__(self, pw):
        self.pw, self.chromium, self.browsers = pw, self, []

    def connect_over_cdp(self, endpoint):
        browser = self.pw.chromium.connect_over_cdp(endpoint)
        self.browsers.append(browser)
        return browser


@pytest.fixture
def playwright(session):
    attaching = Attaching(session)
    yield attaching
    for browser in attaching.browsers:
        browser.close()  # only disconnects: the contexts are Chrome's own


@dataclass
class Case:
    id: str
    page: str                    # the HTML served
    reason: str                  # item 3 of the expected result; "OK" means success
    log: Optional[tuple] = None  # (level, key, args) of the one expected line; args may be made from the address
    status: int = 200
    at: str = ""                 # more path after the case's own, e.g. one holding a marker
    query: str = ""
    redirect: bool = False       # the setting points at a 302 to the page
    slow: bool = False           # the case waits out one of the check's time-outs


def W(key, *args):
    return ("WARNING", key, args)


def cases(table):
    return pytest.mark.parametrize("case", table, ids=[c.id for c in table])


@dataclass(frozen=True)
class Member:
    attempt: str
    setting: str
    key: str
    display: str


GEMINI = Member("check_gemini_once", "GEMINI_URL", "gemini", "Gemini")
GOOGLE = Member("check_google_home_once", "GOOGLE_URL", "google", "Google")
GITHUB = Member("check_github_once", "GITHUB_URL", "github", "GitHub")
NOTEBOOKLM = Member("check_notebooklm_once", "NOTEBOOKLM_URL", "notebooklm", "NotebookLM")
CHATGPT = Member("check_chatgpt_once", "CHATGPT_URL", "chatgpt", "ChatGPT")
CLAUDE = Member("check_claude_once", "CLAUDE_URL", "claude", "Claude")
LINKEDIN = Member("check_linkedin_once", "LINKEDIN_URL", "linkedin", "LinkedIn")
MEMBERS = [GEMINI, GOOGLE, GITHUB, NOTEBOOKLM, CHATGPT, CLAUDE, LINKEDIN]


@pytest.fixture
def visit(core, cdp, page_server, playwright, error_dir, caplog, monkeypatch):
    """Serves the case's page, points the member's address setting at it, runs
    the attempt and checks the whole result, the log line and the screenshot."""

    def run(member, case):
        path = f"/{member.key}/{case.id}"
        url = page_server.add(path + case.at, case.page, status=case.status) + case.query
        if case.redirect:
            monkeypatch.setattr(core, member.setting, page_server.redirect(path + "/moved", url))
        else:
            monkeypatch.setattr(core, member.setting, url)
        caplog.clear()
        started = time.monotonic()
        result = getattr(core, member.attempt)(playwright)
        took = time.monotonic() - started

        assert result == (case.reason == "OK", member.key, case.reason)
        expected = []
        if case.log is not None:
            level, key, args = case.log
            expected = [line(core, level, key, *(args[0](url) if args and callable(args[0]) else args))]
        assert logged(caplog) == expected
        taken = shots(error_dir)  # one of every failure, none of a pass
        assert len(taken) == (0 if case.reason == "OK" else 1)
        assert all(name.endswith(f"_{member.key}.png") for name in taken)
        # Only the cases that wait out a time-out (8 s or more) take that long.
        assert case.slow or took < 7, took
        return took

    return run


def cut_address(n):
    return lambda url: (url.lower()[:n],)


# --- what every member shares --------------------------------------------------------


@pytest.mark.parametrize("member", MEMBERS, ids=[m.key for m in MEMBERS])
def test_template_failures(core, visit, playwright, error_dir, caplog, monkeypatch, member):
    # An error status fails at once: no wait, no pause, whatever the page holds.
    took = visit(member, Case("status-400", html("<main>Marked unsupported</main>"), "http_error:400",
                              log=W("err_http", member.display, 400), status=400, at="/linkedin.cn/unsupported"))
    assert took < 3  # also no pause in the chat checks

    # net::ERR_CONNECTION_REFUSED names the connection.
    caplog.clear()
    monkeypatch.setattr(core, member.setting, closed_port_url())
    assert getattr(core, member.attempt)(playwright) == (False, member.key, "page_load_failed:connection_lost")
    assert logged(caplog) == [line(core, "WARNING", "err_page_load", member.display, "connection_lost")]
    assert len(shots(error_dir)) == 1

    # Chrome not reachable: no tab, so no screenshot and nothing to close.
    caplog.clear()
    monkeypatch.setattr(core, "CDP_URL", closed_port_url().rstrip("/"))
    assert getattr(core, member.attempt)(playwright=playwright) == (
        False, member.key, "cdp_connect_failed:connection_refused")
    assert logged(caplog) == [line(core, "ERROR", "err_cdp_failed", member.display, "connection_refused")]
    assert shots(error_dir) == []


# --- Gemini -------------------------------------------------------------------------

INPUT = "<rich-textarea>Ask Gemini</rich-textarea>"
HOSTILE_TITLE = "<b>Error</b> 100% %s <script>alert(1)</script> " + "\u00c4" * 10000

GEMINI_PAGES = [
    Case("rich-textarea", html(INPUT), "OK"),
    Case("role-textbox", html('<div role="textbox">Ask</div>'), "OK"),
    Case("contenteditable", html('<div contenteditable="true">Ask</div>'), "OK"),
    # The support redirect comes before every other test.
    Case("support-redirect", html(INPUT + "<p>access denied</p>", title="Error"), "redirected:support_page",
         log=W("err_redirect_support"), at="/support.google.com/answer", redirect=True),
    # The marker is tested in the case the tab reports.
    Case("support-in-capitals", html(INPUT), "OK", at="/SUPPORT.GOOGLE.COM/answer"),
    Case("502", html(INPUT, title="502 Bad Gateway"), "error_title:502 bad gateway",
         log=W("err_error_title", "502 bad gateway")),
    Case("word-inside-a-word", html(INPUT, title="Terror"), "error_title:terror", log=W("err_error_title", "terror")),
    # Markup and format marks reach the reason as text, cut to 80 characters.
    Case("hostile-title", html(INPUT, title=HOSTILE_TITLE), "error_title:" + HOSTILE_TITLE.lower()[:80],
         log=W("err_error_title", HOSTILE_TITLE.lower()[:80])),
    Case("restricted", html(INPUT + "<p>This service is Restricted</p>"), "restriction_text:restricted",
         log=W("err_restriction_text", "restricted")),
    Case("phrase-order", html(INPUT + "<p>You are banned. Access denied.</p>"), "restriction_text:access denied",
         log=W("err_restriction_text", "access denied")),
    Case("chinese", html(INPUT + "<p>访问被拒绝</p>"), "restriction_text:访问被拒绝",
         log=W("err_restriction_text", "访问被拒绝")),
    Case("typographic-apostrophe", html(INPUT + "<p>Gemini isn\u2019t available in your language yet</p>"), "OK"),
    # Clipped to one line, so that its screenshot stays small; the text is read whole.
    Case("megabyte-body", html(INPUT + '<p style="height:1em;overflow:hidden">' + "lorem ipsum " * 90000
                               + "Your access has been paused</p>"),
         "restriction_text:your access has been", log=W("err_restriction_text", "your access has been")),
    Case("399", html(INPUT), "OK", status=399),
    # The only case that waits the full 10 s for an input.
    Case("no-input", html("<p>Loading</p>"), "ui_not_ready", log=W("err_no_ai_input"), slow=True),
]


@cases(GEMINI_PAGES)
def test_gemini(visit, case):
    took = visit(GEMINI, case)
    if case.slow:
        assert 10 <= took < 14


def test_gemini_restriction_phrases(core):
    phrases = core.GEMINI_RESTRICTION_KEYWORDS
    assert len(phrases) == 32 and len(set(phrases)) == 32
    assert phrases[:13] == ["isn't available in your", "not available in your region", "not available in your country",
                            "unsupported country", "unsupported region", "access denied", "your access has been",
                            "account suspended", "this account has been", "can't access", "cannot access", "banned",
                            "restricted"]
    assert phrases[13:] == ["不支持你所在的地区", "不支持你所在的国家", "不支持您的国家", "不支持您的区域", "不支持该地区",
                            "目前不支持你", "暂不支持你的", "尚不支持你", "当前地区暂不", "此服务在您所在", "尚未在您的地区",
                            "无法在您的地区", "无法为你提供服务", "无法为您所在", "所在地区暂未", "访问被拒绝", "权限不足",
                            "已停止服务", "暂停服务"]


def test_gemini_reads_its_phrases_at_each_call(core, visit, monkeypatch):
    monkeypatch.setattr(core, "GEMINI_RESTRICTION_KEYWORDS", ["waitlist"])
    visit(GEMINI, Case("own-phrase", html(INPUT + "<p>Join the WAITLIST, you are banned</p>"),
                       "restriction_text:waitlist", log=W("err_restriction_text", "waitlist")))


# --- Google home and GitHub -----------------------------------------------------------

GOOGLE_PAGES = [
    Case("input-q", html('<input name="q">'), "OK"),
    Case("textarea-q", html('<textarea name="q"></textarea>'), "OK"),
    Case("aria-search", html('<div aria-label="Search by voice"></div>'), "OK"),
    Case("combobox", html('<div role="combobox"></div>'), "OK"),
    Case("logo-image", html('<img alt="Google">'), "OK"),
    Case("logo-label", html('<span aria-label="Google"></span>'), "OK"),
    Case("neither", html('<p>Google Search</p><img alt="Google logo"><input name="query">'), "no_search_box",
         log=W("err_no_search_box")),
]


@cases(GOOGLE_PAGES)
def test_google_home(visit, case):
    visit(GOOGLE, case)


GITHUB_PAGES = [
    Case("homepage-label", html('<a aria-label="Homepage">home</a>'), "OK"),
    Case("github-label", html('<svg aria-label="GitHub"></svg>'), "OK"),
    Case("logo-image", html('<img alt="The GitHub logo">'), "OK"),
    Case("header", html('<div class="Header">top</div>'), "OK"),
    Case("hydro", html('<a data-hydro-click="{}">sign in</a>'), "OK"),
    Case("shortcuts-meta", html("", head='<meta name="github-keyboard-shortcuts" content="repository">'), "OK"),
    Case("title", html("<p>nothing to see</p>", title="Build software on GITHUB"), "OK"),
    Case("none", html("<p>Git hub</p>", title="Software"), "ui_not_ready", log=W("err_no_key_element", "GitHub")),
]


@cases(GITHUB_PAGES)
def test_github(visit, case):
    visit(GITHUB, case)


# --- NotebookLM ---------------------------------------------------------------------

MAIN = "<main>Welcome to your research notebooks</main>"

NOTEBOOKLM_PAGES = [
    Case("ok", html(MAIN), "OK"),
    Case("location-unsupported", html(MAIN), "restriction:location_unsupported",
         log=W("err_notebooklm_restriction"), query="?hl=en&location=unsupported"),
    # Reached through a redirect: the address the tab ended on counts.
    Case("unsupported-address", html(MAIN), "restriction:unsupported",
         log=W("err_notebooklm_unsupported", cut_address(100)), at="/Unsupported/" + "x" * 120, redirect=True),
    Case("nineteen-characters", html("<main>Only nineteen chars</main>"), "empty_or_blank_page"),
    Case("twenty-characters", html("<main>Only twenty chars!!!</main>"), "OK"),
    Case("blank", html("<button> </button>\n <main>\u3000</main>"), "empty_or_blank_page"),
    Case("phrase-in-text", html("<main>This content is Unsupported here</main>"), "restriction_text:unsupported",
         log=W("err_notebooklm_keyword", "unsupported")),
    Case("phrase-order", html("<main>This isn't available: access denied</main>"), "restriction_text:access denied",
         log=W("err_notebooklm_keyword", "access denied")),
    Case("typographic-apostrophe", html("<main>NotebookLM isn\u2019t available for this account</main>"), "OK"),
    # The only case that waits the full 8 s for content, then is judged by its text.
    Case("no-content-element", html("<p>A page of plain paragraphs only</p>"), "OK", slow=True),
]


@cases(NOTEBOOKLM_PAGES)
def test_notebooklm(visit, case):
    took = visit(NOTEBOOKLM, case)
    if case.slow:
        assert 8 <= took < 12


# --- ChatGPT and Claude -------------------------------------------------------------

TWINS = {
    # member, its name and maker as pages write them, and the other twin's name
    "chatgpt": (CHATGPT, "ChatGPT", "OpenAI", "Claude"),
    "claude": (CLAUDE, "Claude", "Anthropic", "ChatGPT"),
}

TWIN_PAGES = [
    # id, page made from (name, maker, other), reason. Every attempt pauses its
    # 3 s, so the six selectors are named one by one only with stand-ins (below);
    # the page of the other twin has all six queried in Chromium.
    ("textarea", lambda n, m, o: "<textarea></textarea>", "OK"),
    ("name-in-text", lambda n, m, o: f"<p>Welcome to {n.upper()}</p>", "OK"),
    ("maker-in-text", lambda n, m, o: f"<p>Made by {m}</p>", "OK"),
    ("other-twin", lambda n, m, o: f"<p>Try {o} instead</p><img alt='{o}'>", "ui_not_ready"),
]


@pytest.mark.parametrize("twin", sorted(TWINS))
@pytest.mark.parametrize("id,body,reason", TWIN_PAGES, ids=[c[0] for c in TWIN_PAGES])
def test_chat_twins(core, visit, monkeypatch, twin, id, body, reason):
    member, name, maker, other = TWINS[twin]
    log = None if reason == "OK" else W("err_no_key_element", member.display)
    visit(member, Case(id, html(body(name, maker, other)), reason, log=log))


def test_chat_pause_follows_a_load_that_passed(core, visit):
    # The real pause, once: also when the key element is there at once.
    took = visit(CHATGPT, Case("paused", html("<textarea></textarea>"), "OK", status=399))
    assert 3 <= took < 6


# --- LinkedIn -------------------------------------------------------------------------

LINKEDIN_PAGES = [
    Case("ok", html("<p>Welcome to your professional community</p>", title="Error 500"), "OK"),
    Case("china-redirect", html("<p>欢迎来到领英</p>"), "redirected_to_linkedin_cn",
         log=W("err_linkedin_cn_redirect", cut_address(100)), at="/www.linkedin.cn/feed", redirect=True),
    Case("china-in-capitals", html("<p>text</p>"), "redirected_to_linkedin_cn",
         log=W("err_linkedin_cn_redirect", cut_address(100)), at="/LinkedIn.CN/" + "Q" * 150),
    Case("blank", html("<p> \n\t&nbsp; </p>"), "empty_body", log=W("err_page_empty", "LinkedIn")),
    Case("megabyte-body", html("<p>" + "network " * 130000 + "</p>"), "OK"),
]


@cases(LINKEDIN_PAGES)
def test_linkedin(visit, case):
    visit(LINKEDIN, case)


# --- Google Scholar -------------------------------------------------------------------


def results(blocks, titles, links):
    """A result page: blocks, titles and links counted separately."""
    parts = ['<div class="gs_r">A result block</div>'] * blocks + ['<h3 class="gs_rt">A title</h3>'] * titles
    parts += [f'<a href="#r{i}">link {i}</a>' for i in range(links)]
    return html("".join(parts), title="Google Scholar")


SCHOLAR_PAGES = [
    # id, page, status, reason, seconds it may take at least
    ("ten-links", results(2, 2, 10), 200, "OK", 0),
    ("nine-links", results(2, 2, 9), 200, "too_few_links(9)", 0),
    # Judged by its elements only: no status test.
    ("error-status-with-results", results(1, 1, 10), 500, "OK", 0),
    # The title wait succeeds, the block wait runs out.
    ("titles-without-blocks", results(0, 3, 12), 200, "ui_not_ready", 5),
]


@pytest.mark.parametrize("id,page,status,reason,least", SCHOLAR_PAGES, ids=[c[0] for c in SCHOLAR_PAGES])
def test_scholar(core, cdp, page_server, playwright, error_dir, caplog, monkeypatch, id, page, status, reason, least):
    keyword = "cloud computing"
    monkeypatch.setattr(core, "SEARCH_KEYWORDS", [keyword])
    page_server.add(f"/scholar/{id}", page, status=status)
    monkeypatch.setattr(core, "SEARCH_URL", page_server.url(f"/scholar/{id}") + "?q={keyword}")
    started = time.monotonic()
    assert core.check_once(playwright) == (reason == "OK", keyword, reason)
    took = time.monotonic() - started
    assert took >= least and (least or took < 4.5), took
    assert logged(caplog) == []  # the wrapper logs the attempts
    # Tagged with the keyword as it stands, blank included.
    assert [name[15:] for name in shots(error_dir)] == ([] if reason == "OK" else ["_cloud computing.png"])


def test_scholar_load_failure_is_reported_by_its_own_text(core, cdp, playwright, error_dir, caplog, monkeypatch):
    monkeypatch.setattr(core, "SEARCH_KEYWORDS", ["network"])
    monkeypatch.setattr(core, "SEARCH_URL", closed_port_url() + "scholar?q={keyword}")
    ok, keyword, reason = core.check_once(playwright=playwright)
    assert (ok, keyword) == (False, "network")
    assert reason.startswith("Page.goto: net::ERR_CONNECTION_REFUSED at ") and "scholar?q=network" in reason
    assert "\n" in reason  # the whole text, call log included
    assert logged(caplog) == [] and len(shots(error_dir)) == 1

    caplog.clear()
    monkeypatch.setattr(core, "CDP_URL", closed_port_url().rstrip("/"))
    assert core.check_once(playwright) == (False, "network", "cdp_connect_failed:connection_refused")
    assert logged(caplog) == [line(core, "ERROR", "err_cdp_failed", "Google Scholar", "connection_refused")]
    assert shots(error_dir) == []


# --- stand-ins: the branches a real browser does not take on demand -----------------------

BROKEN_DIR = "<a file where the screenshot directory should be>"
SEARCH_BOX = "input[name='q'], textarea[name='q'], [aria-label*='Search'], [role='combobox']"
GITHUB_MARKS = ["[aria-label='Homepage']", "[aria-label='GitHub']", "img[alt*='GitHub']", ".Header",
                "[data-hydro-click]", "meta[name='github-keyboard-shortcuts']"]
CHATGPT_MARKS = ["textarea", "[data-slate-editor]", "[contenteditable='true']", "img[alt*='ChatGPT']",
                 "img[alt*='OpenAI']", "[class*='chat']"]
CLAUDE_MARKS = ["textarea", "[contenteditable='true']", "[data-slate-editor]", "img[alt*='Claude']",
                "img[alt*='Anthropic']", "[class*='chat']"]
GEMINI_INPUTS = ["rich-textarea", '[role="textbox"]', '[contenteditable="true"]']
HAS_INPUT = {"found": {"rich-textarea"}}
GONE = "Execution context was destroyed"
NOT_TEXT = "'in <string>' requires string as left operand, not int"


def E(key, *args):
    return ("ERROR", key, args)


STAND_INS = [
    # id, member, page, settings, reason, log line or None, screenshots, queries made (None: not checked)
    ("gemini-wait-fails", GEMINI, dict(HAS_INPUT, fail={"wait_for_selector": Boom()}), {}, "OK", None, 0,
     GEMINI_INPUTS),  # every input alternative is queried, also after the first was found
    ("gemini-address-unreadable", GEMINI, dict(HAS_INPUT, fail={"url": Boom()}), {}, "OK", None, 0, None),
    ("gemini-title-unreadable", GEMINI, dict(HAS_INPUT, fail={"title": Boom()}), {}, "OK", None, 0, None),
    ("gemini-body-unreadable", GEMINI, dict(HAS_INPUT, fail={"inner_text": Boom()}), {},
     "body_unreadable:Tab Went Away", W("err_body_unreadable", "Gemini", "Tab Went Away"), 1, []),
    ("gemini-query-raises", GEMINI, dict(fail={"query_selector": Boom(GONE)}), {}, "crash:" + GONE,
     E("err_crash_long", "Gemini", GONE), 1, GEMINI_INPUTS[:1]),
    ("gemini-phrases-unreadable", GEMINI, HAS_INPUT, {"GEMINI_RESTRICTION_KEYWORDS": None},
     "crash:'NoneType' object is not iterable", E("err_crash_long", "Gemini", "'NoneType' object is not iterable"),
     1, []),
    # Phrases are tested in their order: an item that is no text counts only when reached.
    ("gemini-phrase-before-a-bad-item", GEMINI, dict(HAS_INPUT, body="You are BANNED"),
     {"GEMINI_RESTRICTION_KEYWORDS": ["banned", 5]}, "restriction_text:banned", W("err_restriction_text", "banned"),
     1, []),
    ("gemini-bad-item-reached", GEMINI, HAS_INPUT, {"GEMINI_RESTRICTION_KEYWORDS": ["banned", 5]},
     "crash:" + NOT_TEXT, E("err_crash_long", "Gemini", NOT_TEXT), 1, []),
    # A failure found stays a failure when its screenshot cannot be saved.
    ("gemini-support-unsaved", GEMINI, dict(HAS_INPUT, url="https://support.google.com/gemini?hl=en"),
     {"ERROR_DIR": BROKEN_DIR}, "redirected:support_page", W("err_redirect_support"), 0, []),
    ("gemini-title-unsaved", GEMINI, dict(HAS_INPUT, title="Internal Error"), {"ERROR_DIR": BROKEN_DIR},
     "error_title:internal error", W("err_error_title", "internal error"), 0, []),
    ("google-search-box-first", GOOGLE, dict(found={SEARCH_BOX}), {}, "OK", None, 0, [SEARCH_BOX]),
    ("google-query-raises", GOOGLE, dict(fail={"query_selector": Boom("Target page, context or browser has been "
                                                                      "closed")}), {},
     "crash:connection_lost", E("err_crash_short", "Google", "connection_lost"), 1, [SEARCH_BOX]),
    ("github-title-unreadable", GITHUB, dict(fail={"title": Boom()}), {}, "ui_not_ready",
     W("err_no_key_element", "GitHub"), 1, GITHUB_MARKS),
    ("github-title-after-the-marks", GITHUB, dict(title="GitHub: Let's build"), {}, "OK", None, 0, GITHUB_MARKS),
    ("notebooklm-address-unreadable", NOTEBOOKLM, dict(fail={"url": Boom()}), {}, "OK", None, 0, None),
    ("notebooklm-wait-fails", NOTEBOOKLM, dict(wait_fails={"a, button, [role='link'], [role='button'], nav, main, "
                                                           "header"}), {}, "OK", None, 0, None),
    ("notebooklm-body-unreadable", NOTEBOOKLM, dict(fail={"inner_text": Boom()}), {}, "body_unreadable:Tab Went Away",
     None, 1, None),
    ("notebooklm-address-unsaved", NOTEBOOKLM, dict(url="https://notebooklm.google/?location=unsupported"),
     {"ERROR_DIR": BROKEN_DIR}, "restriction:location_unsupported", W("err_notebooklm_restriction"), 0, None),
    # The twins' selectors 2 and 3 stand in opposite order.
    ("chatgpt-order", CHATGPT, dict(found={"[contenteditable='true']"}), {}, "OK", None, 0, CHATGPT_MARKS[:3]),
    ("claude-order", CLAUDE, dict(found={"[contenteditable='true']"}), {}, "OK", None, 0, CLAUDE_MARKS[:2]),
    ("chatgpt-body-unreadable", CHATGPT, dict(fail={"inner_text": Boom()}), {}, "ui_not_ready",
     W("err_no_key_element", "ChatGPT"), 1, CHATGPT_MARKS),
    ("claude-unnamed", CLAUDE, dict(body="Sign in to continue"), {}, "ui_not_ready", W("err_no_key_element", "Claude"),
     1, CLAUDE_MARKS),
    ("claude-query-raises", CLAUDE, dict(fail={"query_selector": Boom(GONE)}), {}, "crash:" + GONE,
     E("err_crash_short", "Claude", GONE), 1, ["textarea"]),
    ("linkedin-address-unreadable", LINKEDIN, dict(fail={"url": Boom()}), {}, "OK", None, 0, None),
    ("linkedin-body-unreadable", LINKEDIN, dict(fail={"inner_text": Boom()}), {}, "body_unreadable:Tab Went Away",
     W("err_body_unreadable_short", "LinkedIn", "Tab Went Away"), 1, None),
    ("linkedin-china-unsaved", LINKEDIN, dict(url="https://www.LinkedIn.cn/"), {"ERROR_DIR": BROKEN_DIR},
     "redirected_to_linkedin_cn", W("err_linkedin_cn_redirect", "https://www.linkedin.cn/"), 0, None),
]


@pytest.fixture
def fake_cdp(core, monkeypatch):
    monkeypatch.setattr(core, "CDP_URL", "http://127.0.0.1:1")


@pytest.mark.parametrize("member,page,settings,reason,log,taken,queries", [c[1:] for c in STAND_INS],
                         ids=[c[0] for c in STAND_INS])
def test_stand_in_branches(core, fake_cdp, error_dir, caplog, monkeypatch, member, page, settings, reason, log, taken,
                           queries):
    for name, value in settings.items():
        if value == BROKEN_DIR:
            error_dir.write_text("")
            value = str(error_dir)
        monkeypatch.setattr(core, name, value)
    tab = FakePage(**page)
    assert getattr(core, member.attempt)(FakePlaywright(tab)) == (reason == "OK", member.key, reason)
    assert logged(caplog) == ([] if log is None else [line(core, *log[:2], *log[2])])
    pictures = [c[1] for c in tab.named("screenshot")]
    assert len(pictures) == taken and all(p.endswith(f"_{member.key}.png") for p in pictures)
    assert tab.calls[-1] == ("close",)
    if queries is not None:
        assert [c[1] for c in tab.named("query_selector")] == queries


INTERRUPTS = [
    # attempt, the call that the user's interrupt comes in: every one inside a guard of the attempt
    ("check_gemini_once", "wait_for_selector"),
    ("check_gemini_once", "url"),
    ("check_gemini_once", "title"),
    ("check_gemini_once", "inner_text"),
    ("check_google_home_once", "query_selector"),
    ("check_github_once", "title"),
    ("check_notebooklm_once", "url"),
    ("check_notebooklm_once", "wait_for_selector"),
    ("check_notebooklm_once", "inner_text"),
    ("check_chatgpt_once", "inner_text"),
    ("check_claude_once", "goto"),
    ("check_linkedin_once", "url"),
    ("check_linkedin_once", "inner_text"),
    ("check_once", "goto"),
    ("check_once", "wait_for_selector"),  # the guard of the result waits lets the interrupt through too
]


@pytest.mark.parametrize("attempt,call", INTERRUPTS)
def test_interrupts_pass_after_the_tab_is_closed(core, fake_cdp, error_dir, caplog, attempt, call):
    tab = FakePage(fail={call: KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        getattr(core, attempt)(FakePlaywright(tab))
    assert tab.calls[-1] == ("close",)
    assert logged(caplog) == [] and tab.named("screenshot") == []


# --- stand-ins for the Scholar search ------------------------------------------------------

COUNTED = [
    # what the three lists hold once both waits have passed (the page changed meanwhile), and the verdict
    ({"div.gs_r": 0, "h3.gs_rt": 1, "a": 10}, "no_result_blocks"),
    ({"div.gs_r": 1, "h3.gs_rt": 0, "a": 10}, "no_titles"),
    ({"div.gs_r": 1, "h3.gs_rt": 1, "a": 9}, "too_few_links(9)"),
    ({"div.gs_r": 1, "h3.gs_rt": 1, "a": 10}, "OK"),
]


@pytest.mark.parametrize("counts,reason", COUNTED, ids=[c[1] for c in COUNTED])
def test_scholar_verdicts(core, fake_cdp, error_dir, caplog, monkeypatch, counts, reason):
    monkeypatch.setattr(core, "SEARCH_KEYWORDS", ["sd-wan"])
    monkeypatch.setattr(core, "SEARCH_URL", "https://s.example/scholar?q={keyword}&again={keyword}")
    tab = FakePage(counts=counts)
    assert core.check_once(FakePlaywright(tab)) == (reason == "OK", "sd-wan", reason)
    # No wait mode: the load waits for the load event.
    assert tab.calls[0] == ("goto", "https://s.example/scholar?q=sd-wan&again=sd-wan", 15000, {})
    assert tab.named("wait_for_selector") == [("wait_for_selector", "h3.gs_rt", 5000),
                                             ("wait_for_selector", "div.gs_r", 5000)]
    assert [c[1] for c in tab.named("query_selector_all")] == ["div.gs_r", "h3.gs_rt", "a"]
    assert [c[1][15:] for c in tab.named("screenshot")] == ([] if reason == "OK" else ["_sd-wan.png"])
    assert logged(caplog) == [] and tab.calls[-1] == ("close",)


def test_scholar_stand_ins(core, fake_cdp, error_dir, caplog, monkeypatch):
    monkeypatch.setattr(core, "SEARCH_KEYWORDS", ["network"])
    # Result blocks but no title: the title wait fails first, the block wait is not made.
    tab = FakePage(wait_fails={"h3.gs_rt"})
    assert core.check_once(FakePlaywright(tab)) == (False, "network", "ui_not_ready")
    assert [c[1] for c in tab.named("wait_for_selector")] == ["h3.gs_rt"]
    assert len(tab.named("screenshot")) == 1 and tab.named("query_selector_all") == []

    # A failure while the page loads is reported by its own text, whole.
    text = "Page.goto: Timeout 15000ms exceeded.\nCall log:\n  - navigating to \"https://s/\"" + " ..." * 40
    tab = FakePage(fail={"goto": Boom(text)})
    assert core.check_once(FakePlaywright(tab)) == (False, "network", text)
    assert len(tab.named("screenshot")) == 1 and tab.calls[-1] == ("close",)
    assert logged(caplog) == []


def test_scholar_draws_every_keyword_alike(core, fake_cdp, caplog):
    refused = FakePlaywright(FakePage(), connect_error=Boom("connect ECONNREFUSED 127.0.0.1:1"))
    drawn = collections.Counter(core.check_once(refused) for _ in range(1200))
    assert set(drawn) == {(False, k, "cdp_connect_failed:connection_refused") for k in core.SEARCH_KEYWORDS}
    # 200 expected each; the bounds lie more than four standard deviations out.
    assert all(140 <= n <= 260 for n in drawn.values()), drawn
