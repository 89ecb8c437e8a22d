"""Small helpers for tests that start local peers and browsers."""
import os
import signal
import socket
import time


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def processes_mentioning(text):
    """The pids of every process whose command line holds text."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def stop_processes_mentioning(text, attempts=100):
    """Kills every process whose command line holds text (a browser started with
    a private profile path, and its helpers); true when none is left."""
    for _ in range(attempts):
        pids = processes_mentioning(text)
        if not pids:
            return True
        kill_all(pids)
        time.sleep(0.1)
    return not processes_mentioning(text)
