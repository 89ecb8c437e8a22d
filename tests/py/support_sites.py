"""Pages and stand-ins for the built-in site checks.

- ``html(body, title=..., head=...)``: a small UTF-8 page.
- ``error_dir`` (fixture): ``core.ERROR_DIR`` pointed at an empty temporary
  directory for one test; ``shots(error_dir)`` lists the screenshots taken.
- ``FakePlaywright(FakePage(...))``: a duck-typed browser-automation session
  for the branches a real browser cannot be made to take on demand (a title
  that cannot be read, a query that raises, an interrupt at a chosen call).
  The page notes every call in ``page.calls``.
"""
import os

import pytest


def html(body="", title="A page", head=""):
    return (f"<!doctype html><html><head><meta charset='utf-8'><title>{title}</title>{head}</head>"
            f"<body>{body}</body></html>")


@pytest.fixture
def error_dir(core, tmp_path, monkeypatch):
    path = tmp_path / "shots"
    monkeypatch.setattr(core, "ERROR_DIR", str(path))
    return path


def shots(error_dir):
    """The screenshots taken since the last call. They are removed, because two
    taken in the same second under the same tag share one file name."""
    names = sorted(os.listdir(error_dir)) if error_dir.exists() else []
    for name in names:
        os.remove(error_dir / name)
    return names


class Boom(Exception):
    """An ordinary error whose text is its own (reasons use str(e))."""

    def __init__(self, text="Tab Went Away"):
        super().__init__(text)
        self.text = text

    def __str__(self):
        return self.text


class FakePage:
    """A tab. ``found``: the selectors that query_selector finds; ``counts``:
    what query_selector_all gives per selector; ``fail``: operation name ->
    exception it raises (goto, url, title, inner_text, query_selector,
    wait_for_selector, screenshot, close); ``wait_fails``: selectors whose
    wait raises a time-out."""

    def __init__(self, url="http://127.0.0.1:1/start", title="A page", body="An ordinary page with some text",
                 found=(), counts=None, fail=None, wait_fails=(), status=200):
        self._url, self._title, self._body, self.status = url, title, body, status
        self.found, self.counts, self.fail, self.wait_fails = set(found), counts or {}, fail or {}, set(wait_fails)
        self.calls = []

    def _op(self, name, *args):
        self.calls.append((name, *args))
        if name in self.fail:
            raise self.fail[name]

    def goto(self, url, timeout, **options):
        self._op("goto", url, timeout, options)
        status = self.status

        class Response:
            pass

        response = Response()
        response.status = status
        return response

    @property
    def url(self):
        self._op("url")
        return self._url

    def title(self):
        self._op("title")
        return self._title

    def inner_text(self, selector):
        self._op("inner_text", selector)
        return self._body

    def query_selector(self, selector):
        self._op("query_selector", selector)
        return object() if selector in self.found else None

    def query_selector_all(self, selector):
        self._op("query_selector_all", selector)
        return [object()] * self.counts.get(selector, 0)

    def wait_for_selector(self, selector, timeout):
        self._op("wait_for_selector", selector, timeout)
        if selector in self.wait_fails:
            raise Boom(f"Page.wait_for_selector: Timeout {timeout}ms exceeded.")

    def screenshot(self, path, full_page):
        self._op("screenshot", os.path.basename(path))

    def close(self):
        self._op("close")

    def named(self, name):
        return [c for c in self.calls if c[0] == name]


class FakePlaywright:
    def __init__(self, page, connect_error=None):
        self.page = page

        class Context:
            @staticmethod
            def new_page():
                return page

        class Browser:
            contexts = [Context()]

        class Chromium:
            @staticmethod
            def connect_over_cdp(endpoint):
                if connect_error is not None:
                    raise connect_error
                return Browser()

        self.chromium = Chromium()
