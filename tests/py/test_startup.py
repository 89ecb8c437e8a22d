"""Module start-up: the settings' defaults and the log."""
import json
import os
import re
import subprocess
import sys

import pytest

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[INFO\] (.*)$")


def run_python(code, env=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd, timeout=60, check=True
    )


def test_defaults(core):
    assert (core.RETRY_COUNT, core.RETRY_DELAY, core.INTERVAL_SECONDS) == (3, 3, 60)
    assert core.CDP_URL == "http://127.0.0.1:9222"
    assert core.SEARCH_URL.startswith("https://") and core.SEARCH_URL.endswith("/scholar?q={keyword}")
    for site in ("GEMINI", "GOOGLE", "CHATGPT", "GITHUB", "CLAUDE", "NOTEBOOKLM", "LINKEDIN"):
        url = getattr(core, site + "_URL")
        assert url.startswith("https://") and url.endswith("/") and url.count("/") == 3
        assert getattr(core, site + "_STATE_FILE") == site.lower() + "_state.json"
    assert core.STATE_FILE == "scholar_state.json" and core.ERROR_DIR == "error_pages"
    assert core.CHROME_PATHS[2:] == ["google-chrome", "chrome", "chromium", "google-chrome-stable"]
    assert core.CHROME_EXTRA_ARGS == [] and core.SMTP_PORT == 465
    assert core.LOG_FILE == os.path.join(os.path.dirname(os.path.abspath(core.__file__)), "scholar_monitor.log")


def test_chrome_user_data_follows_temp(tmp_path):
    code = "import engine.core as c, os, sys; sys.stdout.buffer.write(os.fsencode(c.CHROME_USER_DATA))"
    env = {k: v for k, v in os.environ.items() if k != "TEMP"}
    assert run_python(code, env=env).stdout == "/tmp/chrome_debug"
    env["TEMP"] = str(tmp_path)
    assert run_python(code, env=env).stdout == str(tmp_path / "chrome_debug")
    # A TEMP that is not UTF-8 is taken as the platform decodes it, not a failed import.
    env["TEMP"] = os.fsencode(tmp_path) + b"/\xff"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, timeout=60, check=True).stdout
    assert out == os.fsencode(tmp_path) + b"/\xff/chrome_debug"


def test_log_goes_once_to_file_and_to_stderr_and_appends(core, tmp_path):
    marker = f"start-up marker {os.getpid()}"
    code = (
        "import engine.core as c, logging; c.logger.info('%s', " + repr(marker) + "); c.logger.debug('hidden')"
    )
    before = open(core.LOG_FILE, encoding="utf-8").read() if os.path.exists(core.LOG_FILE) else ""
    first = run_python(code, cwd=tmp_path)
    second = run_python(code, cwd=tmp_path)
    for run in (first, second):
        lines = run.stderr.splitlines()
        assert len(lines) == 1 and LINE.match(lines[0]).group(1) == marker
    after = open(core.LOG_FILE, encoding="utf-8").read()
    assert after.startswith(before)
    added = after[len(before):].splitlines()
    assert [LINE.match(line).group(1) for line in added if marker in line] == [marker, marker]
    assert "hidden" not in after[len(before):]
    assert not list(tmp_path.iterdir())  # the log does not follow the working directory


