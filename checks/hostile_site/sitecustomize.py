"""Loaded at start-up by every run of the hostile-program check, traced or not, so that both runs
see the same interpreter: vexo's warnings and its reports of abandoned events go to the file
named by VEXO_HOSTILE_LOG instead of standard error, where the check compares the program's own
output."""

import os

_log_path = os.environ.get("VEXO_HOSTILE_LOG")


def _write(text):
    with open(_log_path, "a", encoding="utf-8", errors="backslashreplace") as file:
        file.write(f"[pid {os.getpid()}] {text}\n")


def _send_to_log_file(logging):
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


class _LoggingImportedAgain:
    """A program may take logging out of sys.modules; the tracer then imports it again to warn,
    and the new module's "vexo" logger must send to the file too."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "logging":
            return None
        import importlib.machinery

        spec = importlib.machinery.PathFinder.find_spec(name, path)
        if spec is None or spec.loader is None:
            return None
        exec_module = spec.loader.exec_module

        def exec_and_send(module):
            exec_module(module)
            _send_to_log_file(module)

        spec.loader.exec_module = exec_and_send
        return spec


def _install():
    import logging
    import sys

    _send_to_log_file(logging)
    sys.meta_path.insert(0, _LoggingImportedAgain)

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
