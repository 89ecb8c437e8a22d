"""The message catalogue: both languages hold every key the engine uses, each
text takes exactly the arguments its callers pass, the language choice never
fails, and the notice titles carry the marks the channels colour them by."""
import re
from pathlib import Path

import pytest

import i18n
from i18n.catalog_en import MESSAGES as EN
from i18n.catalog_zh import MESSAGES as ZH

CATALOGUES = {"zh": ZH, "en": EN}

# Every key of the catalogue with the arguments its callers pass, in order.
# The two target titles and the viewer's lines are filled in by tr(); the log
# formats by the logger; the texts without arguments are used as they stand.
KEYS = {
    # run and round
    "mon_startup": ("INTERVAL_SECONDS", "RETRY_COUNT"),
    "mon_press_ctrl_c": (),
    "mon_round": ("round number",),
    "mon_round_done": ("round number", "wait in seconds", "jitter in seconds"),
    "mon_stop_signal": (),
    "mon_config_loaded": ("DingTalk label or ''", "Feishu label or ''", "WeCom label or ''",
                          "INTERVAL_SECONDS", "RETRY_COUNT"),
    "mon_config_load_failed": ("error",),
    "gui_disabled": (),
    # check progress
    "detect_start": ("name",),
    "detect_ok": ("name",),
    "detect_failed": ("name", "reason"),
    "detect_attempt": ("attempt number", "keyword", "reason"),
    "detect_attempt_ok": ("display name", "attempt number"),
    "detect_attempt_fail": ("display name", "attempt number", "reason"),
    "detect_retry_in": ("display name", "RETRY_DELAY"),
    "detect_all_failed": ("display name", "RETRY_COUNT", "last reason"),
    # state changes
    "state_send_recovery": ("name",),
    "state_sent_alert": ("name",),
    "state_already_down": ("name",),
    # notices
    "alert_down_title": ("name",),
    "alert_recovery_title": ("name",),
    "alert_startup_title": (),
    "alert_stop_title": (),
    "alert_chrome_not_found": (),
    "alert_chrome_timeout": (),
    "alert_field_time": (),
    "alert_field_keyword": (),
    "alert_field_reason": (),
    "alert_field_mode": (),
    "alert_field_interval": (),
    "alert_field_retry": (),
    "alert_field_rounds": (),
    "alert_field_targets": (),
    # browser control
    "chrome_disconnected": (),
    "chrome_port_ready": ("CDP_URL",),
    "chrome_port_blocked": ("port",),
    "chrome_killed_process": ("port", "process id"),
    "chrome_port_release_failed": ("port", "error"),
    "chrome_not_found": (),
    "chrome_launching": ("executable path",),
    "chrome_ready": ("CDP_URL",),
    "chrome_timeout": ("CDP_URL",),
    # failures
    "err_webhook_failed": ("channel label", "failure text"),
    "err_screenshot_failed": ("error",),
    "err_cdp_failed": ("display name", "reason word"),
    "err_page_load": ("display name", "reason word"),
    "err_http": ("display name", "status code"),
    "err_crash_short": ("display name", "reason word"),
    "err_crash_long": ("display name", "reason word"),
    "err_page_empty": ("display name",),
    "err_body_unreadable_short": ("display name", "reason word"),
    "err_body_unreadable": ("display name", "reason word"),
    "err_redirect_support": (),
    "err_error_title": ("lower-cased title, 80 characters",),
    "err_restriction_text": ("phrase",),
    "err_no_ai_input": (),
    "err_no_search_box": (),
    "err_no_key_element": ("display name",),
    "err_notebooklm_restriction": (),
    "err_notebooklm_unsupported": ("lower-cased address, 100 characters",),
    "err_notebooklm_keyword": ("phrase",),
    "err_linkedin_cn_redirect": ("lower-cased address, 100 characters",),
    "err_report_save_failed": ("report file name", "error"),
    # settings and state files a run cannot use
    "err_settings_not_a_list": ("type name of custom_targets",),
    "err_settings_not_a_map": ("target number", "the value, quoted"),
    "err_settings_no_name": ("target number", "the target, quoted"),
    "err_settings_name_not_text": ("target number", "the target, quoted"),
    "err_settings_same_name": ("first target number", "second target number", "the name, quoted"),
    "err_settings_built_in_name": ("target number", "the name, quoted", "built-in display name"),
    "err_settings_port": ("target number", "the name, quoted", "the port, quoted"),
    "err_settings_protocol": ("target number", "the name, quoted", "the protocol, quoted"),
    "err_state_unreadable": ("state file path", "why"),
    "err_state_too_deep": (),
    "err_state_no_status": ("state file path",),
    # run report and its viewer
    "cli_report_saved": ("rounds in the new session",),
    "cli_report_kept_aside": ("name of the file the unreadable report now has",),
    "cli_report_no_sessions": (),
    "cli_press_enter_to_exit": (),
    "cli_report_title": (),
    "cli_report_session_label": ("number", "start_time", "end_time", "total_rounds"),
    "cli_report_select_prompt": (),
    "cli_report_no_data": (),
    "cli_report_overview_header": (),
    "cli_report_total_rounds": ("round count",),
    "cli_report_total_checks": ("check count",),
    "cli_report_overall_success_rate": ("percentage, unrounded",),
    "cli_report_target_stats_header": (),
    "cli_report_target_row": ("display name", "ok", "fail", "percentage, unrounded"),
    "cli_report_latency_row": ("''", "average text", "minimum text", "maximum text", "spread text"),
    "cli_report_latency_loss": ("''", "fail", "ok + fail", "percentage, unrounded"),
    "cli_report_press_enter": (),
}

