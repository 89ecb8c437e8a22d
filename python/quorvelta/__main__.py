"""python -m quorvelta monitor|report

monitor: one monitoring run, until Ctrl+C (engine.core.main)
report:  the report viewer (engine.core.cli_view_report)
"""
import os
import signal
import sys

USAGE = "usage: python -m quorvelta monitor|report"


def fit_chrome_to_machine(core):
    """On Linux, Chrome as root needs --no-sandbox, and with no display it runs headless."""
    if not sys.platform.startswith("linux"):
        return
    extra = list(core.CHROME_EXTRA_ARGS)
    if hasattr(os, "geteuid") and os.geteuid() == 0 and "--no-sandbox" not in extra:
        extra.append("--no-sandbox")
    if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY") and not any(
        a.startswith("--headless") for a in extra
    ):
        extra.append("--headless=new")
    core.CHROME_EXTRA_ARGS = extra


def let_ctrl_c_end_the_process():
    """Once the run is over, a Ctrl+C ends the process at once and silently,
    instead of raising in the interpreter's own shut-down (which prints
    "Exception ignored in: <module 'threading'>")."""
    while True:
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            return
        except KeyboardInterrupt:  # one more came before the handler was replaced
            continue


def run(argv):
    if len(argv) != 1 or argv[0] not in ("monitor", "report"):
        print(USAGE, file=sys.stderr)
        return 2
    try:
        # A failed start-up of the engine (say, a log file that cannot be
        # created) raises its own error here, reported like any other.
        import engine.core as core

        if argv[0] == "monitor":
            fit_chrome_to_machine(core)
            try:
                core.main()
            finally:
                let_ctrl_c_end_the_process()
        else:
            # The viewer speaks the language of the settings beside the report,
            # as the run that wrote it does; it does not choose one itself.
            core.init_lang(core.CONFIG_FILE)
            core.cli_view_report()
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # the run's own errors read as one sentence, not a traceback
        print(f"quorvelta: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
