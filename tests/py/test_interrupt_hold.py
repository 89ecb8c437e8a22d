"""A browser session's start holds Ctrl+C only while it lasts: however the
start ends, a Ctrl+C after it is an ordinary KeyboardInterrupt again. Each case
runs in a process of its own, since one that goes wrong leaves Ctrl+C held."""
import subprocess
import sys

import pytest

CHILD = r"""
import ctypes
import os
import signal
import sys
import time

import engine.core as core

libc = ctypes.CDLL(None)
real = core.sync_playwright


def default_stack_size(size):
    # The stack size of threads made without attributes of their own; gives the one it replaces.
    attr = ctypes.create_string_buffer(256)
    assert libc.pthread_getattr_default_np(attr) == 0
    old = ctypes.c_size_t()
    libc.pthread_attr_getstacksize(attr, ctypes.byref(old))
    assert libc.pthread_attr_setstacksize(attr, ctypes.c_size_t(size)) == 0
    assert libc.pthread_setattr_default_np(attr) == 0
    return old.value


class Manager:
    # The real session, counting its starts.
    started = 0

    def __init__(self):
        self.real = real()

    def __enter__(self):
        Manager.started += 1
        return self.real.__enter__()

    def __exit__(self, *exc):
        return self.real.__exit__(*exc)


restore = []


def no_thread_can_start():
    # A stack larger than the address space: every pthread_create fails with EAGAIN.
    restore.append(default_stack_size(1 << 62))
    return Manager()


class FailingStart:
    def __enter__(self):
        Manager.started += 1
        raise RuntimeError("no driver")


core.RETRY_COUNT = 1
core.check_custom_url_once = lambda playwright, name, url: (True, "kw", "")
core.sync_playwright = {"a thread cannot start": no_thread_can_start, "the start fails": FailingStart,
                        "the session starts": Manager}[sys.argv[1]]
try:
    outcome = repr(core.check_custom_url("web", "http://127.0.0.1:1/"))
except Exception as e:
    outcome = type(e).__name__ + ": " + str(e)
finally:
    if restore:
        default_stack_size(restore[0])
print(outcome, Manager.started, flush=True)
print(signal.getsignal(signal.SIGINT) is signal.default_int_handler, flush=True)
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
    print("Ctrl+C held", flush=True)
except KeyboardInterrupt:
    print("Ctrl+C raised", flush=True)
"""

WAYS = {
    # The start never began: the thread that would resend a held Ctrl+C could not be made.
    "a thread cannot start": "RuntimeError: Resource temporarily unavailable 0",
    "the start fails": "RuntimeError: no driver 1",
    "the session starts": "(True, 'kw', 'OK') 1",
}


@pytest.mark.parametrize("way", WAYS)
def test_ctrl_c_is_ordinary_again_after_a_session_start(way):
    child = subprocess.run([sys.executable, "-c", CHILD, way], capture_output=True, text=True, timeout=60)
    assert child.stdout.splitlines() == [WAYS[way], "True", "Ctrl+C raised"], child.stderr
    assert child.returncode == 0, child.stderr
