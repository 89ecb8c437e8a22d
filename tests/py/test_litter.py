"""What a long run leaves behind: no temporaries of killed writes that stay for
ever, and no folder in TEMP per browser session. Real runs of the launcher,
killed or stopped with Ctrl+C, on loopback with Debian's Chromium."""
import json
import os
import signal
import time

import pytest

from test_run import Run, round_done, tr, world, write_settings  # noqa: F401


def temporaries(folder, name):
    return sorted(p.name for p in folder.glob(name + ".tmp-*"))


def written_into(folder, name):
    """True once a temporary of the file holds some of the new content."""
    for temporary in temporaries(folder, name):
        try:
            if (folder / temporary).stat().st_size > 0:
                return True
        except FileNotFoundError:
            pass
    return False


def big_report(path, sessions=19, rounds=20000):
    """A report of many rounds (tens of MB), so that writing it takes a while."""
    results = {f"target {i}": i % 3 != 0 for i in range(12)}
    one = json.dumps({"round": 1, "time": "00:00:00", "results": results, "latency": {"target 1": 12}})
    session = ('{"start_time": "2026-01-01 00:00:00", "end_time": "2026-01-02 00:00:00", '
               f'"total_rounds": {rounds}, "rounds": [' + ", ".join([one] * rounds) + "]}")
    path.write_text('{"sessions": [' + ", ".join([session] * sessions) + "]}", encoding="utf-8")


def ended_pid():
    """The id of a process that has ended, as a write killed mid-way leaves in its temporary's name."""
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    return pid


def test_the_next_write_of_a_file_removes_what_killed_writes_left(world):
    w = world
    write_settings(w, [{"name": "up", "ip": "127.0.0.1", "port": w.up_port}])
    report_file = w.work / "monitor_report.json"
    big_report(report_file)
    old_report = report_file.read_bytes()

    # Run 1 is killed while it writes the report: its temporary stays beside it.
    run = Run(w)
    run.wait_for(round_done(1))
    run.child.send_signal(signal.SIGINT)
    deadline = time.monotonic() + 60
    while not written_into(w.work, report_file.name) and time.monotonic() < deadline:
        time.sleep(0.001)
    run.child.send_signal(signal.SIGKILL)
    run.child.wait(30)
    left = temporaries(w.work, report_file.name)
    assert len(left) == 1 and (w.work / left[0]).stat().st_size > 0, "the kill came after the write"
    assert report_file.read_bytes() == old_report  # the old report is whole

    # What earlier kills left beside the state file, a write in progress in a
    # process that still runs, and files that merely look alike.
    dead = ended_pid()
    state_file = "custom_up_state.json"
    planted = [f"{state_file}.tmp-{dead}-1", f"{state_file}.tmp-{dead}"]
    in_progress = f"{report_file.name}.tmp-{os.getpid()}-1"
    others = [f"{state_file}.bak", f"{state_file}.tmp-{dead}-1.keep", f"custom_other_state.json.tmp-{dead}-1",
              f"notes.txt.tmp-{dead}-1"]
    for name in planted + [in_progress] + others:
        (w.work / name).write_text("half", encoding="utf-8")

    run = Run(w)
    run.wait_for(round_done(1))
    time.sleep(0.3)
    assert run.interrupt() == 0
    assert tr("cli_report_saved") % 1 in "\n".join(run.lines)
    sessions = json.loads(report_file.read_text(encoding="utf-8"))["sessions"]
    assert len(sessions) == 20 and sessions[-1]["rounds"][0]["results"] == {"up": True}
    assert [name for name in planted + left if (w.work / name).exists()] == []
    assert (w.work / in_progress).exists()
    for name in others:
        assert (w.work / name).read_text(encoding="utf-8") == "half", name


def test_browser_sessions_leave_no_folder_in_temp(world, monkeypatch):
    w = world
    for name in ("TMPDIR", "TMP"):  # the browser driver takes these before TEMP
        monkeypatch.delenv(name, raising=False)
    write_settings(w, [{"name": f"web {i}", "url": w.page_url} for i in range(4)]
                   + [{"name": "down", "url": f"http://127.0.0.1:{w.closed_port}/"}])
    settings = json.loads((w.work / "monitor_config.json").read_text(encoding="utf-8"))
    settings["retry_count"] = 2  # two connections in the session of the target that is down
    (w.work / "monitor_config.json").write_text(json.dumps(settings), encoding="utf-8")

    run = Run(w)
    run.wait_for(round_done(1), timeout=180)
    time.sleep(0.3)
    assert run.interrupt() == 0
    log = "\n".join(run.lines)
    assert log.count(tr("detect_ok") % "web 0") == 1 and tr("detect_attempt_fail") % ("down", 2, "page_load_failed") in log
    assert sorted(p.name for p in w.tmp.glob("playwright-artifacts-*")) == []
