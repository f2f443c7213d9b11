"""Loaded at start-up by every run of the hostile-program check, traced or not, so that both runs
see the same interpreter: vexo's warnings and its reports of abandoned events go to the file
named by VEXO_HOSTILE_LOG instead of standard error, where the check compares the program's own
output."""

import os

_log_path = os.environ.get("VEXO_HOSTILE_LOG")


def _write(text):
    with open(_log_path, "a", encoding="utf-8", errors="backslashreplace") as file:
        file.write(f"[pid {os.getpid()}] {text}\n")


def _install():
    import logging
    import sys

    class ToLogFile(logging.Handler):
        def emit(self, record):
            # Formatting runs repr() of the program's values: whatever it raises stays here.
            try:
                text = self.format(record)
            except BaseException as error:
                text = f"{record.msg!r} (not formatted: {type(error).__name__})"
            _write(text)

    logger = logging.getLogger("vexo")
    logger.addHandler(ToLogFile())
    logger.propagate = False

    program_hook = sys.unraisablehook

    def unraisable(report):
        message = str(getattr(report, "exc_value", ""))
        if message.startswith("vexo abandoned a profile event"):
            _write(f"unraisable: {message}")
        else:
            program_hook(report)

    sys.unraisablehook = unraisable


if _log_path:
    _install()
