"""Chrome discovery, port handling and start-up, against real Chromium, real
sockets and child processes, and small fake programs where Windows is needed."""
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest
from support_local import free_port, kill_all, processes_mentioning, stop_processes_mentioning

CHROMIUM = "/usr/bin/chromium"


def logged(caplog, core, key):
    """The arguments of every log record made from the catalogue text of key."""
    return [r.args for r in caplog.records if r.msg == core.tr(key)]


def write_program(directory, name, body):
    path = directory / name
    path.write_text(body)
    path.chmod(0o755)
    return path


@pytest.fixture
def alerts(core, monkeypatch):
    sent = []
    monkeypatch.setattr(core, "send_alert", sent.append, raising=False)
    return sent


@pytest.fixture
def chrome_env(core, monkeypatch, tmp_path):
    """A free debugging port, a private profile not yet made, headless Chromium,
    and a working directory of our own; every browser started here is killed."""
    port = free_port()
    user_data = tmp_path / "profiles" / "chrome_debug"
    monkeypatch.setattr(core, "CDP_URL", f"http://127.0.0.1:{port}")
    monkeypatch.setattr(core, "CHROME_USER_DATA", str(user_data))
    monkeypatch.setattr(core, "CHROME_EXTRA_ARGS", ["--headless=new", "--no-sandbox"])
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    env = types.SimpleNamespace(port=port, user_data=user_data, tmp=tmp_path)
    yield env
    # The profile path is in the browser's command line and in its helpers' (crash handler).
    if not stop_processes_mentioning(str(user_data)):
        pytest.fail(f"browser processes left behind: {processes_mentioning(str(user_data))}")


# --- is_cdp_ready --------------------------------------------------------------


class _Reply(http.server.BaseHTTPRequestHandler):
    status, body = 200, b""

    def do_GET(self):
        self.send_response(self.status)
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body)

    def log_message(self, *args):
        pass


@pytest.fixture
def serve():
    servers = []

    def start(status, body):
        handler = type("Handler", (_Reply,), {"status": status, "body": body})
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
        return server.server_address[1]

    yield start
    for server in servers:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize(
    "status, body, ready",
    [
        (200, b'{"Browser": "Chrome/140.0", "Protocol-Version": "1.3"}', True),
        (200, b'{"Protocol-Version": "1.3"}', False),
        (200, b'{"browser": "lower case"}', False),
        (404, b"Browser", False),
        (500, b'{"Browser": "Chrome"}', False),
    ],
)
def test_only_a_200_naming_the_browser_is_ready(core, serve, status, body, ready):
    port = serve(status, body)
    assert core.is_cdp_ready("127.0.0.1", port) is ready


def test_silence_garbage_and_nothing_are_not_ready(core):
    assert core.is_cdp_ready("127.0.0.1", free_port()) is False
    assert core.is_cdp_ready("no-such-host.invalid", 9222) is False
    with socket.socket() as quiet, socket.socket() as garbled:
        quiet.bind(("127.0.0.1", 0))
        quiet.listen()
        garbled.bind(("127.0.0.1", 0))
        garbled.listen()
        answer = threading.Thread(target=lambda: garbled.accept()[0].sendall(b"\x00\xffnot http\r\n\r\n"))
        answer.start()
        assert core.is_cdp_ready(port=garbled.getsockname()[1]) is False
        answer.join()
        started = time.monotonic()
        assert core.is_cdp_ready("127.0.0.1", quiet.getsockname()[1], timeout=0.3) is False
        assert time.monotonic() - started < 1.5


def test_is_cdp_ready_uses_the_requests_of_the_moment(core, monkeypatch):
    asked = []

    def get(url, **kwargs):
        asked.append((url, kwargs))
        raise failure

    monkeypatch.setattr(core, "requests", types.SimpleNamespace(get=get))
    failure = RuntimeError("anything ordinary")
    assert core.is_cdp_ready() is False
    assert core.is_cdp_ready("localhost", port=9333, timeout=0.5) is False
    assert asked == [
        ("http://127.0.0.1:9222/json/version", {"timeout": 2}),
        ("http://localhost:9333/json/version", {"timeout": 0.5}),
    ]
    failure = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        core.is_cdp_ready()


