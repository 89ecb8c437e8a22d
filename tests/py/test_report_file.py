"""_save_run_report: the session a stopped run appends to monitor_report.json."""
import datetime
import json
import logging
import os
import re
import time

import pytest

import i18n
from support_interrupts import AS_THE_SAVE_BEGINS, IN_THE_MIDDLE_OF_THE_SAVE, save_pressing_ctrl_c

START = datetime.datetime(2024, 5, 1, 9, 0, 0)
REPORT = "monitor_report.json"
# A run stopped during round 6: five rounds begun before, two kept.
ROUNDS = [
    {"round": 4, "time": "10:00:00", "results": {"Google": True, "内网服务": False}, "latency": {"内网服务": 12}},
    {"round": 5, "time": "10:01:00", "results": {"Google": False}},
]


def old_sessions(count):
    return [{"start_time": "2024-01-%02d 08:00:00" % n, "end_time": "2024-01-%02d 09:00:00" % n, "total_rounds": n,
             "rounds": [{"round": 1, "time": "08:01:00", "results": {"a": n % 2 == 0}, "latency": {}}]}
            for n in range(1, count + 1)]


def dump(value):
    return json.dumps(value, indent=2, ensure_ascii=False)


# Old sessions are copied back as Python's json reads and writes them: a
# repeated name keeps its first place and its last value, numbers take
# Python's forms, strings its escapes.
ODD = ('{"sessions": 5, "sessions": [{"b": 1, "a": [1.0, 1e16, 1E400, -0, 12345678901234567890123, NaN], '
       '"b": {"x": "\\u00e9\\u2028\\u0001\\/", "y": "\\ud83d\\ude00"}, "c": []}, 7, "s", {"n": 0.1}]}')

# (old file bytes or None, sessions taken over or None when unreadable, kept aside)
CASES = {
    "missing": (None, [], False),
    "twenty sessions": (dump({"sessions": old_sessions(20)}).encode(), old_sessions(20)[1:], False),
    "extra top-level keys": (dump({"version": 3, "sessions": old_sessions(2), "z": {}}).encode(), old_sessions(2),
                             False),
    "odd values copied back": (ODD.encode(), json.loads(ODD)["sessions"], False),
    "no sessions key": (b'{"other": 1}', [], False),
    "empty file": (b"", [], False),
    "invalid JSON": (b'{"sessions": [', [], True),
    "byte-order mark": (b"\xef\xbb\xbf" + dump({"sessions": old_sessions(2)}).encode(), [], True),
    "sessions not a list": (b'{"sessions": {"0": {}}}', [], True),
    "not an object": (b"[1, 2]", [], True),
    "not UTF-8": (b'{"sessions": ["\xff"]}', [], True),
}


def new_session(end_time):
    return {
        "start_time": "2024-05-01 09:00:00",
        "end_time": end_time,
        "total_rounds": 6,
        "rounds": [
            {"round": 4, "time": "10:00:00", "results": {"Google": True, "内网服务": False}, "latency": {"内网服务": 12}},
            {"round": 5, "time": "10:01:00", "results": {"Google": False}, "latency": {}},
        ],
    }


def written_end_time(data):
    """The new session's end time: the writer's clock, the one thing a test cannot fix."""
    found = re.findall(rb'"end_time": "(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"', data)
    return found[-1].decode()


@pytest.mark.parametrize("case", CASES)
def test_old_file_states(core, tmp_path, monkeypatch, caplog, case):
    old, taken_over, aside = CASES[case]
    monkeypatch.chdir(tmp_path)
    if old is not None:
        (tmp_path / REPORT).write_bytes(old)
    before = datetime.datetime.now().replace(microsecond=0)
    caplog.set_level(logging.INFO)

    assert core._save_run_report(START, 6, ROUNDS) is None

    data = (tmp_path / REPORT).read_bytes()
    end_time = written_end_time(data)
    assert before <= datetime.datetime.strptime(end_time, "%Y-%m-%d %H:%M:%S") <= datetime.datetime.now()
    assert data == dump({"sessions": taken_over + [new_session(end_time)]}).encode("utf-8")

    others = sorted(p.name for p in tmp_path.iterdir() if p.name != REPORT)
    said = [(logging.INFO, i18n.tr("cli_report_saved", 2))]
    if aside:
        assert len(others) == 1 and re.fullmatch(re.escape(REPORT) + r"\.corrupt-\d{8}_\d{6}", others[0]), others
        assert (tmp_path / others[0]).read_bytes() == old
        said.insert(0, (logging.WARNING, i18n.tr("cli_report_kept_aside", others[0])))
    else:
        assert others == []
    messages = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "Quorvelta"]
    assert messages == said