# Percentages reach the catalogue as unrounded numbers, so their texts fix the
# number form; every other argument arrives ready to print.
PERCENT_TEXTS = {"cli_report_overall_success_rate", "cli_report_target_row", "cli_report_latency_loss"}

PLACEHOLDER = re.compile(r"%(?:\((?P<name>[^)]*)\))?[-#0 +]*(?P<width>\*|\d+)?(?:\.(?P<prec>\*|\d+))?"
                         r"[hlL]?(?P<conv>[diouxXeEfFgGcrsa%])")


def placeholders(text):
    """The conversions of a %-format, in order ('%%' is no placeholder)."""
    found = []
    for m in PLACEHOLDER.finditer(text):
        assert not m.group("name") and "*" not in (m.group("width") or "") + (m.group("prec") or ""), text
        if m.group("conv") != "%":
            found.append(m.group(0))
    return found


@pytest.fixture
def language():
    """Leaves the catalogue in the language it had, whatever a test switches to."""
    before = i18n._current
    yield
    i18n.set_lang(before)


# --- the two catalogues -------------------------------------------------------


@pytest.mark.parametrize("lang", sorted(CATALOGUES))
def test_each_catalogue_holds_every_key_with_its_arguments(lang):
    messages = CATALOGUES[lang]
    assert sorted(set(KEYS) - set(messages)) == [], "missing"
    assert sorted(set(messages) - set(KEYS)) == [], "not documented in KEYS"
    for key, text in messages.items():
        assert isinstance(text, str) and text.strip(), key
        assert len(placeholders(text)) == len(KEYS[key]), (key, text)
        if KEYS[key]:
            text % ((1.5,) * len(KEYS[key]))  # a stray "%" fails here
        else:
            # bare texts are never %-formatted, so "%%" would show as it stands
            assert "%" not in text, (key, text)


def test_both_languages_use_the_same_conversions():
    for key in KEYS:
        assert placeholders(ZH[key]) == placeholders(EN[key]), key
    for key in PERCENT_TEXTS:
        # one decimal and a literal per-cent sign after the number
        assert "%.1f%%" in ZH[key] and "%.1f%%" in EN[key], key
    assert all("%s" == p for key in set(KEYS) - PERCENT_TEXTS for p in placeholders(ZH[key]))


# --- tr and the language choice -----------------------------------------------


def test_tr_gives_the_bare_format_or_fills_it_in(language):
    i18n.set_lang("zh")
    assert i18n.tr("detect_failed") == ZH["detect_failed"]
    assert i18n.tr("detect_failed", "GitHub", "timeout") == ZH["detect_failed"] % ("GitHub", "timeout")
    i18n.set_lang("en")
    assert i18n.tr("cli_report_target_row", "Gemini", 2, 1, 200 / 3) == "Gemini: 2 up, 1 down, success rate 66.7%"
    assert i18n.tr("cli_report_overall_success_rate") == EN["cli_report_overall_success_rate"]


