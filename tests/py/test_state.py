"""The per-target state machine, its notices and its state files."""
import json
import re

import pytest

STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")


@pytest.fixture
def alerts(core, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    sent = []
    monkeypatch.setattr(core, "send_alert", sent.append, raising=False)
    return sent


def write_state(path, state):
    path.write_text(json.dumps(state), encoding="utf-8")


# stored status, outcome -> notice kind, status afterwards, down_time afterwards ("stamp" = new time stamp)
MACHINE = [
    (None, False, "down", "DOWN", "stamp"),
    ("UP", False, "down", "DOWN", "stamp"),
    ("DOWN", False, None, "DOWN", "earlier"),
    ("down", False, None, "down", "earlier"),
    ("paused", False, None, "paused", "earlier"),
    ("DOWN", True, "recovery", "UP", ""),
    ("UP", True, None, "UP", ""),
    ("Down", True, None, "UP", ""),
    (None, True, None, "UP", ""),
]


@pytest.mark.parametrize("stored,success,notice,status,down_time", MACHINE)
def test_state_machine(core, alerts, tmp_path, caplog, stored, success, notice, status, down_time):
    path = tmp_path / "t_state.json"
    if stored is not None:
        write_state(path, {"status": stored, "down_time": "earlier"})
    caplog.set_level("INFO", logger="Quorvelta")
    reason = "OK" if success else "page_load_failed:timeout"
    result = core.process_service("Svc", lambda: (success, "kw", reason), str(path))
    assert result == (success, "kw", reason, None)

    saved = json.loads(path.read_text(encoding="utf-8"))
    assert saved["status"] == status
    if down_time == "stamp":
        assert STAMP.match(saved["down_time"])
    else:
        assert saved["down_time"] == down_time

    tr = core.tr
    messages = [r.getMessage() for r in caplog.records]
    assert messages[:2] == ["-" * 40, tr("detect_start") % "Svc"]
    outcome = tr("detect_ok") % "Svc" if success else tr("detect_failed") % ("Svc", reason)
    assert messages[2] == outcome
    if notice == "down":
        stamp = saved["down_time"]
        assert alerts == [
            f"{tr('alert_down_title', 'Svc')}\n\n{tr('alert_field_time')}：{stamp}\n"
            f"{tr('alert_field_keyword')}：kw\n{tr('alert_field_reason')}：{reason}\n\n{tr('alert_field_mode')}"
        ]
        assert messages[3:] == [tr("state_sent_alert") % "Svc"]
    elif notice == "recovery":
        assert len(alerts) == 1
        assert re.fullmatch(
            re.escape(f"{tr('alert_recovery_title', 'Svc')}\n\n{tr('alert_field_time')}：")
            + r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
            + re.escape(f"\n{tr('alert_field_keyword')}：kw"),
            alerts[0],
        )
        assert messages[3:] == [tr("state_send_recovery") % "Svc"]
    else:
        assert alerts == []
        assert messages[3:] == ([] if success else [tr("state_already_down") % "Svc"])


def test_state_file_bytes_and_extra_members(core, alerts, tmp_path):
    path = tmp_path / "s.json"
    path.write_text('{"note": "备注", "status": "UP", "down_time": "", "list": [1, 2]}', encoding="utf-8")
    core.process_service("Svc", lambda: (True, "kw", "OK", 7), str(path))
    assert path.read_bytes() == (
        '{\n  "note": "备注",\n  "status": "UP",\n  "down_time": "",\n  "list": [\n    1,\n    2\n  ]\n}'
    ).encode("utf-8")
    # A new target's file holds the two members in their order and no line end after the brace.
    fresh = tmp_path / "fresh.json"
    core.process_service("Svc", lambda: (True, "kw", "OK"), str(fresh))
    assert fresh.read_bytes() == b'{\n  "status": "UP",\n  "down_time": ""\n}'
    assert core.DEFAULT_STATE == {"status": "UP", "down_time": ""}


@pytest.mark.parametrize(
    "result,error",
    [((True, "kw"), ValueError), ((True, "kw", "OK", 1, 2), ValueError), (None, TypeError)],
)
def test_wrong_result_shape_saves_nothing(core, alerts, tmp_path, result, error):
    path = tmp_path / "s.json"
    with pytest.raises(error):
        core.process_service("Svc", lambda: result, str(path))
    assert not path.exists() and alerts == []


UNREADABLE = [
    (b"not json", "Expecting value: line 1 column 1 (char 0)"),
    (b"\xff\xfe{}", "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    (b"\xef\xbb\xbf{\"status\": \"UP\"}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"),
    (b"[" * 100_000 + b"]" * 100_000, "err_state_too_deep"),
    ("a folder", "Is a directory"),
    (b'["UP"]', None),
    (b'{"down_time": ""}', None),
]


@pytest.mark.parametrize("language", ["en", "zh"])
@pytest.mark.parametrize("content, why", UNREADABLE,
                         ids=["not-json", "not-utf8", "bom", "deep", "folder", "list", "no-status"])
def test_a_state_file_that_cannot_be_read_is_named_in_one_line(core, alerts, tmp_path, language, content, why):
    """Whatever keeps a state file from being read, the error names the file
    and says why, in the run's language, and the file stays as it was."""
    path = tmp_path / "custom_up_state.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.mkdir()
    core.set_lang(language)
    try:
        with pytest.raises(Exception) as raised:
            core.process_service("Svc", lambda: (False, "kw", "why"), "custom_up_state.json")
        if why is None:
            expected = core.tr("err_state_no_status") % "custom_up_state.json"
        else:
            expected = core.tr("err_state_unreadable") % (
                "custom_up_state.json", core.tr(why) if why.startswith("err_") else why)
    finally:
        core.set_lang("zh")
    assert str(raised.value) == expected and "\n" not in expected
    assert ("状态文件" if language == "zh" else "state file") in expected
    assert (path.read_bytes() == content) if isinstance(content, bytes) else path.is_dir()
    assert alerts == []


def test_keyword_that_is_not_text_retries_next_time(core, alerts, tmp_path):
    path = tmp_path / "s.json"
    with pytest.raises(TypeError):
        core.process_service("Svc", lambda: (False, 42, "why"), str(path))
    assert not path.exists() and alerts == []


def test_interrupt_in_check_leaves_with_nothing_saved(core, alerts, tmp_path):
    path = tmp_path / "s.json"
    write_state(path, {"status": "UP", "down_time": ""})
    before = path.read_bytes()

    def interrupted():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        core.process_service("Svc", interrupted, str(path))
    assert path.read_bytes() == before and alerts == []


def test_three_failures_send_one_notice_and_keep_the_first_time(core, alerts, tmp_path):
    path = tmp_path / "s.json"
    for _ in range(3):
        core.process_service("Svc", lambda: (False, "kw", "why"), str(path))
    assert len(alerts) == 1
    assert json.loads(path.read_text())["down_time"] in alerts[0]


def test_failed_write_is_an_error_after_the_notice(core, alerts, tmp_path):
    path = tmp_path / "missing-dir" / "s.json"
    with pytest.raises(OSError):
        core.process_service("Svc", lambda: (False, "kw", "why"), str(path))
    assert len(alerts) == 1
    assert list(tmp_path.iterdir()) == []


def test_custom_state_file_names(core):
    assert core.get_custom_state_file("内网 API（备用）") == "custom_内网_API_备用_state.json"
    assert core._sanitize_name(name="a-b c") == "a_b_c"
    assert core.get_custom_state_file("()") == "custom__state.json"


def test_names_are_any_text_and_only_text(core):
    # A lone surrogate (JSON's "\udc80") is no kept character: one "_".
    assert core._sanitize_name("a\udc80b") == "a_b"
    assert core.get_custom_state_file("\ud800db") == "custom_db_state.json"
    for operation in (core._sanitize_name, core.get_custom_state_file):
        for value in (b"db", bytearray(b"db"), 5, None):
            with pytest.raises(TypeError, match="must be str, not " + type(value).__name__):
                operation(value)


LONG_NAMES = ["x" * 250, "内" * 120, "n" * 1_000_000]


@pytest.mark.parametrize("name", LONG_NAMES, ids=["250 letters", "120 ideographs", "a million letters"])
def test_a_name_of_any_length_has_a_state_file(core, alerts, tmp_path, caplog, name):
    file = core.get_custom_state_file(name)
    assert len(file.encode()) <= 255
    assert file == core.get_custom_state_file(name) and file.startswith("custom_" + name[:50])
    caplog.set_level("INFO", logger="Quorvelta")
    assert core.process_service(name, lambda: (False, name, "why"), file) == (False, name, "why", None)
    assert json.loads((tmp_path / file).read_text(encoding="utf-8"))["status"] == "DOWN"
    # The notice and the log lines carry the whole name, so two long names never read alike.
    assert alerts[0].startswith(core.tr("alert_down_title", name))
    lines = [r.getMessage() for r in caplog.records]
    assert lines[1] == core.tr("detect_start") % name


def test_names_that_fit_keep_their_state_file(core, alerts, tmp_path):
    # A name fits when its file name does: the replace's temporary makes room for itself.
    longest = "a" * (255 - len("custom__state.json"))
    for name in ("x" * 210, longest, "内" * 79):
        file = core.get_custom_state_file(name)
        assert file == f"custom_{core._sanitize_name(name)}_state.json" and len(file.encode()) <= 255
        core.process_service(name, lambda: (False, "kw", "why"), file)
        core.process_service(name, lambda: (True, "kw", "OK"), file)
        assert json.loads((tmp_path / file).read_text(encoding="utf-8"))["status"] == "UP"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        core.get_custom_state_file(n) for n in ("x" * 210, longest, "内" * 79))
    assert core.get_custom_state_file(longest) == f"custom_{longest}_state.json"
    assert core.get_custom_state_file(longest + "b") != f"custom_{longest}b_state.json"
    # Two long names that share their start keep files of their own.
    assert core.get_custom_state_file("x" * 300 + "1") != core.get_custom_state_file("x" * 300 + "2")


def test_a_name_with_a_lone_surrogate_or_control_characters_goes_through(core, alerts, tmp_path, caplog):
    caplog.set_level("INFO", logger="Quorvelta")
    for name in ("a\udcff", "a\x01\nFAKE [INFO] b\x1b[31m"):
        file = core.get_custom_state_file(name)
        assert core.process_service(name, lambda: (False, name, "why\udcff"), file) == (False, name, "why\udcff", None)
        assert core.process_service(name, lambda: (True, name, "OK"), file)[0] is True
        assert json.loads((tmp_path / file).read_text(encoding="utf-8"))["status"] == "UP"
    # The notices keep the names unchanged; the log shows them visibly.
    assert alerts[0].startswith(core.tr("alert_down_title", "a\udcff")) and "why\udcff" in alerts[0]
    assert alerts[3].endswith("a\x01\nFAKE [INFO] b\x1b[31m") and len(alerts) == 4
    lines = [core.formatter.format(r).split("] ", 1)[1] for r in caplog.records]
    assert core.tr("detect_start") % r"a\udcff" in lines
    assert core.tr("detect_start") % r"a\x01\nFAKE [INFO] b\x1b[31m" in lines
