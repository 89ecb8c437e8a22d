"""load_gui_config: monitor_config.json against the returned record, the
process-wide settings it leaves, its one log line and the catalogue's set-up."""
import json
import pathlib
import shutil

import pytest

KEYS = [
    "google_enabled", "scholar_enabled", "gemini_enabled", "chatgpt_enabled", "github_enabled",
    "claude_enabled", "notebooklm_enabled", "linkedin_enabled", "custom_targets", "interval_seconds",
    "retry_count", "webhook", "feishu_webhook", "wecom_webhook", "email_recipients", "smtp_user",
    "smtp_password", "language",
]

# Where every test starts; the fixture puts these in place and restores the module's own afterwards.
START = {
    "WEBHOOK": "",
    "FEISHU_WEBHOOK": "",
    "WECOM_WEBHOOK": "",
    "EMAIL_RECIPIENTS": "",
    "SMTP_USER": "sender@example.com",
    "SMTP_PASSWORD": "",
    "INTERVAL_SECONDS": 60,
    "RETRY_COUNT": 3,
}

def defaults(settings=START):
    record = {key: True for key in KEYS[:8]}
    record.update(
        custom_targets=[],
        interval_seconds=settings["INTERVAL_SECONDS"],
        retry_count=settings["RETRY_COUNT"],
        webhook=settings["WEBHOOK"],
        feishu_webhook=settings["FEISHU_WEBHOOK"],
        wecom_webhook=settings["WECOM_WEBHOOK"],
        email_recipients=settings["EMAIL_RECIPIENTS"],
        smtp_user=settings["SMTP_USER"],
        smtp_password=settings["SMTP_PASSWORD"],
        language="",
    )
    return record


def strict(value):
    """Equal only with the same key order and the same JSON types (true is not 1, 5 is not 5.0)."""
    return json.dumps(value, ensure_ascii=False)


@pytest.fixture
def init_lang_calls(core, monkeypatch, tmp_path):
    """A fresh working directory, the START settings (the module's own come back
    afterwards) and the paths init_lang is called with."""
    monkeypatch.chdir(tmp_path)
    for name, value in START.items():
        monkeypatch.setattr(core, name, value)
    calls = []
    monkeypatch.setattr(core, "init_lang", calls.append)
    return calls


def settings_now(core):
    return {name: getattr(core, name) for name in START}


def engine_records(caplog):
    return [r for r in caplog.records if r.name == "Quorvelta"]


DIRECTORY = object()  # a directory named monitor_config.json
DING, FEISHU, WECOM = "http://127.0.0.1:1/ding", "http://127.0.0.1:1/feishu", "http://127.0.0.1:1/wecom"

