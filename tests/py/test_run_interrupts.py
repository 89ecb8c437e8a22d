"""Ctrl+C at awkward moments of a real run: while a browser session starts,
again right after the stop line, and again while the report is saved. The
console shows the run's own lines and nothing else, and the stop stays prompt."""
import pathlib
import re
import signal
import time

import pytest

import test_run
from support_interrupts import AS_THE_SAVE_BEGINS, IN_THE_MIDDLE_OF_THE_SAVE
from test_report_file import REPORT, temporaries, write_large_report
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


# The launcher as a host that has more to do once the run has returned, as
# the interpreter's shut-down has: a Ctrl+C then used to raise there.
HOST_WITH_MORE_TO_DO = test_run.HOST.replace(
    "sys.exit(run([\"monitor\"]))",
    "status = run([\"monitor\"])\nprint(\"run returned\", file=sys.stderr, flush=True)\n"
    "import time\ntime.sleep(30)\nsys.exit(status)")


def test_ctrl_c_after_the_run_has_returned_ends_the_process_quietly(world, monkeypatch):
    w = world
    assert HOST_WITH_MORE_TO_DO != test_run.HOST
    monkeypatch.setattr(test_run, "HOST", HOST_WITH_MORE_TO_DO)
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    run = Run(w)
    run.wait_for(round_done(1))
    run.child.send_signal(signal.SIGINT)
    run.wait_for("run returned")
    sent = time.monotonic()
    run.child.send_signal(signal.SIGINT)
    assert finish(run) == -signal.SIGINT and time.monotonic() - sent < 5
    assert foreign(run.lines) == ["run returned"]


# --- a second Ctrl+C while the report is saved

# The launcher as a host that has the save press Ctrl+C itself at a moment of
# it, whatever the machine's speed.
def host_pressing_ctrl_c(moment):
    return test_run.HOST.replace(
        "sys.exit(run([\"monitor\"]))",
        f"sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})\n"
        "import support_interrupts\n"
        f"core._save_run_report = support_interrupts.save_pressing_ctrl_c(core._save_run_report, [{moment!r}])\n"
        "sys.exit(run([\"monitor\"]))")


def stop_with_ctrl_c(w, run):
    run.child.send_signal(signal.SIGINT)
    run.wait_for(tr("mon_stop_signal"))


def break_the_state_file(w, run):
    # A hand edit gone wrong ends the run at round 2, which saves the report too.
    (w.work / "custom_up_state.json").write_text('{"status": "UP", ', encoding="utf-8")


# The save in the middle has a real-size old report (75 MB): it runs to its
# end through a Ctrl+C that comes once it has begun writing the new one.
@pytest.mark.parametrize("end_the_run, moment, old_rounds", [
    (stop_with_ctrl_c, AS_THE_SAVE_BEGINS, 10), (stop_with_ctrl_c, IN_THE_MIDDLE_OF_THE_SAVE, 15000),
    (break_the_state_file, AS_THE_SAVE_BEGINS, 10),
], ids=["Ctrl+C, as the save begins", "Ctrl+C, in the middle of the save", "error, as the save begins"])
def test_a_ctrl_c_while_the_report_is_saved_waits_for_the_save(world, monkeypatch, end_the_run, moment, old_rounds):
    w = world
    monkeypatch.setattr(test_run, "HOST", host_pressing_ctrl_c(moment))
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    write_large_report(w.work / REPORT, rounds=old_rounds)
    run = Run(w)
    run.wait_for(round_done(1))
    end_the_run(w, run)
    assert finish(run) == 130
    assert foreign(run.lines) == []
    assert tr("cli_report_saved") % 1 in run.lines[-1]
    assert temporaries(w.work) == []
    sessions = test_run.report(w)
    assert len(sessions) == 20 and all(len(s["rounds"]) == old_rounds for s in sessions[:19])
    assert [r["results"] for r in sessions[-1]["rounds"]] == [{"up": True}]
