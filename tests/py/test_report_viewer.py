"""The report viewer as a person drives it: `python -m quorvelta report` in a
folder holding a report, lines typed on standard input, the screens read back."""
import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import i18n

REPORT = "monitor_report.json"


def rnd(results, latency=None):
    return {"round": 1, "time": "10:00:00", "results": results, "latency": latency or {}}


# Stored oldest first; the viewer lists them newest first: D is 1, A is 4.
A = {"start_time": "2024-01-01 08:00:00", "end_time": "2024-01-01 09:00:00", "total_rounds": 4, "rounds": [
    rnd({"web": False, "ping": True}, {"ping": 5}),
    rnd({}),
    rnd({"web": True, "ping": True}, {"ping": 7}),
]}
B = {"start_time": "2024-01-02 08:00:00", "end_time": "2024-01-02 09:00:00", "total_rounds": 1, "rounds": []}
# The worked example: latencies 10, 20 and 33; "late" only in the second round.
C = {"start_time": "2024-01-03 08:00:00", "end_time": "2024-01-03 09:00:00", "total_rounds": 3, "rounds": [
    rnd({"Google": True, "db": True}, {"db": 10}),
    rnd({"Google": False, "db": True, "late": True}, {"db": 20}),
    rnd({"Google": True, "db": False}, {"db": 33}),
]}
D = {"start_time": "2024-01-04 08:00:00", "end_time": "2024-01-04 09:00:00", "total_rounds": 2,
     "rounds": [rnd({}), rnd({})]}


@pytest.fixture
def tr(monkeypatch):
    """The catalogue as a fresh process has it: the viewer never picks a language."""
    monkeypatch.setattr(i18n, "_current", i18n._current)
    i18n.set_lang("zh")
    return i18n.tr


def lines(*texts):
    return "".join(t + "\n" for t in texts)


def listing(tr):
    labels = [tr("cli_report_session_label", n, s["start_time"], s["end_time"], s["total_rounds"])
              for n, s in enumerate([D, C, B, A], 1)]
    return lines(tr("cli_report_title"), *labels, "") + tr("cli_report_select_prompt")


def statistics(tr, rounds, checks, successes, targets):
    rate = [tr("cli_report_overall_success_rate", successes / checks * 100)] if checks else []
    return lines("", tr("cli_report_overview_header"), tr("cli_report_total_rounds", rounds),
                 tr("cli_report_total_checks", checks), *rate, "", tr("cli_report_target_stats_header"), *targets,
                 tr("cli_report_press_enter"))


def stats_a(tr):
    return statistics(tr, 3, 4, 3, [
        tr("cli_report_target_row", "ping", 2, 0, 100.0),
        tr("cli_report_latency_row", "", "6.0ms", "5ms", "7ms", "2ms"),
        tr("cli_report_target_row", "web", 1, 1, 50.0),
    ])


def stats_c(tr):
    return statistics(tr, 3, 7, 5, [
        tr("cli_report_target_row", "Google", 2, 1, 2 / 3 * 100),
        tr("cli_report_target_row", "db", 2, 1, 2 / 3 * 100),
        tr("cli_report_latency_row", "", "21.0ms", "10ms", "33ms", "23ms"),
        tr("cli_report_latency_loss", "", 1, 3, 1 / 3 * 100),
        tr("cli_report_target_row", "late", 1, 0, 100.0),
    ])


def write_report(folder, value):
    text = value if isinstance(value, (str, bytes)) else json.dumps(value, indent=2, ensure_ascii=False)
    (folder / REPORT).write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))


def start_viewer(folder):
    return subprocess.Popen([sys.executable, "-m", "quorvelta", "report"], cwd=folder, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONIOENCODING="utf-8"))


def view(folder, typed):
    child = start_viewer(folder)
    out, err = child.communicate(typed.encode("utf-8"), timeout=60)
    assert child.returncode == 0, err.decode()
    assert b"Traceback" not in err
    return out.decode("utf-8")


# (what the person types, then end of input; the screens expected)
SESSIONS = {
    "oldest session, end of input at the wait": ("4\n", lambda tr: listing(tr) + stats_a(tr) + "\n"),
    "blanks around a number, Enter, then 0": (" 2 \n\n0\n", lambda tr: listing(tr) + stats_c(tr) + listing(tr)),
    "a session without rounds": ("3\n", lambda tr: listing(tr) + lines(tr("cli_report_no_data")) + listing(tr) + "\n"),
    "rounds without results": ("1\n", lambda tr: listing(tr) + statistics(tr, 2, 0, 0, []) + "\n"),
    "what is no session number": ("abc\n1.5\n5\n-1\n00\n+\n１０\n",
                                  lambda tr: listing(tr) * 8 + "\n"),
    "an empty line": ("\n", listing),
    "end of input at the first prompt": ("", lambda tr: listing(tr) + "\n"),
}