# --- is_port_listening and kill_port_process -------------------------------------------


def test_is_port_listening(core):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        assert core.is_port_listening("127.0.0.1", listener.getsockname()[1]) is True
    assert core.is_port_listening("127.0.0.1", free_port()) is False
    assert core.is_port_listening("no-such-host.invalid", 9222) is False


NETSTAT = """\
#!{python}
import sys
out = sys.stdout.buffer
out.write("\\r\\n\\u6d3b\\u52a8\\u8fde\\u63a5\\r\\n\\r\\n".encode("gbk"))   # a Chinese header
out.write(b"  TCP    0.0.0.0:80      0.0.0.0:0    LISTENING       4242\\r\\n")
out.write(b"  TCP    [::]:80         [::]:0       LISTENING       4242\\r\\n")
out.write(b"  TCP    0.0.0.0:8080    0.0.0.0:0    LISTENING       555\\r\\n")
out.write(b"  TCP    127.0.0.1:80    127.0.0.1:5  ESTABLISHED     777\\r\\n")
out.write(b"  TCP    127.0.0.1:80    0.0.0.0:0    LISTENING       \\x80\\xff12a\\r\\n")
out.write(b"  TCP    10.0.0.1:80     0.0.0.0:0    LISTENING  \\x80  31\\r\\n")
"""

TASKKILL = """\
#!/bin/sh
echo "$@" >> "{calls}"
exit 128
"""


def test_kill_port_process_on_windows_kills_each_listening_line(core, monkeypatch, tmp_path, caplog):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    calls = tmp_path / "taskkill.calls"
    write_program(bin_dir, "netstat", NETSTAT.format(python=sys.executable))
    write_program(bin_dir, "taskkill", TASKKILL.format(calls=calls))
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.setattr(sys, "platform", "win32")
    started = time.monotonic()
    assert core.kill_port_process(80) is None
    elapsed = time.monotonic() - started
    assert calls.read_text().splitlines() == ["/F /PID 4242", "/F /PID 4242", "/F /PID 31"]
    assert logged(caplog, core, "chrome_killed_process") == [(80, "4242"), (80, "4242"), (80, "31")]
    assert logged(caplog, core, "chrome_port_release_failed") == []
    assert 3.0 <= elapsed < 5.0  # one pause of a second per kill


@pytest.mark.parametrize("platform, program", [("win32", "netstat"), ("linux", "fuser")])
def test_a_port_command_that_cannot_run_is_a_warning(core, monkeypatch, tmp_path, caplog, platform, program):
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(sys, "platform", platform)
    assert core.kill_port_process(9222) is None
    [(port, error)] = logged(caplog, core, "chrome_port_release_failed")
    assert port == 9222 and program in error


# --- find_chrome ---------------------------------------------------------------------


@pytest.fixture
def search(core, monkeypatch, tmp_path):
    """An empty working directory and a search path of one empty directory."""
    work, bin_dir = tmp_path / "work", tmp_path / "bin"
    work.mkdir()
    bin_dir.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setenv("PATH", str(bin_dir))
    return types.SimpleNamespace(work=work, bin=bin_dir)


def test_find_chrome_looks_in_the_working_directory_then_on_the_path(core, search):
    assert core.find_chrome() is None
    (search.work / "chromium").mkdir()  # a directory is no executable
    assert core.find_chrome() is None
    write_program(search.bin, "google-chrome-stable", "#!/bin/sh\n")
    write_program(search.bin, "chromium", "#!/bin/sh\n")
    assert core.find_chrome() == str(search.bin / "chromium")
    (search.work / "chrome").write_text("")  # any regular file here counts, as given
    assert core.find_chrome() == "chrome"