INIT_LANG_CASES = [
    # (what the settings file holds, the language init_lang must choose)
    ('{"language": "en"}', "en"),
    ('{"webhook": "", "language": "en", "retry_count": 3}', "en"),
    ('{"language": "zh"}', "zh"),
    ('{"language": "EN"}', "zh"),
    ('{"language": ""}', "zh"),
    ('{"language": null}', "zh"),
    ('{"language": ["en"]}', "zh"),
    ("{}", "zh"),
    ('{"language": "en"', "zh"),  # broken JSON
    ("", "zh"),
    ('["en"]', "zh"),  # JSON, but not an object
    ('"en"', "zh"),
    ("42", "zh"),
    ("null", "zh"),
    (b'{"language": "en", "name": "\xff"}', "zh"),  # not UTF-8
    ('\ufeff{"language": "en"}', "zh"),  # a byte-order mark makes the JSON invalid
    (None, "zh"),  # no file at all
    ("<directory>", "zh"),
]


@pytest.mark.parametrize("content, expected", INIT_LANG_CASES)
def test_init_lang_reads_the_language_and_never_raises(tmp_path, language, content, expected):
    path = tmp_path / "monitor_config.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content == "<directory>":
        path.mkdir()
    elif content is not None:
        path.write_text(content, encoding="utf-8")
    # start from the other language, so a choice that leaves it unchanged shows
    i18n.set_lang("zh" if expected == "en" else "en")
    assert i18n.init_lang(str(path)) is None
    assert i18n.tr("detect_start") == CATALOGUES[expected]["detect_start"]


def test_init_lang_accepts_a_path_object_and_a_bad_argument(tmp_path, language):
    path = tmp_path / "monitor_config.json"
    path.write_text('{"language": "en"}', encoding="utf-8")
    i18n.init_lang(path)
    assert i18n.tr("detect_start") == EN["detect_start"]
    i18n.init_lang(None)
    assert i18n.tr("detect_start") == ZH["detect_start"]


# --- notice marks ---------------------------------------------------------------

# The channels' rules: the Feishu card colour is the first mark found, in this
# order; the mail is a recovery notice on ✅ or 恢复, else an alert on 🚨 or 异常,
# else a status notice. Both look at the whole notice text.
CARD_COLOURS = [("🚨", "red"), ("🔴", "carmine"), ("\u26a0\ufe0f", "yellow"), ("✅", "green")]


def card_colour(notice):
    return next((colour for mark, colour in CARD_COLOURS if mark in notice), "blue")


def mail_kind(notice):
    if "✅" in notice or "恢复" in notice:
        return "recovery"
    return "alert" if "🚨" in notice or "异常" in notice else "status"


def notices(tr):
    """Every notice the engine sends, joined as the engine joins them."""

    def join(title, *fields, closing=None):
        text = title + "\n\n" + "\n".join(tr(label) + "：" + value for label, value in fields)
        return text + ("\n\n" + tr(closing) if closing else "")

    time = ("alert_field_time", "2024-05-01 08:00:00")
    targets = ("alert_field_targets", "Google / GitHub / " + tr("gui_disabled"))
    return {
        "down": join(tr("alert_down_title", "GitHub"), time, ("alert_field_keyword", "github"),
                     ("alert_field_reason", "page_load_failed:timeout"), closing="alert_field_mode"),
        "recovery": join(tr("alert_recovery_title", "GitHub"), time, ("alert_field_keyword", "github")),
        "start-up": join(tr("alert_startup_title"), time, ("alert_field_interval", "60 秒"),
                         ("alert_field_retry", "3 次"), targets),
        "stop": join(tr("alert_stop_title"), time, ("alert_field_rounds", "4 轮"), targets),
        "chrome not found": tr("alert_chrome_not_found"),
        "chrome timeout": tr("alert_chrome_timeout"),
    }


EXPECTED_COLOURS = {
    # notice: (its title key, its mark, Feishu colour, mail kind)
    "down": ("alert_down_title", "🚨", "red", "alert"),
    "recovery": ("alert_recovery_title", "✅", "green", "recovery"),
    "start-up": ("alert_startup_title", "🟢", "blue", "status"),
    "stop": ("alert_stop_title", "🔴", "carmine", "status"),
    "chrome not found": ("alert_chrome_not_found", "\u26a0\ufe0f", "yellow", "status"),
    "chrome timeout": ("alert_chrome_timeout", "\u26a0\ufe0f", "yellow", "status"),
}