@pytest.mark.parametrize("case", SESSIONS)
def test_sessions_as_a_person_picks_them(tmp_path, tr, case):
    typed, expected = SESSIONS[case]
    write_report(tmp_path, {"sessions": [A, B, C, D]})
    assert view(tmp_path, typed) == expected(tr)


def test_every_result_counts_and_present_heads_show_as_stored(tmp_path, tr):
    # A result that is not true or false is still a check, read as Python
    # reads a truth value; a head value that is there shows as Python shows
    # it, and only a missing one reads "?" or 0.
    odd = {"start_time": None, "end_time": 1714550400.5, "total_rounds": "3", "rounds": [
        rnd({"api": 1, "db": None, "web": "up"}, {"api": 12}),
        rnd({"api": 0, "db": True, "web": ""}, {"api": 15}),
        rnd({"api": [], "db": {"up": True}, "web": "false"}),
    ]}
    bare = {"rounds": [rnd({"api": True})]}
    write_report(tmp_path, {"sessions": [odd, bare]})
    labels = [tr("cli_report_session_label", 1, "?", "?", 0),
              tr("cli_report_session_label", 2, None, 1714550400.5, "3")]
    screen = lines(tr("cli_report_title"), *labels, "") + tr("cli_report_select_prompt")
    assert view(tmp_path, "2\n") == screen + statistics(tr, 3, 9, 5, [
        tr("cli_report_target_row", "api", 1, 2, 1 / 3 * 100),
        tr("cli_report_latency_row", "", "13.5ms", "12ms", "15ms", "3ms"),
        tr("cli_report_latency_loss", "", 2, 3, 2 / 3 * 100),
        tr("cli_report_target_row", "db", 2, 1, 2 / 3 * 100),
        tr("cli_report_target_row", "web", 2, 1, 2 / 3 * 100),
    ]) + "\n"


def test_report_texts_show_their_control_characters(tmp_path, tr):
    # Names and times are quoted into the viewer's lines: each stays on its
    # line and sends nothing to the terminal. A lone surrogate (which Python
    # reads from JSON but cannot print to UTF-8) shows as its escape.
    names = {  # as stored: as shown
        "db\n2024-01-01 08:00:00 - ERROR - forged": "db\\n2024-01-01 08:00:00 - ERROR - forged",
        "\x1b]0;owned\x07web\x1b[2J": "\\x1b]0;owned\\x07web\\x1b[2J",
        "c1\x9b2J\x85\x7f": "c1\\x9b2J\\x85\\x7f",
        "lines\u2028\u2029\r\t": "lines\\u2028\\u2029\\r\\t",
        "\udcff": "\\udcff",
        "한국어 Русский 监控 🚨 C:\\new": "한국어 Русский 监控 🚨 C:\\new",
        "한" * 85: "한" * 85,  # 255 bytes
        "\x1b" * 255: "\\x1b" * 255,
    }
    session = {"start_time": "\x1b[2J\x1b[H2024-01-01 08:00:00", "end_time": "2024-01-01\r09:00:00\n",
               "total_rounds": ["\x1b", 1], "rounds": [rnd(dict.fromkeys(names, True))]}
    # ASCII JSON, so the lone surrogate is stored as the \udcff escape Python writes.
    stored = json.dumps({"sessions": [session]}).encode("ascii")
    write_report(tmp_path, stored)
    label = tr("cli_report_session_label", 1, "\\x1b[2J\\x1b[H2024-01-01 08:00:00", "2024-01-01\\r09:00:00\\n",
               ["\x1b", 1])
    # In code point order of the names, the lone surrogate's own among them.
    order = sorted(names)
    out = view(tmp_path, "1\n")
    assert out == lines(tr("cli_report_title"), label, "") + tr("cli_report_select_prompt") + statistics(
        tr, 1, len(names), len(names), [tr("cli_report_target_row", names[n], 1, 0, 100.0) for n in order]) + "\n"
    assert not [c for c in out if c != "\n" and (c < " " or "\x7f" <= c <= "\x9f" or c in "\u2028\u2029")]
    assert (tmp_path / REPORT).read_bytes() == stored


