"""The retry wrappers of the eight built-in targets end to end: each opens its
own browser-automation session (so none may be open in this module) and runs
its single attempt against local pages in Debian's Chromium. Then the Scholar
wrapper's own loop with scripted attempts."""
import time

import pytest

from support_chromium import cdp, chromium, line, logged, page_server  # noqa: F401
from support_sites import error_dir, html, shots  # noqa: F401

INPUT = "<rich-textarea>Ask Gemini</rich-textarea>"
NOTHING = html("<p>Nothing to see here, move along</p>", title="Nothing")
SCHOLAR_LINKS = "".join(f'<a href="#{i}">link</a>' for i in range(9))


def scholar(links):
    return html('<div class="gs_r"><h3 class="gs_rt">A title</h3></div>' + SCHOLAR_LINKS + links * "<a>one more</a>")


WRAPPERS = [
    # wrapper, address setting, display name, site key, page that passes, page that fails, its reason
    ("check_google_home", "GOOGLE_URL", "Google", "google", html('<input name="q">'), NOTHING, "no_search_box"),
    ("check_gemini", "GEMINI_URL", "Gemini", "gemini", html(INPUT), html(INPUT, title="503 Service Unavailable"),
     "error_title:503 service unavailable"),
    ("check_chatgpt", "CHATGPT_URL", "ChatGPT", "chatgpt", html("<textarea></textarea>"), NOTHING, "ui_not_ready"),
    ("check_github", "GITHUB_URL", "GitHub", "github", html('<div class="Header">GitHub</div>'), NOTHING,
     "ui_not_ready"),
    ("check_claude", "CLAUDE_URL", "Claude", "claude", html("<textarea></textarea>"), NOTHING, "ui_not_ready"),
    ("check_notebooklm", "NOTEBOOKLM_URL", "NotebookLM", "notebooklm", html("<main>Your research notebooks</main>"),
     html("<main>Sorry, this is not available in your country</main>"), "restriction_text:not available in your"),
    ("check_linkedin", "LINKEDIN_URL", "LinkedIn", "linkedin", html("<p>Welcome</p>"), html("<p> </p>"),
     "empty_body"),
    ("check_google", "SEARCH_URL", "Google Scholar", "machine learning", scholar(1), scholar(0), "too_few_links(9)"),
]


@pytest.mark.parametrize("wrapper,setting,display,key,passing,failing,reason", WRAPPERS,
                         ids=[w[0] for w in WRAPPERS])
def test_wrappers_in_chromium(core, cdp, page_server, error_dir, caplog, monkeypatch, wrapper, setting, display, key,
                              passing, failing, reason):
    monkeypatch.setattr(core, "RETRY_COUNT", 1)
    monkeypatch.setattr(core, "SEARCH_KEYWORDS", ["machine learning"])
    scholar_search = wrapper == "check_google"
    for outcome, page in (("pass", passing), ("fail", failing)):
        url = page_server.add(f"/wrapped/{wrapper}/{outcome}", page)
        monkeypatch.setattr(core, setting, url + ("?q={keyword}" if scholar_search else ""))
        caplog.clear()
        result = getattr(core, wrapper)()
        lines = [r for r in logged(caplog) if r[1] in {core.tr(k) for k in (
            "detect_attempt", "detect_attempt_ok", "detect_attempt_fail", "detect_retry_in", "detect_all_failed")}]
        if outcome == "pass":
            assert result == (True, key, "OK")
            assert lines == [line(core, "INFO", "detect_attempt", 1, key, "OK") if scholar_search else
                             line(core, "INFO", "detect_attempt_ok", display, 1)]
        else:
            assert result == (False, key, reason)
            assert lines == ([line(core, "INFO", "detect_attempt", 1, key, reason)] if scholar_search else
                             [line(core, "WARNING", "detect_attempt_fail", display, 1, reason),
                              line(core, "ERROR", "detect_all_failed", display, 1, reason)])
            assert len(shots(error_dir)) == 1


# --- the Scholar wrapper's own loop ---------------------------------------------------------

DELAY = 0.2


class Session:
    """Stands in for sync_playwright() and counts its entries and exits."""

    def __init__(self):
        self.entered = self.exited = 0
        self.playwright = object()

    def __call__(self):
        return self

    def __enter__(self):
        self.entered += 1
        return self.playwright

    def __exit__(self, *exc):
        self.exited += 1


LOOPS = [
    # id, RETRY_COUNT, what the attempts give, the wrapper's result
    ("success at 1", 3, [(True, "network", "OK")], (True, "network", "OK")),
    ("failure then success", 3, [(False, "network", "ui_not_ready"), (True, "sd-wan", "whatever")],
     (True, "sd-wan", "OK")),
    ("three failures", 3, [(False, "network", "r1"), (False, "sd-wan", "r2"), (False, "cyber security", "r3")],
     (False, "cyber security", "r3")),
    ("no attempt", 0, [], (False, "", "")),
]


@pytest.mark.parametrize("count,script,result", [c[1:] for c in LOOPS], ids=[c[0] for c in LOOPS])
def test_scholar_loop(core, monkeypatch, caplog, count, script, result):
    session = Session()
    monkeypatch.setattr(core, "sync_playwright", session)
    monkeypatch.setattr(core, "RETRY_COUNT", count)
    monkeypatch.setattr(core, "RETRY_DELAY", DELAY)
    given, called = list(script), []

    def attempt(playwright):
        called.append((time.monotonic(), playwright))
        return given.pop(0)

    monkeypatch.setattr(core, "check_once", attempt)
    assert core.check_google() == result
    returned = time.monotonic()
    # One info line per attempt, right after it; nothing before a pause, nothing when all failed.
    assert logged(caplog) == [line(core, "INFO", "detect_attempt", n, kw, why)
                              for n, (_, kw, why) in enumerate(script, 1)]
    assert [p for _, p in called] == [session.playwright] * len(script)
    assert (session.entered, session.exited) == (1, 1)
    times = [t for t, _ in called]
    assert all(later - earlier >= DELAY for earlier, later in zip(times, times[1:]))
    assert not times or returned - times[-1] < DELAY