@pytest.mark.parametrize("lang", sorted(CATALOGUES))
def test_every_notice_carries_its_mark_and_gets_its_colour(lang, language):
    i18n.set_lang(lang)
    built = notices(i18n.tr)
    for notice, (title_key, mark, colour, kind) in EXPECTED_COLOURS.items():
        assert i18n.tr(title_key).startswith(mark), (lang, title_key)
        assert (card_colour(built[notice]), mail_kind(built[notice])) == (colour, kind), (lang, notice)


def test_field_labels_and_the_closing_line_hold_no_colon():
    # a colon would turn the down notice's closing line into a field, and a
    # label's own colon would split its line in the wrong place
    for messages in CATALOGUES.values():
        for key in (k for k in KEYS if k.startswith("alert_field_")):
            assert ":" not in messages[key] and "：" not in messages[key], key
            assert messages[key] == messages[key].strip(), key


# --- the engine's call sites ------------------------------------------------------

SRC = Path(__file__).resolve().parents[2] / "src" / "engine"
# The shell's own helpers forward a key they are given; they are not call sites.
HELPERS = {SRC / "py" / "shell_py.h", SRC / "py" / "shell_py.cpp"}
LEVELS = {"info", "warning", "error"}

CALL = re.compile(r"(?<![\w.>:])(?:(?:engine::)?shell::)?\b(info|warning|error|log|tr|call)\s*\(")
LITERAL = re.compile(r'"(?:[^"\\\n]|\\.)*"')
# A call whose key is a variable names the keys it can hold in a comment on
# its line or the line above: // catalogue keys: err_crash_short, err_crash_long
DECLARED = re.compile(r"catalogue keys?:\s*([\w\s,]+)")
RAW_STRING = re.compile(r'(?:u8|[uUL])?R"([^()\\\s]{0,16})\(')


def mask(source):
    """The source with comments and the insides of literals blanked (lengths and
    line breaks kept), and the comments' texts by line number."""
    out, comments, i, n = list(source), {}, 0, len(source)

    def blank(start, end, keep_quotes):
        for j in range(start + keep_quotes, end - keep_quotes):
            if out[j] != "\n":
                out[j] = " "

    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            end = n if end < 0 else end
            comments.setdefault(source.count("\n", 0, i) + 1, []).append(source[i:end])
            blank(i, end, 0)
            i = end
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end, 0)
            i = end
        elif (m := RAW_STRING.match(source, i)) and not (i and (source[i - 1].isalnum() or source[i - 1] == "_")):
            end = source.find(")" + m.group(1) + '"', m.end())
            end = n if end < 0 else end + len(m.group(1)) + 2
            blank(i, end, 0)
            out[i] = out[end - 1] = '"'
            i = end
        elif c == '"' or (c == "'" and not (i and source[i - 1].isalnum())):  # 1'000 is a number
            j = i + 1
            while j < n and source[j] != c and source[j] != "\n":
                j += 2 if source[j] == "\\" else 1
            blank(i, j + 1, 1)
            i = j + 1
        else:
            i += 1
    return "".join(out), comments


