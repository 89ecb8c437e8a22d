import signal

import pytest

# Started as a background job of a non-interactive shell, the test command
# inherits SIGINT ignored, and Python then sets up no KeyboardInterrupt for
# it. The tests press Ctrl+C in this process and in the children they start,
# so Python's own handler is put back: a child starts with SIGINT at its
# default (a handled signal is reset as a program starts, an ignored one
# stays ignored), as it would from a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def core():
    import engine.core as core

    return core