def test_log_records_show_quoted_values_visibly(core, tmp_path):
    """A value quoted into a record (a name, a page's text) neither forges a
    record of its own nor reaches the terminal as a control sequence; a
    library's indented continuation lines stay, and a lone surrogate shows as
    its escape instead of failing the UTF-8 log file."""
    marker = f"visible marker {os.getpid()}"
    name = "a\x01\nFAKE [INFO] b\x1b[31m\u2028\x9b"
    error = "Page.goto: net::ERR\nCall log:\n  - navigating\r\n\tdone\n"
    other = "서버 сервер a\udcff\\n"
    code = (f"import engine.core as c\n"
            f"c.logger.warning({marker + ' %s: %s'!r}, {name!r}, {error!r})\n"
            f"c.logger.info({marker + ' %s'!r}, {other!r})\n")
    before = open(core.LOG_FILE, encoding="utf-8").read() if os.path.exists(core.LOG_FILE) else ""
    run = run_python(code, cwd=tmp_path)
    added = open(core.LOG_FILE, encoding="utf-8").read()[len(before):]
    for text in (run.stderr, added):
        assert not set(text) & {"\x1b", "\x9b", "\x01", "\u2028", "\udcff"} and "Logging error" not in text
        # The log file is shared: other processes may have written around these lines.
        lines = [line for line in text.split("\n") if line]
        first = next(i for i, line in enumerate(lines) if marker in line)
        lines = lines[first:first + 3] + [next(line for line in lines[first + 3:] if marker in line)]
        assert [line.split("] ", 1)[-1] for line in lines] == [
            marker + r" a\x01\nFAKE [INFO] b\x1b[31m\u2028\x9b: Page.goto: net::ERR\nCall log:",
            r"  - navigating\r",
            "\t" + r"done\n",
            marker + r" 서버 сервер a\udcff\n",
        ]
        assert "[WARNING] " + marker in lines[0] and "[INFO] " + marker in lines[3]


# The start-up's surroundings, faked before the import: the outside modules are
# loaded first, so that only engine.core sees the platform it is told.
SURROUNDINGS = """
import json, os, sys
import requests, playwright.sync_api, i18n

class Stream:
    def __init__(self, fail=None):
        self.calls, self.fail = [], fail
    def reconfigure(self, **kwargs):
        self.calls.append(kwargs)
        if self.fail:
            raise self.fail
    def write(self, text):
        pass
    def flush(self):
        pass

out, err = {out}, Stream()
sys.platform, sys.stdout, sys.stderr = {platform!r}, out, err
{extra}
try:
    import engine.core as core
    result = [getattr(out, "calls", None), err.calls, core.LOG_FILE]
except Exception as e:
    result = [type(e).__name__, e.__cause__ is None]  # the error itself, nothing in front of it
sys.__stdout__.write(json.dumps(result))
"""


@pytest.mark.parametrize("platform, out, extra, expected", [
    ("linux", "Stream()", "", [[], []]),
    ("win32", "Stream()", "", [[{"encoding": "utf-8"}], [{"encoding": "utf-8"}]]),
    # No console stream, or an OS error: the rest of the switch is skipped, quietly.
    ("win32", "None", "", [None, []]),
    ("win32", "Stream(OSError('no console'))", "", [[{"encoding": "utf-8"}], []]),
    ("win32", "Stream(ValueError('odd'))", "", "ValueError"),
    # A packaged executable keeps its log beside itself.
    ("linux", "Stream()", "sys.frozen, sys.executable = True, {exe!r}", [[], []]),
    # A log file that cannot be opened fails the import with the open's own error.
    ("linux", "Stream()", "sys.frozen, sys.executable = True, {exe!r}; os.mkdir({log!r})", "IsADirectoryError"),
], ids=["linux", "win32", "win32 without stdout", "win32 OS error", "win32 other error", "frozen", "log a directory"])
def test_start_up_surroundings(tmp_path, platform, out, extra, expected):
    exe = tmp_path / "app" / "quorvelta.exe"
    exe.parent.mkdir()
    log = exe.parent / "scholar_monitor.log"
    code = SURROUNDINGS.format(out=out, platform=platform, extra=extra.format(exe=str(exe), log=str(log)))
    result = json.loads(run_python(code, cwd=tmp_path).stdout)
    if isinstance(expected, str):
        assert result == [expected, True]
        return
    assert result[:2] == expected
    if extra:
        assert result[2] == str(log) and os.path.exists(result[2])


def test_launcher_names_the_error_that_failed_the_start_up(tmp_path):
    code = SURROUNDINGS.split("out, err =")[0] + (
        "sys.platform, sys.stdout = 'win32', Stream(ValueError('no UTF-8 here'))\n"
        "from quorvelta.__main__ import run\n"
        "sys.exit(run(['report']))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert (done.returncode, done.stderr) == (1, "quorvelta: no UTF-8 here\n")
