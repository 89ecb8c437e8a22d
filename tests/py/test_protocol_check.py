"""The factory that turns a user-defined target's protocol into a check function."""
import json
import logging

import pytest

PROBES = ["check_tcp", "check_udp", "check_icmp", "check_icmp_ping", "check_tcp_ping"]


@pytest.fixture
def probe_calls(core, monkeypatch):
    """Every probe replaced in the module namespace by a recorder."""
    calls = []
    for name in PROBES:
        def fake(*args, _name=name, **kwargs):
            calls.append((_name, args, kwargs))
            return (True, "kw", "reason from " + _name)

        monkeypatch.setattr(core, name, fake)
    return calls


@pytest.mark.parametrize(
    "protocol, port, probe, args",
    [
        ("tcp", 443, "check_tcp", ("10.0.0.5", 443)),
        ("TCP", "8080", "check_tcp", ("10.0.0.5", 8080)),
        ("udp", " 53 ", "check_udp", ("10.0.0.5", 53)),
        ("Udp", 53.9, "check_udp", ("10.0.0.5", 53)),
        ("icmp", "not a number", "check_icmp", ("10.0.0.5",)),
        ("ICMP_PING", None, "check_icmp_ping", ("10.0.0.5",)),
        ("tcp_ping", 22, "check_tcp_ping", ("10.0.0.5", 22)),
        ("Tcp_Ping", "22", "check_tcp_ping", ("10.0.0.5", 22)),
    ],
)
def test_protocol_table(core, probe_calls, caplog, protocol, port, probe, args):
    check = core._make_protocol_check_fn("target", "10.0.0.5", port, protocol)
    assert probe_calls == []  # nothing runs until the check is called
    assert check() == (True, "kw", "reason from " + probe)
    # The port converted, no time-out passed: the probe's default applies.
    assert probe_calls == [(probe, args, {})]
    if len(args) == 2:
        assert type(probe_calls[0][1][1]) is int
    assert caplog.records == []


def test_each_check_keeps_its_own_values(core, probe_calls):
    first = core._make_protocol_check_fn("a", "10.0.0.1", 1, "tcp")
    second = core._make_protocol_check_fn("b", "10.0.0.2", 2, "udp")
    second()
    first()
    assert probe_calls == [("check_udp", ("10.0.0.2", 2), {}), ("check_tcp", ("10.0.0.1", 1), {})]


@pytest.mark.parametrize("protocol", ["tcp ", "smtp", "", "icmp-ping"])
def test_unknown_protocol_is_skipped_with_a_warning(core, probe_calls, caplog, protocol):
    caplog.set_level(logging.INFO, logger="Quorvelta")
    assert core._make_protocol_check_fn("我的目标", "10.0.0.5", 80, protocol) is None
    [record] = caplog.records
    assert record.levelno == logging.WARNING
    assert record.msg == "未知协议 %s，跳过自定义目标 %s"
    assert record.getMessage() == f"未知协议 {protocol}，跳过自定义目标 我的目标"
    assert probe_calls == []


@pytest.mark.parametrize("protocol", [None, 5])
def test_protocol_that_is_not_text_raises(core, caplog, protocol):
    with pytest.raises(AttributeError):
        core._make_protocol_check_fn("target", "10.0.0.5", 80, protocol)
    assert caplog.records == []


@pytest.mark.parametrize("protocol", ["tcp", "udp", "tcp_ping"])
def test_port_that_does_not_convert_raises_from_the_check(core, probe_calls, protocol):
    check = core._make_protocol_check_fn("target", "10.0.0.5", "eighty", protocol)
    with pytest.raises(ValueError, match="invalid literal for int"):
        check()
    assert probe_calls == []


def test_port_zero_reaches_the_real_probe(core):
    # The default port of a target without one: the connect attempt decides.
    check = core._make_protocol_check_fn("target", "127.0.0.1", 0, "tcp")
    ok, keyword, reason = check()
    assert (ok, keyword) == (False, "127.0.0.1:0")
    assert reason.startswith("TCP connection refused (errno=")


@pytest.mark.parametrize("protocol, prefix", [("icmp", "Ping error: "), ("icmp_ping", "Error: ")])
@pytest.mark.parametrize("ip, keyword, text", [
    (5, "5", "expected str, bytes or os.PathLike object, not int"),
    (["10.0.0.1"], "['10.0.0.1']", "expected str, bytes or os.PathLike object, not list"),
    ("-V", "-V", 'the address begins with "-", which ping reads as an option, so it is no address'),
])
def test_an_icmp_address_that_is_no_address_fails_its_target_every_round(core, monkeypatch, tmp_path, protocol,
                                                                         prefix, ip, keyword, text):
    # The check a round makes of the settings, through the state machine: one
    # down notice that shows the address as text, and the next round fails the same.
    monkeypatch.chdir(tmp_path)
    notices = []
    monkeypatch.setattr(core, "send_alert", notices.append)
    reason = prefix + text
    for _ in range(2):
        check = core._make_protocol_check_fn("t", ip, 0, protocol)
        result = core.process_service("t", check, "custom_t_state.json")
        assert result[:3] == (False, keyword, reason)
    [notice] = notices
    assert f"{core.tr('alert_field_keyword')}：{keyword}\n{core.tr('alert_field_reason')}：{reason}\n" in notice
    assert json.loads((tmp_path / "custom_t_state.json").read_text(encoding="utf-8"))["status"] == "DOWN"
