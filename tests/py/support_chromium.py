"""Debian's Chromium and local web pages for the browser tests.

Import the fixtures into a test module by name:

    from support_chromium import chromium, cdp, page_server  # noqa: F401

Fixtures:

- ``chromium`` (session): one headless Chromium with its DevTools port, started
  once per test session as
  ``/usr/bin/chromium --headless=new --no-sandbox --remote-debugging-port=<free
  port> --user-data-dir=<tmp> about:blank`` and killed (with its child
  processes) at the end. Gives a ``Chromium`` with ``cdp_url`` and
  ``page_count()``, the number of open tabs as the browser itself lists them
  (``/json/list``): right after start there is one, the ``about:blank`` tab.
- ``cdp`` (function): ``core.CDP_URL`` pointed at that Chromium for one test
  (restored afterwards); gives the ``Chromium``, and fails the test when it
  left a tab open.
- ``page_server`` (session): an HTTP server on 127.0.0.1. ``add(path, body=...,
  status=200, headers=None, hang=False)`` serves a page and returns its
  address; ``hang=True`` answers never (until the session ends);
  ``url(path)`` is the address of a path; ``redirect(path, to)`` serves a 302.

Helpers: ``closed_port_url()`` (an address where nothing listens),
``logged(caplog)`` and ``line(core, level, key, *args)`` to compare log
records with catalogue keys without depending on the catalogue's wording.
"""
import json
import os
import re
import signal
import subprocess
import threading
import time
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from support_local import free_port, stop_processes_mentioning

CHROMIUM = "/usr/bin/chromium"
START_TIMEOUT = 30.0

# Loopback only: never through a proxy from the environment.
_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def closed_port_url():
    """An address on 127.0.0.1 where nothing listens: loads are refused."""
    return f"http://127.0.0.1:{free_port()}/"


class Chromium:
    def __init__(self, workdir):
        self.workdir = workdir
        self.port = None
        self.proc = None
        self.log_path = None
        self.profile = None

    @property
    def cdp_url(self):
        return f"http://127.0.0.1:{self.port}"

    def get_json(self, path):
        with _opener.open(self.cdp_url + path, timeout=5) as reply:
            return json.loads(reply.read())

    def page_count(self):
        """Open tabs as the browser lists them (targets of type "page")."""
        return sum(1 for t in self.get_json("/json/list") if t.get("type") == "page")

    def start(self):
        # Another process may take the free port before Chromium binds it: the
        # browser's own "DevTools listening on ws://..." line must match what
        # the port answers, so that the tests talk to this Chromium.
        for _ in range(3):
            self.port = free_port()
            self.profile = profile = os.path.join(self.workdir, f"profile-{self.port}")
            self.log_path = os.path.join(self.workdir, f"chromium-{self.port}.log")
            with open(self.log_path, "wb") as log:
                self.proc = subprocess.Popen(
                    [CHROMIUM, "--headless=new", "--no-sandbox", f"--remote-debugging-port={self.port}",
                     f"--user-data-dir={profile}", "about:blank"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
            if self._wait_ready():
                return
            self.stop()
        raise RuntimeError(f"Chromium did not answer on its DevTools port; see {self.workdir}")

    def _listening_on(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            found = re.search(r"DevTools listening on (ws://\S+)", f.read())
        return found.group(1) if found else None

    def _wait_ready(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            ws = self._listening_on()
            if ws is not None:
                try:
                    if self.get_json("/json/version").get("webSocketDebuggerUrl") != ws:
                        return False
                    return self.page_count() >= 1
                except (OSError, ValueError):
                    pass
            time.sleep(0.1)
        return False

    def stop(self):
        if self.proc is None:
            return
        for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            try:
                os.killpg(self.proc.pid, sig)  # Chromium and its helper processes
            except ProcessLookupError:
                break
            try:
                self.proc.wait(wait)
                break
            except subprocess.TimeoutExpired:
                continue
        # Helpers that left the process group still name the private profile.
        stop_processes_mentioning(self.profile)
        self.proc = None


@pytest.fixture(scope="session")
def chromium(tmp_path_factory):
    browser = Chromium(str(tmp_path_factory.mktemp("chromium")))
    browser.start()
    try:
        yield browser
    finally:
        browser.stop()


@pytest.fixture
def cdp(core, chromium, monkeypatch):
    before = chromium.page_count()
    monkeypatch.setattr(core, "CDP_URL", chromium.cdp_url)
    yield chromium
    assert chromium.page_count() == before, "the test left a tab open"


class PageServer:
    def __init__(self):
        self.routes = {}
        self.release = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                route = server.routes.get(self.path.split("?")[0])
                if route is None:
                    route = {"status": 404, "body": b"not found", "headers": {}, "hang": False}
                if route["hang"]:
                    server.release.wait(60)
                    return
                body = route["body"]
                self.send_response(route["status"])
                headers = {"Content-Type": "text/html; charset=utf-8", "Content-Length": str(len(body))}
                headers.update(route["headers"])
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.httpd.server_address[1]}{path}"

    def add(self, path, body="", status=200, headers=None, hang=False):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.routes[path] = {"status": status, "body": data, "headers": headers or {}, "hang": hang}
        return self.url(path)

    def redirect(self, path, to):
        return self.add(path, status=302, headers={"Location": to})

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture(scope="session")
def page_server():
    server = PageServer()
    try:
        yield server
    finally:
        server.close()


def logged(caplog, logger="Quorvelta"):
    """The records of the engine's logger as (level name, format, args)."""
    return [(r.levelname, r.msg, tuple(r.args)) for r in caplog.records if r.name == logger]


def line(core, level, key, *args):
    """The record that logging key at level with args gives, for comparison with logged()."""
    return (level, core.tr(key), args)
