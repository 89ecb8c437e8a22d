"""The network probes against real peers on 127.0.0.1, the real ping, and a
fake ping on PATH for the output texts and command lines of other systems."""
import errno
import locale
import os
import pathlib
import select
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest

LOCAL = "127.0.0.1"


# --- peers ------------------------------------------------------------------


@pytest.fixture
def listener():
    s = socket.socket()
    s.bind((LOCAL, 0))
    s.listen()
    yield s.getsockname()[1]
    s.close()


@pytest.fixture
def closed_port():
    s = socket.socket()
    s.bind((LOCAL, 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def full_backlog():
    """A listener that never accepts and whose queue is full. Linux queues one
    connection more than listen(0) asks for and then drops further SYNs, so a
    new connect neither completes nor is refused: it times out. Connections
    are added until one stays pending, however many the kernel queues."""
    server = socket.socket()
    server.bind((LOCAL, 0))
    server.listen(0)
    port = server.getsockname()[1]
    fillers = []
    for _ in range(16):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex((LOCAL, port))
        fillers.append(c)
        _, writable, _ = select.select([], [c], [], 0.2)
        if not writable:
            break
    else:
        pytest.fail("the listen queue never filled")
    yield port
    for c in fillers:
        c.close()
    server.close()


@pytest.fixture
def udp_peer():
    """A UDP socket on 127.0.0.1 that answers every datagram with `reply`
    bytes, or stays silent when reply is None."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((LOCAL, 0))
    sock.settimeout(0.05)
    settings = {"reply": None}
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            try:
                _, sender = sock.recvfrom(65536)
            except (TimeoutError, OSError):
                continue
            if settings["reply"] is not None:
                sock.sendto(b"x" * settings["reply"], sender)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()

    def make(reply):
        settings["reply"] = reply
        return sock.getsockname()[1]

    yield make
    stop.set()
    thread.join()
    sock.close()


def resolver_text(name):
    try:
        socket.getaddrinfo(name, None, socket.AF_INET)
    except socket.gaierror as e:
        return str(e)
    pytest.skip(f"{name} resolves here")


def int_error(value):
    try:
        int(value)
    except (TypeError, ValueError) as e:
        return str(e)
    raise AssertionError(f"int({value!r}) converts")


# --- TCP and UDP -------------------------------------------------------------


def test_tcp_probes_against_open_closed_and_silent_ports(core, listener, closed_port, full_backlog):
    refused, timed_out = errno.ECONNREFUSED, errno.EAGAIN
    assert core.check_tcp(LOCAL, listener) == (True, f"{LOCAL}:{listener}", "TCP port open")
    assert core.check_tcp(LOCAL, closed_port) == (False, f"{LOCAL}:{closed_port}", f"TCP connection refused (errno={refused})")
    assert core.check_tcp_ping(LOCAL, closed_port) == (False, f"{LOCAL}:{closed_port}", f"TCP failed (errno={refused})", None)

    ok, keyword, reason, latency = core.check_tcp_ping(LOCAL, str(listener))
    assert (ok, keyword, reason) == (True, f"{LOCAL}:{listener}", f"{latency}ms")
    assert type(latency) is int and 0 <= latency < 1000

    for probe, reason in [
        (core.check_tcp, f"TCP connection refused (errno={timed_out})"),
        (core.check_tcp_ping, f"TCP failed (errno={timed_out})"),
    ]:
        start = time.monotonic()
        result = probe(LOCAL, full_backlog, 0.3)
        assert 0.25 < time.monotonic() - start < 1.0
        assert result[:3] == (False, f"{LOCAL}:{full_backlog}", reason)


@pytest.mark.parametrize(
    "reply, expected",
    [
        (0, (True, "UDP response received")),
        (5, (True, "UDP response received")),
        (2000, (True, "UDP response received")),  # longer than the 1024-byte buffer
        (None, (True, "UDP no reject (port likely open)")),
    ],
)
def test_udp_probe_answers_and_silence(core, udp_peer, reply, expected):
    port = udp_peer(reply)
    assert core.check_udp(LOCAL, port, 0.3) == (expected[0], f"{LOCAL}:{port}", expected[1])


def test_udp_probe_closed_port_is_unreachable(core, closed_port):
    # Without asking the system for ICMP reports an unconnected socket would
    # sit out the time-out and call the closed port open.
    start = time.monotonic()
    assert core.check_udp(LOCAL, closed_port, 2) == (False, f"{LOCAL}:{closed_port}", "UDP port unreachable")
    assert time.monotonic() - start < 0.5


def test_unresolvable_names(core):
    name = "no-such-host.invalid"
    text = resolver_text(name)
    assert core.check_tcp(name, 80) == (False, f"{name}:80", f"TCP hostname resolve failed: {text}")
    assert core.check_udp(name, 53) == (False, f"{name}:53", f"UDP hostname resolve failed: {text}")
    assert core.check_tcp_ping(name, 80) == (False, f"{name}:80", f"Error: {text}", None)


@pytest.mark.parametrize("port", ["0x10", "8.0", "eighty", "", None, [80]])
def test_ports_that_do_not_convert(core, port, caplog):
    text = int_error(port)
    assert core.check_tcp(LOCAL, port) == (False, f"{LOCAL}:{port}", f"TCP check error: {text}")
    assert core.check_udp(LOCAL, port) == (False, f"{LOCAL}:{port}", f"UDP check error: {text}")
    assert core.check_tcp_ping(LOCAL, port) == (False, f"{LOCAL}:{port}", f"Error: {text}", None)
    assert caplog.records == []  # the probes never log


def test_port_failing_without_a_text_is_still_a_result(core):
    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no text for this error")

    class Port:
        def __int__(self):
            raise Unprintable()

        def __str__(self):
            return "p"

    assert core.check_tcp(LOCAL, Port()) == (False, f"{LOCAL}:p", "TCP check error: <exception str() failed>")
    assert core.check_tcp_ping(LOCAL, Port())[2:] == ("Error: <exception str() failed>", None)


@pytest.mark.parametrize("port", [-1, 65536, "70000", 10**30])
def test_ports_out_of_range(core, port):
    # Refused before the name is looked at, as the socket module does.
    name = "no-such-host.invalid"
    assert core.check_tcp(name, port)[2] == "TCP check error: connect_ex(): port must be 0-65535."
    assert core.check_tcp_ping(name, port)[2:] == ("Error: connect_ex(): port must be 0-65535.", None)
    assert core.check_udp(name, port)[2] == "UDP check error: sendto(): port must be 0-65535."


def test_ports_convert_as_int_does(core, listener):
    # Blanks around the digits are fine and a fraction is cut off; the keyword
    # keeps the port as it was given.
    for port in [f" {listener} ", listener + 0.7, str(listener)]:
        assert core.check_tcp(LOCAL, port) == (True, f"{LOCAL}:{port}", "TCP port open")


# --- ping ----------------------------------------------------------------------


def test_ping_the_loopback(core):
    assert core.check_icmp(LOCAL) == (True, LOCAL, "Ping successful")
    ok, keyword, reason, latency = core.check_icmp_ping(LOCAL)
    assert (ok, keyword, reason) == (True, LOCAL, f"{latency}ms")
    assert type(latency) is int and 0 <= latency < 1000


class FakePing:
    """A `ping` first on PATH that prints given bytes and exits with a given
    status; it leaves its arguments, its LC_ALL and its pid in files."""

    def __init__(self, directory):
        self.dir = directory
        self.bin = directory / "bin"
        self.bin.mkdir()

    def install(self, output=b"", status=0, pause=None, exec_sleep=None, linger=None):
        (self.dir / "output").write_bytes(output.encode() if isinstance(output, str) else output)
        lines = [
            "#!/bin/sh",
            f'for a in "$@"; do printf "%s\\n" "$a"; done > "{self.dir}/argv"',
            f'printf "%s" "${{LC_ALL-unset}}" > "{self.dir}/lc_all"',
            f'echo $$ > "{self.dir}/pid"',
        ]
        if exec_sleep:
            lines.append(f"exec sleep {exec_sleep}")
        if pause:
            lines.append(f"sleep {pause}")
        lines.append(f'cat "{self.dir}/output"')
        if linger:
            # Output closed, the program still runs a little.
            lines += ["exec >&- 2>&-", f"sleep {linger}"]
        lines.append(f"exit {status}")
        script = self.bin / "ping"
        script.write_text("\n".join(lines) + "\n")
        script.chmod(script.stat().st_mode | stat.S_IXUSR)

    @property
    def argv(self):
        return (self.dir / "argv").read_text().splitlines()

    @property
    def lc_all(self):
        return (self.dir / "lc_all").read_text()

    @property
    def pid(self):
        return int((self.dir / "pid").read_text())


@pytest.fixture
def fake_ping(tmp_path, monkeypatch):
    fake = FakePing(tmp_path)
    monkeypatch.setenv("PATH", f"{fake.bin}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.delenv("LC_ALL", raising=False)
    return fake


@pytest.mark.parametrize(
    "output, latency",
    [
        ("64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", 0),
        ("Reply from 10.0.0.1: bytes=32 time<1ms TTL=128\n", 1),
        ("来自 10.0.0.1 的回复: 字节=32 时间=14ms TTL=57\n", 14),
        ("来自 10.0.0.1 的回复: 字节=32 时间<1ms TTL=57\n", 1),
        ("REPLY FROM 10.0.0.1: BYTES=32 TIME=7MS TTL=57\n", 7),
        ("64 bytes from 10.0.0.1: time=12.7 ms\n", 13),
        ("64 bytes from 10.0.0.1: time=2.5 ms\n", 2),
        ("64 bytes from 10.0.0.1: time=3.5 ms\n", 4),
    ],
)
def test_latency_from_ping_output(core, fake_ping, output, latency):
    fake_ping.install(output)
    assert core.check_icmp_ping("10.0.0.1") == (True, "10.0.0.1", f"{latency}ms", latency)
    assert core.check_icmp("10.0.0.1") == (True, "10.0.0.1", "Ping successful")


def test_latency_without_a_reported_time_is_the_elapsed_time(core, fake_ping):
    fake_ping.install("1 packets transmitted, 1 received, time 0ms\n", pause=0.3)
    ok, _, reason, latency = core.check_icmp_ping("10.0.0.1")
    assert ok and reason == f"{latency}ms"
    assert 300 <= latency < 2000


def test_elapsed_latency_ends_when_the_child_exits(core, fake_ping):
    # A child that closes its output and exits 10 ms later: its latency is its
    # run as Python's own wait times it, not rounded up to the next wait slice.
    fake_ping.install("1 packets transmitted, 1 received\n", linger=0.01)
    command = [str(fake_ping.bin / "ping"), "-c", "1", "-W", "3", "10.0.0.1"]

    def python_ms():
        start = time.monotonic()
        subprocess.run(command, capture_output=True, check=True)
        return (time.monotonic() - start) * 1000

    ours = min(core.check_icmp_ping("10.0.0.1")[3] for _ in range(5))
    python = min(python_ms() for _ in range(5))
    # Python's own start of the child may take a few ms longer than ours; a
    # wait that outlasts the exit is what makes ours the later one.
    assert 10 <= ours < python + 5, (ours, python)


def test_ping_failures(core, fake_ping):
    fake_ping.install("1 packets transmitted, 0 received, 100% packet loss\n", status=1)
    assert core.check_icmp("10.0.0.1") == (False, "10.0.0.1", "Ping failed (no response)")
    assert core.check_icmp_ping("10.0.0.1") == (False, "10.0.0.1", "Ping timeout", None)

    # Output that does not decode fails the run, with the decoder's text.
    raw = b"\xff time=5ms\n"
    try:
        raw.decode(locale.getpreferredencoding(False))
    except UnicodeDecodeError as e:
        text = str(e)
    fake_ping.install(raw)
    assert core.check_icmp("10.0.0.1") == (False, "10.0.0.1", f"Ping error: {text}")
    assert core.check_icmp_ping("10.0.0.1") == (False, "10.0.0.1", f"Error: {text}", None)


def test_ping_past_its_limit_is_killed(core, fake_ping):
    # The limit is the time-out plus 3 s: a time-out of -2.7 leaves 0.3 s.
    fake_ping.install(exec_sleep=30)
    for probe, result in [
        (core.check_icmp, (False, "10.0.0.1", "Ping timeout")),
        (core.check_icmp_ping, (False, "10.0.0.1", "Ping timeout", None)),
    ]:
        start = time.monotonic()
        assert probe("10.0.0.1", -2.7) == result
        assert time.monotonic() - start < 1.5
        with pytest.raises(ProcessLookupError):
            os.kill(fake_ping.pid, 0)


def test_ping_missing_from_path(core, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(FileNotFoundError) as e:
        subprocess.run(["ping"])
    assert core.check_icmp(LOCAL) == (False, LOCAL, f"Ping error: {e.value}")
    assert core.check_icmp_ping(LOCAL) == (False, LOCAL, f"Error: {e.value}", None)


@pytest.mark.parametrize(
    "platform, timeout, argv, lc_all",
    [
        ("linux", 3, ["-c", "1", "-W", "3", "host.example"], "C"),
        ("linux", 2.5, ["-c", "1", "-W", "2.5", "host.example"], "C"),
        # macOS takes the wait in milliseconds.
        ("darwin", 3, ["-c", "1", "-W", "3000", "host.example"], "C"),
        ("darwin", 1.5, ["-c", "1", "-W", "1500", "host.example"], "C"),
        ("win32", 3, ["-n", "1", "-w", "3000", "host.example"], "unset"),
        ("win32", 1.2345, ["-n", "1", "-w", "1234", "host.example"], "unset"),
    ],
)
def test_ping_command_lines(core, fake_ping, monkeypatch, platform, timeout, argv, lc_all):
    monkeypatch.setattr(sys, "platform", platform)
    fake_ping.install("Reply from 10.0.0.1: bytes=32 time=3ms TTL=57\n")
    assert core.check_icmp("host.example", timeout)[0]
    assert (fake_ping.argv, fake_ping.lc_all) == (argv, lc_all)
    assert core.check_icmp_ping("host.example", timeout)[0]
    assert fake_ping.argv == argv


def test_windows_success_needs_a_reply(core, fake_ping, monkeypatch):
    # Windows' ping exits 0 when a router answers "Destination host unreachable".
    fake_ping.install("Reply from 192.168.1.1: Destination host unreachable.\n")
    monkeypatch.setattr(sys, "platform", "win32")
    assert core.check_icmp("10.0.0.1") == (False, "10.0.0.1", "Ping failed (no response)")
    assert core.check_icmp_ping("10.0.0.1") == (False, "10.0.0.1", "Ping timeout", None)
    fake_ping.install("来自 10.0.0.1 的回复: 字节=32 时间=14ms TTL=57\n")
    assert core.check_icmp("10.0.0.1") == (True, "10.0.0.1", "Ping successful")
    assert core.check_icmp_ping("10.0.0.1") == (True, "10.0.0.1", "14ms", 14)


NOT_AN_ADDRESS = 'the address begins with "{}", which ping reads as an option, so it is no address'


def test_an_address_ping_reads_as_an_option_is_no_address(core):
    # The real ping: "-V" alone prints its version and exits 0, which read as up.
    for address in ["-V", "-V 127.0.0.1", "--help", "-c 1"]:
        text = NOT_AN_ADDRESS.format("-")
        assert core.check_icmp(address) == (False, address, f"Ping error: {text}")
        assert core.check_icmp_ping(address) == (False, address, f"Error: {text}", None)


@pytest.mark.parametrize(
    "platform, address, sign",
    [
        ("linux", "-V", "-"),
        ("darwin", "-t 1", "-"),
        ("win32", "-n", "-"),
        ("win32", "/?", "/"),
        ("win32", "/n 5 127.0.0.1", "/"),
        ("linux", b"-V", "-"),
        ("linux", "-서버", "-"),
        ("linux", "-\udcff", "-"),
        ("linux", "-" + "a" * 254, "-"),
        # Only the first character makes an option: ping takes the rest for names.
        ("linux", "/?", None),
        ("linux", " -V", None),
        ("win32", " /?", None),
        ("linux", "\t-V", None),
        ("linux", "\x01-V", None),
        ("linux", "\u3000-V", None),
        ("linux", "서버-1", None),
        ("linux", "сервер", None),
        ("linux", "\udcff", None),  # reaches ping as Python's subprocess would pass it
        ("linux", "가" * 85, None),  # 255 bytes
    ],
)
def test_only_what_ping_would_read_as_an_option_is_kept_from_it(core, fake_ping, monkeypatch, platform, address, sign):
    monkeypatch.setattr(sys, "platform", platform)
    fake_ping.install("Reply from 10.0.0.1: bytes=32 time=3ms TTL=57\n")
    keyword = address  # bytes too: the keyword is the address as given
    started = fake_ping.dir / "argv"
    if sign:
        text = NOT_AN_ADDRESS.format(sign)
        assert core.check_icmp(address) == (False, keyword, f"Ping error: {text}")
        assert core.check_icmp_ping(address) == (False, keyword, f"Error: {text}", None)
        assert not started.exists()
    else:
        assert core.check_icmp(address) == (True, keyword, "Ping successful")
        assert started.read_bytes().splitlines()[-1] == os.fsencode(address)


def fsencode_error(value):
    try:
        os.fsencode(value)
    except TypeError as e:
        return str(e)
    raise AssertionError(f"os.fsencode({value!r}) converts")


@pytest.mark.parametrize("address", [5, None, 3.5, ["127.0.0.1"], {"ip": "127.0.0.1"}])
def test_an_address_that_is_not_text_is_a_failure_with_its_text(core, fake_ping, address):
    # The keyword is the address's text, so that a notice can show it, and
    # ping is never started with that text.
    fake_ping.install("64 bytes from 127.0.0.1: time=0.1 ms\n")
    text = fsencode_error(address)
    assert core.check_icmp(address) == (False, str(address), f"Ping error: {text}")
    assert core.check_icmp_ping(address) == (False, str(address), f"Error: {text}", None)
    assert not (fake_ping.dir / "argv").exists()


def test_an_address_without_text_is_still_a_result(core):
    class Unprintable:
        def __str__(self):
            raise ValueError("this address has no text")

    assert core.check_icmp(Unprintable()) == (False, "", "Ping error: this address has no text")
    assert core.check_icmp_ping(Unprintable()) == (False, "", "Error: this address has no text", None)


def test_bytes_and_paths_are_pinged_and_kept_as_given(core):
    for address in [LOCAL.encode(), pathlib.PurePosixPath(LOCAL)]:
        for result in (core.check_icmp(address), core.check_icmp_ping(address)):
            assert result[:2] == (True, address) and type(result[1]) is type(address)


# --- Ctrl+C ------------------------------------------------------------------


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("probe", ["tcp", "tcp_ping", "udp", "icmp", "icmp_ping"])
def test_ctrl_c_reaches_the_caller_at_once(core, full_backlog, udp_peer, fake_ping, probe):
    fake_ping.install(exec_sleep=30)
    calls = {
        "tcp": lambda: core.check_tcp(LOCAL, full_backlog, 10),
        "tcp_ping": lambda: core.check_tcp_ping(LOCAL, full_backlog, 10),
        "udp": lambda: core.check_udp(LOCAL, udp_peer(None), 10),
        "icmp": lambda: core.check_icmp("10.0.0.1", 10),
        "icmp_ping": lambda: core.check_icmp_ping("10.0.0.1", 10),
    }
    timer = interrupt_after(0.3)
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        calls[probe]()
    timer.join()
    assert time.monotonic() - start < 0.3 + 0.2
    if probe.startswith("icmp"):
        with pytest.raises(ProcessLookupError):
            os.kill(fake_ping.pid, 0)
