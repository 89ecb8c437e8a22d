"""Ctrl+C pressed by the report's save itself, at a set moment of it, so that
a test of an interrupt in the save does not depend on how long the save takes.
Only the standard library: a launcher run's host program imports it too."""
import contextlib
import datetime
import fcntl
import os
import signal

# The save reads the run's start time before anything else.
AS_THE_SAVE_BEGINS = "as the save begins"
# The save makes its temporary once the old report is read, and then writes
# the new one into it.
IN_THE_MIDDLE_OF_THE_SAVE = "in the middle of the save"


def ctrl_c():
    os.kill(os.getpid(), signal.SIGINT)


class StartTime(datetime.datetime):
    """A run's start time that presses Ctrl+C as it is read."""

    def strftime(self, format):
        ctrl_c()
        return super().strftime(format)


@contextlib.contextmanager
def ctrl_c_when_a_file_appears(directory):
    """The kernel sends SIGINT the moment the next file is created in directory."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.fcntl(fd, fcntl.F_SETSIG, signal.SIGINT)
        fcntl.fcntl(fd, fcntl.F_NOTIFY, fcntl.DN_CREATE)
        yield
    finally:
        os.close(fd)  # which ends the notice


def save_pressing_ctrl_c(save, moments):
    """_save_run_report (save) pressing Ctrl+C at each of moments, once."""

    def saving(start_time, round_counter, rounds):
        with contextlib.ExitStack() as stack:
            if AS_THE_SAVE_BEGINS in moments:
                start_time = StartTime.combine(start_time.date(), start_time.time())
            if IN_THE_MIDDLE_OF_THE_SAVE in moments:
                stack.enter_context(ctrl_c_when_a_file_appears(os.getcwd()))
            return save(start_time, round_counter, rounds)

    return saving