def test_numbers_past_pythons_digit_limit(tmp_path, tr):
    # Python's int() takes at most 4300 digits. A stored head number longer
    # than that shows as its digits, inside a list as the JSON it is stored
    # as; as a result it is a true one; as a latency it is left out like any
    # latency past 64 bits or any infinite one.
    huge = "1" + "0" * 5000
    write_report(tmp_path, f"""{{"sessions": [{{"start_time": "2024-01-01 08:00:00", "end_time": [{huge}, "\\u001b"],
        "total_rounds": {huge}, "rounds": [
        {{"round": {huge}, "results": {{"a": {huge}, "b": true}}, "latency": {{"a": {huge}, "b": 1.7e308}}}},
        {{"results": {{"a": true, "b": false}}, "latency": {{"b": -1.7e308, "a": 1e{huge}}}}}]}}]}}""")
    label = tr("cli_report_session_label", 1, "2024-01-01 08:00:00", f'[{huge},"\\u001b"]', huge)
    b = [1.7e308, -1.7e308]
    assert view(tmp_path, "1\n") == lines(tr("cli_report_title"), label, "") + tr(
        "cli_report_select_prompt") + statistics(tr, 2, 4, 3, [
            tr("cli_report_target_row", "a", 2, 0, 100.0),
            tr("cli_report_target_row", "b", 1, 1, 50.0),
            tr("cli_report_latency_row", "", f"{sum(b) / len(b):.1f}ms", f"{min(b)}ms", f"{max(b)}ms",
               f"{max(b) - min(b)}ms"),
            tr("cli_report_latency_loss", "", 1, 2, 50.0),
        ]) + "\n"


def read_until(child, expected):
    """What the child has written once it has written expected (or after a minute)."""
    seen = b""
    deadline = time.monotonic() + 60
    while not seen.endswith(expected) and time.monotonic() < deadline:
        if select.select([child.stdout], [], [], 1)[0]:
            chunk = os.read(child.stdout.fileno(), 65536)
            if not chunk:
                break
            seen += chunk
    return seen


def test_interrupt_at_the_prompt(tmp_path, tr):
    write_report(tmp_path, {"sessions": [A, B, C, D]})
    child = start_viewer(tmp_path)
    prompt = listing(tr).encode("utf-8")
    assert read_until(child, prompt) == prompt
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err.decode()
    assert out == b"\n"


@pytest.mark.parametrize("content", [None, {"sessions": []}, {"sessions": None}, {}, {"sessions": [1, "x"]}],
                         ids=["missing", "empty list", "null", "no sessions key", "no readable session"])
def test_no_sessions_waits_for_enter(tmp_path, tr, content):
    if content is not None:
        write_report(tmp_path, content)
    child = start_viewer(tmp_path)
    screen = lines(tr("cli_report_no_sessions"), tr("cli_press_enter_to_exit")).encode("utf-8")
    assert read_until(child, screen) == screen
    time.sleep(0.2)
    assert child.poll() is None  # waiting for the line
    out, _ = child.communicate(b"", timeout=60)
    assert child.returncode == 0
    assert out == b""


@pytest.mark.parametrize("content", ['{"sessions": [', b"\xef\xbb\xbf{}", "[1]", '{"sessions": "abc"}', ""],
                         ids=["invalid JSON", "byte-order mark", "not an object", "sessions not a list", "empty"])
def test_unreadable_report_returns_at_once(tmp_path, tr, content):
    write_report(tmp_path, content)
    child = start_viewer(tmp_path)  # standard input stays open: the viewer must not wait on it
    assert child.wait(timeout=60) == 0, child.stderr.read().decode()
    assert child.stdout.read().decode("utf-8") == lines(tr("cli_report_no_sessions"))


@pytest.mark.parametrize("language", ["en", "zh"])
def test_the_viewer_speaks_the_language_of_the_settings_beside_the_report(tmp_path, tr, language):
    (tmp_path / "monitor_config.json").write_text(json.dumps({"language": language}), encoding="utf-8")
    write_report(tmp_path, {"sessions": [A, B, C, D]})
    i18n.set_lang(language)
    assert view(tmp_path, "4\n") == listing(tr) + stats_a(tr) + "\n"


@pytest.mark.parametrize("language", [None, "en"], ids=["no settings file", "English settings"])
def test_report_script_opens_the_viewer_in_the_runs_home(tmp_path, tr, language):
    """scripts/report, as a person types it: the viewer of the report in QUORVELTA_HOME, in the language of the
    settings there (Chinese without them). The setup step is stood in for (this suite already runs in the
    set-up tree) and the tree's own Python is this one."""
    source = pathlib.Path(__file__).resolve().parents[2]
    tree = tmp_path / "tree"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(source / "scripts" / "report", tree / "scripts" / "report")
    (tree / "scripts" / "setup").write_text("#!/bin/sh\nexit 0\n")
    (tree / ".venv" / "bin").mkdir(parents=True)
    (tree / ".venv" / "bin" / "python").write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    for script in ("scripts/setup", ".venv/bin/python"):
        (tree / script).chmod(0o755)
    home = tmp_path / "home"
    home.mkdir()
    write_report(home, {"sessions": [A, B, C, D]})
    if language:
        (home / "monitor_config.json").write_text(json.dumps({"language": language}), encoding="utf-8")
        i18n.set_lang(language)
    child = subprocess.run(["bash", str(tree / "scripts" / "report")], input=b"4\n", capture_output=True,
                           cwd=tmp_path, timeout=60, env=dict(os.environ, QUORVELTA_HOME=str(home),
                                                              PYTHONIOENCODING="utf-8"))
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout.decode("utf-8") == listing(tr) + stats_a(tr) + "\n"