def split_arguments(masked, start):
    """The top-level arguments of the call whose "(" ends at start, and the
    index of its ")"; None when the parentheses do not close."""
    args, depth, begin = [], 0, start
    for i in range(start, len(masked)):
        c = masked[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                args.append((begin, i))
                return args, i
            depth -= 1
        elif c == "," and depth == 0:
            args.append((begin, i))
            begin = i + 1
    return None


def scan(source, where="<source>"):
    """Catalogue call sites as (place, key, argument count, filled by tr) and
    the places of the call sites the scanner cannot read."""
    masked, comments = mask(source)
    sites, unreadable = [], []
    for m in CALL.finditer(masked):
        line = masked.count("\n", 0, m.start()) + 1
        place = f"{where}:{line}"
        parsed = split_arguments(masked, m.end())
        if parsed is None:
            unreadable.append(place + " (no closing parenthesis)")
            continue
        spans, _ = parsed
        args = [source[a:b].strip() for a, b in spans]
        func = m.group(1)
        if func == "call":
            if args[0] != '"tr"':
                continue  # another module operation
            func, args = "tr", args[1:]
        elif func == "log":
            if args[0].strip('"') not in LEVELS or not LITERAL.fullmatch(args[0]):
                unreadable.append(place + " (log level is not a literal)")
                continue
            args = args[1:]
        if not args or not args[0]:
            unreadable.append(place + " (no key)")
            continue
        count = len(args) - 1
        if any(a.endswith("...") for a in args[1:]):
            unreadable.append(place + " (an argument pack: the count is not known here)")
            continue
        if LITERAL.fullmatch(args[0]):
            sites.append((place, args[0][1:-1], count, func == "tr"))
            continue
        last_line = masked.count("\n", 0, parsed[1]) + 1
        lines = masked.split("\n")
        # the line above counts only when it holds nothing but the comment
        first = line - 1 if line > 1 and not lines[line - 2].strip() else line
        declared = [d for ln in range(first, last_line + 1)
                    for text in comments.get(ln, []) for d in DECLARED.findall(text)]
        keys = [k for d in declared for k in re.split(r"[\s,]+", d) if k]
        if not keys:
            unreadable.append(f"{place} (key {args[0]!r} is not a literal; name its keys in a comment)")
        sites.extend((place, key, count, func == "tr") for key in keys)
    return sites, unreadable


def engine_sites():
    sites, unreadable = [], []
    for path in sorted(SRC.rglob("*_py.*")):
        if path.suffix in (".cpp", ".h") and path not in HELPERS:
            found, bad = scan(path.read_text(encoding="utf-8"), str(path.relative_to(SRC)))
            sites += found
            unreadable += bad
    return sites, unreadable


SCANNER_FIXTURE = r'''
// info("commented_out", 1);  /* warning("also_not", 2) */
void f() {
  info("detect_start", name);
  warning("detect_failed", name,
          join(a, ", ", b));                      // two arguments across lines
  error("err_cdp_failed", f(g(1, 2), "x,y)"), R"raw(", ) ")raw");
  log("info", "mon_round", std::to_string(n));
  const std::string t = tr("alert_down_title", name) + tr("alert_field_time");
  call("send_alert", notice);                     // not a catalogue call
  call("tr", "gui_disabled");
  logger.info(x);  std::log(2.0);  some_error(3);  // not ours either
  error(crash_key, display, word);                // catalogue keys: err_crash_short, err_crash_long
  warning(key_of(kind), name);
  log(level, "detect_ok", name);
  // catalogue keys: detect_ok
  info(ok_key, name);
  tr("detect_ok", args...);
  auto n = 1'000; tr("detect_ok",
'''


def test_scanner_reads_calls_as_the_compiler_does():
    sites, unreadable = scan(SCANNER_FIXTURE, "f")
    assert [(key, count, by_tr) for _, key, count, by_tr in sites] == [
        ("detect_start", 1, False),
        ("detect_failed", 2, False),
        ("err_cdp_failed", 2, False),
        ("mon_round", 1, False),
        ("alert_down_title", 1, True),
        ("alert_field_time", 0, True),
        ("gui_disabled", 0, True),
        ("err_crash_short", 2, False),
        ("err_crash_long", 2, False),
        ("detect_ok", 1, False),
    ]
    assert [place.split(" ")[0] for place in unreadable] == ["f:14", "f:15", "f:18", "f:19"]


def test_engine_call_sites_match_the_catalogue():
    sites, unreadable = engine_sites()
    assert unreadable == []
    assert any(key == "detect_start" for _, key, _, _ in sites), "the scan found none of the known call sites"
    wrong = []
    for place, key, count, by_tr in sites:
        for lang, messages in CATALOGUES.items():
            if key not in messages:
                wrong.append(f"{place}: {key} is missing in {lang}")
            elif by_tr and count == 0:
                # a bare lookup: the text comes back unformatted and the caller
                # formats it itself, so only KEYS says how many it passes
                continue
            elif len(placeholders(messages[key])) != count:
                wrong.append(f"{place}: {key} gets {count} arguments, the {lang} text takes "
                             f"{len(placeholders(messages[key]))}")
    assert wrong == []