def test_find_chrome_finds_the_installed_chromium(core, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert core.find_chrome() == CHROMIUM


APP_PATHS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\chrome.exe"
GOOGLE = r"SOFTWARE\Google\Chrome"
PLACES = [("HKLM", APP_PATHS), ("HKLM", GOOGLE), ("HKCU", APP_PATHS), ("HKCU", GOOGLE)]


def stand_in_winreg(places):
    """A winreg whose keys are given as {(hive, sub_key): entry}; an entry is the
    default value, or ("open", error) / ("query", error) to fail there."""
    reg = types.ModuleType("winreg")
    reg.HKEY_LOCAL_MACHINE, reg.HKEY_CURRENT_USER, reg.KEY_READ = "HKLM", "HKCU", 0x20019
    reg.opened, reg.closed = [], []

    def OpenKey(hive, sub_key, reserved=0, access=reg.KEY_READ):
        assert access == reg.KEY_READ
        reg.opened.append((hive, sub_key))
        entry = places.get((hive, sub_key), ("open", FileNotFoundError(2, "The system cannot find the file")))
        if isinstance(entry, tuple) and entry[0] == "open":
            raise entry[1]
        return (hive, sub_key)

    def QueryValueEx(key, name):
        assert name == ""
        entry = places[key]
        if isinstance(entry, tuple):
            raise entry[1]
        return entry, 1

    reg.OpenKey, reg.QueryValueEx, reg.CloseKey = OpenKey, QueryValueEx, reg.closed.append
    return reg


def test_find_chrome_reads_the_registry_on_windows(core, monkeypatch, search):
    chrome = search.work / "Chrome" / "chrome.exe"
    chrome.parent.mkdir()
    chrome.write_text("")
    chrome, missing = str(chrome), str(search.work / "gone.exe")
    not_os_error = RuntimeError("unexpected")
    lm_apps, lm_google, cu_apps, cu_google = PLACES
    cases = [
        # (keys, expected, places opened)
        ({}, None, PLACES),
        ({lm_apps: missing, lm_google: 3, cu_apps: chrome}, chrome, PLACES[:3]),
        ({lm_apps: ("query", PermissionError(13, "denied")), cu_google: chrome}, chrome, PLACES),
        ({lm_google: ("open", not_os_error), cu_apps: chrome}, None, PLACES[:2]),
        ({lm_apps: ("query", not_os_error), cu_apps: chrome}, None, PLACES[:1]),
    ]
    monkeypatch.setattr(sys, "platform", "win32")
    for keys, expected, opened in cases:
        reg = stand_in_winreg(keys)
        monkeypatch.setitem(sys.modules, "winreg", reg)
        assert core.find_chrome() == expected, keys
        assert reg.opened == opened, keys
        opened_well = [k for k in opened if not (isinstance(keys.get(k), tuple) and keys[k][0] == "open")]
        assert reg.closed == [k for k in opened_well if k in keys], keys

    # Elsewhere the registry is never asked.
    monkeypatch.setattr(sys, "platform", "linux")
    reg = stand_in_winreg({lm_apps: chrome})
    monkeypatch.setitem(sys.modules, "winreg", reg)
    assert core.find_chrome() is None and reg.opened == []


# --- ensure_chrome -------------------------------------------------------------------


def test_ensure_chrome_frees_the_port_starts_chromium_and_then_reuses_it(core, chrome_env, alerts, caplog, monkeypatch):
    blocker = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import socket, time
            s = socket.socket()
            s.bind(("127.0.0.1", {chrome_env.port}))
            s.listen()
            print("listening", flush=True)
            time.sleep(120)
        """)],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        assert blocker.stdout.readline() == "listening\n"
        assert core.ensure_chrome(exit_on_fail=False) is True
        assert blocker.wait(timeout=10) == -signal.SIGKILL
    finally:
        blocker.kill()
        blocker.wait()
    assert logged(caplog, core, "chrome_port_blocked") == [(chrome_env.port,)]
    assert logged(caplog, core, "chrome_launching") == [(CHROMIUM,)]
    assert logged(caplog, core, "chrome_ready") == [(core.CDP_URL,)]
    assert chrome_env.user_data.is_dir()
    assert core.is_cdp_ready("127.0.0.1", chrome_env.port) is True

    def must_not_run(*args):
        raise AssertionError("a running browser is reused as it is")

    for name in ("is_port_listening", "kill_port_process", "find_chrome"):
        monkeypatch.setattr(core, name, must_not_run)
    caplog.clear()
    assert core.ensure_chrome() is True
    assert logged(caplog, core, "chrome_port_ready") == [(core.CDP_URL,)]
    assert logged(caplog, core, "chrome_launching") == []
    assert alerts == []


def test_a_browser_that_never_answers_costs_thirty_polls(core, chrome_env, alerts, caplog, monkeypatch):
    pid_file, args_file = chrome_env.tmp / "fake.pid", chrome_env.tmp / "fake.args"
    fake = write_program(chrome_env.tmp, "fake-chrome", textwrap.dedent(f"""\
        #!/bin/sh
        echo $$ > "{pid_file}"
        printf '%s\\n' "$@" > "{args_file}"
        exec sleep 60
    """))
    monkeypatch.setattr(core, "CHROME_PATHS", [str(fake)])
    real_probe, probes = core.is_cdp_ready, []

    def probe(*args, **kwargs):
        probes.append((args, kwargs, time.monotonic()))
        return real_probe(*args, **kwargs)

    monkeypatch.setattr(core, "is_cdp_ready", probe)
    try:
        assert core.ensure_chrome(exit_on_fail=False) is False
        assert len(probes) == 31  # the first look, then one per poll
        assert all(p[:2] == (("127.0.0.1", chrome_env.port), {}) for p in probes)
        gaps = [b[2] - a[2] for a, b in zip(probes[1:], probes[2:])]
        assert min(gaps) >= 0.99
        assert logged(caplog, core, "chrome_timeout") == [(core.CDP_URL,)]
        assert alerts == [core.tr("alert_chrome_timeout")]
        assert args_file.read_text().splitlines() == [
            f"--remote-debugging-port={chrome_env.port}",
            f"--user-data-dir={chrome_env.user_data}",
            "--no-first-run",
            "--no-default-browser-check",
            "--headless=new",
            "--no-sandbox",
        ]
        # Left running, and not our child: nothing waits for it.
        pid = int(pid_file.read_text())
        with open(f"/proc/{pid}/stat") as f:
            assert int(f.read().rsplit(")", 1)[1].split()[1]) != os.getpid()
    finally:
        if pid_file.exists():
            kill_all([int(pid_file.read_text())])


def test_a_start_waits_a_second_before_each_poll_and_two_after_the_answer(core, chrome_env, alerts, caplog,
                                                                          monkeypatch):
    seen = chrome_env.tmp / "seen"
    quick = write_program(chrome_env.tmp, "quick-chrome",
                          f'#!/bin/sh\n{{ ls -l /proc/$$/fd; grep SigIgn /proc/$$/status; }} > "{seen}"\n')
    monkeypatch.setattr(core, "CHROME_PATHS", [str(quick)])
    answers = [False, True]
    monkeypatch.setattr(core, "is_cdp_ready", lambda host, port: answers.pop(0))
    # A descriptor that a child would inherit: the browser, which outlives the
    # run, must not keep it open.
    read_end, write_end = os.pipe()
    os.set_inheritable(write_end, True)
    try:
        started = time.monotonic()
        assert core.ensure_chrome() is True
        assert 3.0 <= time.monotonic() - started < 3.6
        pipe = f"pipe:[{os.fstat(write_end).st_ino}]"
    finally:
        os.close(read_end)
        os.close(write_end)
    assert answers == [] and alerts == []
    assert logged(caplog, core, "chrome_ready") == [(core.CDP_URL,)]
    fds, ignored = seen.read_text().rsplit("SigIgn:", 1)
    assert pipe not in fds
    assert not int(ignored, 16) & 1 << (signal.SIGPIPE - 1)  # as any program starts


INTERRUPTED = """
import engine.core as core
core.CDP_URL = "http://127.0.0.1:{port}"
core.CHROME_PATHS = [{fake!r}]
core.CHROME_USER_DATA = {user_data!r}
core.send_alert = print
core.is_cdp_ready = lambda *args: print("probe", flush=True) or False
core.ensure_chrome()
"""


def test_ctrl_c_ends_the_polls_at_once(chrome_env):
    pid_file = chrome_env.tmp / "fake.pid"
    fake = write_program(chrome_env.tmp, "fake-chrome", f'#!/bin/sh\necho $$ > "{pid_file}"\nexec sleep 60\n')
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED.format(port=chrome_env.port, fake=str(fake), user_data=str(chrome_env.user_data))],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline() == "probe\n"  # the first look; the pauses follow
        assert child.stdout.readline() == "probe\n"  # the first poll
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=10)
        assert time.monotonic() - sent < 0.5
        assert out == "" and "KeyboardInterrupt" in err
    finally:
        child.kill()
        child.wait()
        if pid_file.exists():
            kill_all([int(pid_file.read_text())])


NO_CHROME = """
import engine.core as core
core.CDP_URL = "http://127.0.0.1:{port}"
core.CHROME_USER_DATA = {user_data!r}
core.send_alert = lambda text: print("notice", text == core.tr("alert_chrome_not_found"), flush=True)
core.ensure_chrome()
print("carried on", flush=True)
"""


def test_no_chrome_anywhere(core, chrome_env, alerts, caplog, monkeypatch):
    # No file in the working directory, nothing on the search path.
    empty = chrome_env.tmp / "empty"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    assert core.ensure_chrome(exit_on_fail=False) is False
    assert logged(caplog, core, "chrome_not_found") == [()]
    assert alerts == [core.tr("alert_chrome_not_found")]
    assert not chrome_env.user_data.exists()

    # At start-up the process ends with status 1, after the one notice.
    child = subprocess.run(
        [sys.executable, "-c", NO_CHROME.format(port=chrome_env.port, user_data=str(chrome_env.user_data))],
        capture_output=True, text=True, timeout=60,
    )
    assert child.returncode == 1, child.stderr
    assert child.stdout.splitlines() == ["notice True"]
    assert not chrome_env.user_data.exists()


def test_a_profile_or_a_browser_that_cannot_be_made_is_an_error(core, chrome_env, alerts, monkeypatch):
    not_executable = chrome_env.tmp / "chrome-without-x"
    not_executable.write_text("")
    monkeypatch.setattr(core, "CHROME_PATHS", [str(not_executable)])
    monkeypatch.setattr(core, "CHROME_USER_DATA", str(not_executable / "profile"))
    with pytest.raises(OSError):
        core.ensure_chrome()
    monkeypatch.setattr(core, "CHROME_USER_DATA", str(chrome_env.user_data))
    with pytest.raises(OSError, match="Permission denied"):
        core.ensure_chrome()
    assert chrome_env.user_data.is_dir()
    assert alerts == []


@pytest.mark.parametrize(
    "cdp_url", ["http://127.0.0.1", "https://127.0.0.1:9222", "http://127.0.0.1:92:22", "http://127.0.0.1:port",
                "http://127.0.0.1:"]
)
def test_a_cdp_url_without_host_and_port_is_an_error(core, monkeypatch, cdp_url):
    monkeypatch.setattr(core, "CDP_URL", cdp_url)
    monkeypatch.setattr(core, "is_cdp_ready", lambda *a: pytest.fail("nothing is probed"))
    with pytest.raises(ValueError):
        core.ensure_chrome(exit_on_fail=False)
