"""Ctrl+C at awkward moments of a real run: while a browser session starts,
and again right after the stop line. The console shows the run's own lines
and nothing else, and the stop stays prompt."""
import re
import signal
import time

import pytest

from test_run import Run, round_done, tr, world, write_settings  # noqa: F401

LOG_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[(INFO|WARNING|ERROR)\] ")


def foreign(lines):
    """Console lines that are not the run's own log lines (tracebacks, say)."""
    return [line for line in lines if line and not LOG_LINE.match(line)]


def seconds_to(run, text, sent):
    run.wait_for(text, timeout=30)
    return time.monotonic() - sent


def finish(run):
    """The run's exit status once it has ended on its own, with all its lines read."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and run._pump(1):
        pass
    run.child.wait(timeout=max(deadline - time.monotonic(), 1))
    run.lines += run._ready + run._pending.decode("utf-8", "replace").splitlines()
    run._ready, run._pending = [], b""
    return run.child.returncode


# From the line that starts the web check: the session's start takes its first
# milliseconds in Python (event loop, driver start), then waits for the driver.
@pytest.mark.parametrize("delay", [0, 0.001, 0.002, 0.004, 0.006, 0.01, 0.03, 0.2])
def test_ctrl_c_while_a_browser_session_starts(world, delay):
    w = world
    write_settings(w, [{"name": "web", "url": w.page_url}])
    run = Run(w)
    run.wait_for(tr("detect_start") % "web")
    time.sleep(delay)
    sent = time.monotonic()
    run.child.send_signal(signal.SIGINT)
    latency = seconds_to(run, tr("mon_stop_signal"), sent)
    assert finish(run) == 0
    assert foreign(run.lines) == []
    assert latency < 1.0


@pytest.mark.parametrize("delay", [0, 0.002, 0.01])
def test_more_ctrl_c_right_after_the_stop_line(world, delay):
    w = world
    write_settings(w, [{"name": "web", "url": w.page_url}])
    run = Run(w)
    run.wait_for(round_done(1))
    run.child.send_signal(signal.SIGINT)
    run.wait_for(tr("mon_stop_signal"))
    time.sleep(delay)
    # A user who keeps pressing: until the process has gone.
    while run.child.poll() is None:
        run.child.send_signal(signal.SIGINT)
        time.sleep(0.001)
    status = finish(run)
    assert status in (0, 130, -signal.SIGINT)
    assert foreign(run.lines) == []