# id, file content (None: no file), record ("defaults" or "file": the defaults
# overlaid with the file), settings changed, log (None, ("loaded", args) or
# ("failed", part of the error text)), init_lang called
CASES = [
    ("no file", None, "defaults", {}, None, True),
    ("empty object", "{}", "file", {}, ("loaded", ["", "", "", 60, 3]), True),
    ("invalid JSON", '{"webhook": "%s",' % DING, "defaults", {}, ("failed", "line 1 column"), False),
    ("byte-order mark", b"\xef\xbb\xbf{}", "defaults", {}, ("failed", "BOM"), False),
    ("not UTF-8", b'{"webhook": "\xff"}', "defaults", {}, ("failed", "utf-8"), False),
    ("array", "[]", "defaults", {}, ("failed", "'list' object is not a mapping"), False),
    ("number", "5", "defaults", {}, ("failed", "'int' object is not a mapping"), False),
    ("null", "null", "defaults", {}, ("failed", "'NoneType' object is not a mapping"), False),
    ("directory", DIRECTORY, "defaults", {}, ("failed", "Is a directory"), False),
    (
        "interval as digits",
        json.dumps({"interval_seconds": "60", "retry_count": 2, "webhook": DING, "smtp_user": "me@example.com"}),
        "defaults",
        {"WEBHOOK": DING, "SMTP_USER": "me@example.com"},
        ("failed", "'>' not supported between instances of 'str' and 'int'"),
        True,
    ),
    (
        "retry count as list",
        '{"interval_seconds": 30, "retry_count": [3]}',
        "defaults",
        {"INTERVAL_SECONDS": 30},
        ("failed", "'<' not supported between instances of 'list' and 'int'"),
        True,
    ),
    ("interval 3", '{"interval_seconds": 3}', "file", {"INTERVAL_SECONDS": 5}, ("loaded", ["", "", "", 5, 3]), True),
    ("interval 5", '{"interval_seconds": 5}', "file", {"INTERVAL_SECONDS": 5}, ("loaded", ["", "", "", 5, 3]), True),
    ("interval 120", '{"interval_seconds": 120}', "file", {"INTERVAL_SECONDS": 120}, ("loaded", ["", "", "", 120, 3]), True),
    ("interval 7.5", '{"interval_seconds": 7.5}', "file", {"INTERVAL_SECONDS": 7.5}, ("loaded", ["", "", "", 7.5, 3]), True),
    # a whole number of any size stays whole; the log line quotes a long one cut
    ("interval 10**30", '{"interval_seconds": %d}' % 10**30, "file", {"INTERVAL_SECONDS": 10**30},
     ("loaded", ["", "", "", 10**30, 3]), True),
    ("interval 10**150", '{"interval_seconds": %d}' % 10**150, "file", {"INTERVAL_SECONDS": 10**150},
     ("loaded", ["", "", "", "1" + "0" * 99 + "…", 3]), True),
    ("interval true", '{"interval_seconds": true}', "file", {"INTERVAL_SECONDS": 5}, ("loaded", ["", "", "", 5, 3]), True),
    ("interval false", '{"interval_seconds": false}', "file", {"INTERVAL_SECONDS": 5}, ("loaded", ["", "", "", 5, 3]), True),
    ("retry 0", '{"retry_count": 0}', "file", {"RETRY_COUNT": 1}, ("loaded", ["", "", "", 60, 1]), True),
    ("retry -3", '{"retry_count": -3}', "file", {"RETRY_COUNT": 1}, ("loaded", ["", "", "", 60, 1]), True),
    ("retry 10", '{"retry_count": 10}', "file", {"RETRY_COUNT": 6}, ("loaded", ["", "", "", 60, 6]), True),
    ("retry 4", '{"retry_count": 4}', "file", {"RETRY_COUNT": 4}, ("loaded", ["", "", "", 60, 4]), True),
    ("retry true", '{"retry_count": true}', "file", {"RETRY_COUNT": 1}, ("loaded", ["", "", "", 60, 1]), True),
    # fractional counts stay as read; the retry loops take the whole part
    ("retry 2.5", '{"retry_count": 2.5}', "file", {"RETRY_COUNT": 2.5}, ("loaded", ["", "", "", 60, 2.5]), True),
    (
        "only feishu",
        json.dumps({"feishu_webhook": FEISHU}),
        "file",
        {"FEISHU_WEBHOOK": FEISHU},
        ("loaded", ["", "飞书", "", 60, 3]),
        True,
    ),
    (
        "null counts as not set",
        json.dumps({"webhook": DING, "feishu_webhook": None, "wecom_webhook": WECOM}),
        "file",
        {"WEBHOOK": DING, "FEISHU_WEBHOOK": None, "WECOM_WEBHOOK": WECOM},
        ("loaded", ["钉钉", "", "企微", 60, 3]),
        True,
    ),
    ("unused key kept last", '{"theme": "dark", "gemini_enabled": false}', "file", {}, ("loaded", ["", "", "", 60, 3]), True),
    (
        "custom targets in file order",
        json.dumps({"custom_targets": [
            {"name": "z-web", "url": "http://127.0.0.1:8/", "enabled": False},
            {"name": "a-tcp", "ip": "127.0.0.1", "port": "22"},
            {"name": "m-none"},
        ]}),
        "file",
        {},
        ("loaded", ["", "", "", 60, 3]),
        True,
    ),
]