def test_a_second_unreadable_file_in_the_same_second_is_kept_too(core, tmp_path, monkeypatch, caplog):
    monkeypatch.chdir(tmp_path)
    for text in (b"first {", b"second {"):
        (tmp_path / REPORT).write_bytes(text)
        core._save_run_report(START, 6, ROUNDS)
    kept = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.name != REPORT}
    assert sorted(kept.values()) == [b"first {", b"second {"]
    # Each warning names the file that holds its own old report.
    named = [r.args[0] for r in caplog.records if r.msg == i18n.tr("cli_report_kept_aside")]
    assert [kept[name] for name in named] == [b"first {", b"second {"]


def test_round_log_writes_what_the_dicts_write(core, tmp_path, monkeypatch):
    log = core._RoundLog()
    for r in ROUNDS:
        log.append(r["round"], r["time"], r["results"], r.get("latency"))
    assert len(log) == 2
    texts = []
    for form, rounds in (("dicts", ROUNDS), ("log", log)):
        (tmp_path / form).mkdir()
        monkeypatch.chdir(tmp_path / form)
        core._save_run_report(START, 6, rounds)
        data = (tmp_path / form / REPORT).read_bytes()
        texts.append(data.replace(written_end_time(data).encode(), b"END"))
    assert texts[0] == texts[1]


def broken_value(core, tmp_path):
    return [{"round": 1, "time": "10:00:00", "results": {"a": object()}}], "is not JSON serializable"


def deleted_directory(core, tmp_path):
    gone = tmp_path / "gone"
    gone.mkdir()
    os.chdir(gone)
    gone.rmdir()
    return ROUNDS, "No such file or directory"


@pytest.mark.parametrize("failure", [broken_value, deleted_directory])
def test_failed_write_is_logged_and_the_old_report_stays(core, tmp_path, monkeypatch, caplog, failure):
    monkeypatch.chdir(tmp_path)
    old = dump({"sessions": old_sessions(3)}).encode()
    (tmp_path / REPORT).write_bytes(old)
    rounds, reason = failure(core, tmp_path)

    assert core._save_run_report(START, 6, rounds) is None

    records = [r for r in caplog.records if r.name == "Quorvelta"]
    assert [(r.levelno, r.msg) for r in records] == [(logging.ERROR, i18n.tr("err_report_save_failed"))]
    assert records[0].args[0] == REPORT and reason in records[0].args[1]
    assert (tmp_path / REPORT).read_bytes() == old
    assert [p.name for p in tmp_path.iterdir()] == [REPORT]


# Names of every script, so the old sessions copied back are not all ASCII.
OLD_TARGETS = ["Google", "GitHub", "内网服务", "서버", "сервер", "db-main", "web", "mail"]


def write_large_report(path, sessions=19, rounds=15000):
    """A report as a monitor used for months leaves it: 19 long sessions,
    about 75 MB, whose save takes the best part of a second."""
    results = {name: n % 3 != 0 for n, name in enumerate(OLD_TARGETS)}
    latency = {name: 10 + n for n, name in enumerate(OLD_TARGETS[:4])}
    one_round = json.dumps({"round": 1, "time": "08:00:00", "results": results, "latency": latency},
                           ensure_ascii=False)
    session = ('{"start_time": "2024-01-01 08:00:00", "end_time": "2024-01-11 08:00:00", "total_rounds": %d, '
               '"rounds": [%s]}' % (rounds, ", ".join([one_round] * rounds)))
    path.write_text('{"sessions": [%s]}' % ", ".join([session] * sessions), encoding="utf-8")


def temporaries(work):
    return [p for p in work.iterdir() if p.name.startswith(REPORT + ".tmp-")]


# One Ctrl+C or two, each pressed by the save itself as it reaches its moment.
@pytest.mark.parametrize("moments", [[AS_THE_SAVE_BEGINS], [IN_THE_MIDDLE_OF_THE_SAVE],
                                     [AS_THE_SAVE_BEGINS, IN_THE_MIDDLE_OF_THE_SAVE]], ids=" and ".join)
def test_ctrl_c_during_the_save_is_raised_once_the_report_is_in_place(core, tmp_path, monkeypatch, caplog, moments):
    monkeypatch.chdir(tmp_path)
    write_large_report(tmp_path / REPORT, rounds=10)
    caplog.set_level(logging.INFO)
    save = save_pressing_ctrl_c(core._save_run_report, moments)

    raised = []
    try:
        save(START, 6, ROUNDS)
    except KeyboardInterrupt:
        raised.append("by the save")
    try:
        time.sleep(0.2)
    except KeyboardInterrupt:
        raised.append("after it")

    assert raised == ["by the save"]
    assert temporaries(tmp_path) == []
    sessions = json.loads((tmp_path / REPORT).read_bytes())["sessions"]
    assert len(sessions) == 20 and all(len(s["rounds"]) == 10 for s in sessions[:19])
    assert sessions[-1]["rounds"] == new_session("")["rounds"]
    messages = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "Quorvelta"]
    assert messages == [(logging.INFO, i18n.tr("cli_report_saved", 2))]