@pytest.mark.parametrize("content, record_kind, changed, log, init_lang", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_settings_file(core, init_lang_calls, caplog, content, record_kind, changed, log, init_lang):
    path = pathlib.Path(core.CONFIG_FILE)
    if content is DIRECTORY:
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content, encoding="utf-8")

    record = core.load_gui_config()

    expected = defaults() if record_kind == "defaults" else {**defaults(), **json.loads(content)}
    assert strict(record) == strict(expected)
    assert strict(settings_now(core)) == strict({**START, **changed})
    assert init_lang_calls == (["monitor_config.json"] if init_lang else [])
    records = engine_records(caplog)
    if log is None:
        assert records == []
    else:
        (entry,) = records
        kind, detail = log
        if kind == "loaded":
            assert (entry.levelname, entry.msg) == ("INFO", core.tr("mon_config_loaded"))
            assert strict(list(entry.args)) == strict(detail)
        else:
            assert (entry.levelname, entry.msg) == ("WARNING", core.tr("mon_config_load_failed"))
            (text,) = entry.args
            assert isinstance(text, str) and detail in text


def test_second_call_starts_from_first_calls_results(core, init_lang_calls, caplog):
    path = pathlib.Path(core.CONFIG_FILE)
    path.write_text(json.dumps({"interval_seconds": 3, "retry_count": 10, "webhook": DING}), encoding="utf-8")
    core.load_gui_config()
    path.write_text("{}", encoding="utf-8")
    caplog.clear()

    record = core.load_gui_config()

    after_first = {**START, "INTERVAL_SECONDS": 5, "RETRY_COUNT": 6, "WEBHOOK": DING}
    assert strict(record) == strict(defaults(after_first))
    (entry,) = engine_records(caplog)
    assert strict(list(entry.args)) == strict(["钉钉", "", "", 5, 6])


class CatalogueBroken(Exception):
    pass


@pytest.mark.parametrize(
    "with_file, error, escapes",
    [(True, CatalogueBroken, False), (False, CatalogueBroken, True), (True, KeyboardInterrupt, True)],
    ids=["after parse: warning", "no file: reaches the caller", "interrupt: reaches the caller"],
)
def test_init_lang_failure(core, init_lang_calls, monkeypatch, caplog, with_file, error, escapes):
    def init_lang(path):
        raise error("catalogue broken")

    monkeypatch.setattr(core, "init_lang", init_lang)
    if with_file:
        pathlib.Path(core.CONFIG_FILE).write_text(json.dumps({"webhook": DING, "interval_seconds": 30}), encoding="utf-8")

    if escapes:
        with pytest.raises(error):
            core.load_gui_config()
        assert engine_records(caplog) == []
    else:
        assert strict(core.load_gui_config()) == strict(defaults())
        (entry,) = engine_records(caplog)
        assert (entry.levelname, entry.args) == ("WARNING", ("catalogue broken",))
    assert strict(settings_now(core)) == strict(START)


def test_example_settings_file_loads_and_stays_local(core, init_lang_calls, caplog):
    example = pathlib.Path(__file__).resolve().parents[2] / "monitor_config.json"
    shutil.copy(example, core.CONFIG_FILE)

    record = core.load_gui_config()

    assert list(record) == KEYS
    (entry,) = engine_records(caplog)
    assert entry.levelname == "INFO"
    assert record["custom_targets"], "the example shows custom targets"
    for target in record["custom_targets"]:
        assert target["enabled"] is False
        assert target.get("ip", "127.0.0.1") == "127.0.0.1"
        assert target.get("url", "http://127.0.0.1/").startswith("http://127.0.0.1")
