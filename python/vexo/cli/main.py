"""The command line (`vexo`, also as `python -m vexo`):

    vexo run [OPTIONS] SCRIPT [ARGS...]     trace a program as `python SCRIPT ARGS...` runs it
    vexo run [OPTIONS] -m MODULE [ARGS...]  ... or as `python -m MODULE ARGS...`
    vexo traces [--limit N] [--run latest|ID] [--json]   list the stored traces, newest first
        [--failed] [--outcome OUTCOME] [--kind KIND] [--test PATTERN]
    vexo prune [--keep-runs N] [--older-than 7d] [--max-size 2GB]   delete the oldest runs
    vexo show [TRACE_ID] [--json]          a trace's call tree per thread (default: the newest)
    vexo show --last-failed                ... of the newest failed test or request
    vexo compare LEFT RIGHT                where two traces' calls part and values differ
    vexo compare --last-passing [TRACE_ID] a failed test with its last passing run
    vexo copy --from STORE --to STORE      copy traces between stores (SQLite files, PostgreSQL)
    vexo scrub                             replace the secrets in the stored traces
    vexo serve [--port N] [--open]         explore the traces in the browser
    vexo html [TRACE_ID] -o FILE           a trace as one self-contained HTML file
    vexo export [TRACE_ID] --format chrome|speedscope -o FILE
    vexo mcp                               serve the traces to a coding agent (MCP, stdio)

`--db PATH` works with every command, and a unique beginning of a trace id does for the id.
The program sees what it would see under `python`: its `sys.argv`, `sys.path[0]`, a fresh
`__main__` module, its standard streams untouched, and it exits with the status python would give
it (an uncaught exception prints the same traceback and gives 1). vexo's own line, naming the
stored trace, goes to standard error after the program's output. After an uncaught
KeyboardInterrupt it ends by SIGINT, as python does, once the exit callbacks have run.

The code that runs the traced program lives here; the other commands are in the modules beside
this one.
"""

from __future__ import annotations

import argparse
import atexit
import builtins
import contextlib
import importlib
import importlib.machinery
import importlib.util
import os
import runpy
import signal
import sys
import threading
import types
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from vexo.cli.common import EXIT_FAILURE, EXIT_USAGE, CommandError, report, settings_of
from vexo.cli.options import build_parser, split_run_arguments
from vexo.common.console import STREAM_ERRORS, flush_quietly
from vexo.config import ConfigError, Settings
from vexo.db import (
    StoreError,
    document_trace_id,
    prepare_database,
    save_trace_in_sqlite,
    summarize_trace,
)
from vexo.recording.profiler import Profiler
from vexo.recording.runs import end_run, start_own_run
from vexo.recording.subprocesses import leave_children_untraced, program_ended, trace_children
from vexo.store.errors import UnreachableError
from vexo.store.locations import shown_from

__all__ = ["build_parser", "main"]

EXIT_INTERRUPTED = 130  # what a shell shows for a program ended by Ctrl-C

_OWN_FILE = (lambda: None).__code__.co_filename


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    head, program_args = split_run_arguments(arguments)
    options = parser.parse_args(head)
    options.arguments = arguments
    if options.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        return _command(options.command)(options, program_args)
    except CommandError as error:
        report(str(error))
        return error.status
    except BrokenPipeError:
        # The reader went away (`vexo show | head`): not an error of ours. Python would complain
        # again when it flushes stdout at exit, so point stdout at nothing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE


# vexo run


def command_run(options: argparse.Namespace, program_args: list[str]) -> int:
    if (options.module is None) == (options.script is None):
        raise CommandError("run: give either a SCRIPT or -m MODULE", EXIT_USAGE)
    try:
        settings = settings_of(options).overridden(
            include=options.include,
            ignore=options.ignore,
            threading=options.threading,
            lightweight_repr=options.lightweight_repr,
            values=options.values,
            busy_timeout=options.busy_timeout,
            backend=options.backend,
            subprocesses=options.subprocesses,
            scrub=options.scrub,
            scrub_names=options.scrub_name,
            scrub_patterns=options.scrub_pattern,
        )
    except ConfigError as error:
        raise CommandError(str(error), EXIT_USAGE) from None
    cwd = os.getcwd()
    if options.module is not None:
        program = ModuleProgram(options.module, program_args)
    else:
        program = script_program(options.script, program_args)
    program.prepare()  # before the database, so that a program not found leaves none behind
    run_id = None
    try:
        prepare_database(settings.db_path, timeout=settings.busy_timeout)
        run_id = start_own_run(
            settings.db_path, _command_text(options), timeout=settings.busy_timeout
        )
    except UnreachableError:
        pass  # a server that is down holds nothing up: the program runs, and the save says why
    except StoreError as error:
        raise CommandError(str(error)) from None
    given_argv = list(sys.argv)
    profiler = Profiler(settings.profiler_config(), db_path=settings.db_path, source=program.source)
    if settings.subprocesses:
        trace_children(settings.db_path, profiler.config, profiler)
    else:
        leave_children_untraced()
    status = trace_program(program, profiler)
    with _text_list_argv(given_argv):
        status = save_program_trace(profiler, settings, status, cwd)
    program_ended()
    if run_id is not None:
        end_run(settings.db_path, run_id, keep_runs=settings.keep_runs)
    return status


def _command_text(options: argparse.Namespace) -> str:
    import shlex

    return shlex.join(["vexo", *options.arguments])


class ScriptProgram:
    """A script file, run as `python SCRIPT`."""

    def __init__(self, script: str, args: list[str]) -> None:
        self.script = script
        self.path = os.path.abspath(script)
        self.args = args
        self.source = f"script {script}"
        self.code: bytes = b""

    def prepare(self) -> None:
        try:
            with open(self.path, "rb") as file:
                self.code = file.read()
        except OSError as error:
            raise CommandError(
                f"can't open file {self.path!r}: [Errno {error.errno}] {error.strerror}",
                EXIT_USAGE,
            ) from None
        sys.argv = [self.script, *self.args]
        # As python: the folder of the script, symbolic links resolved.
        _set_first_path(os.path.dirname(os.path.realpath(self.path)))

    def execute(self) -> None:
        module = _new_main_module()
        module.__file__ = self.path
        module.__loader__ = importlib.machinery.SourceFileLoader("__main__", self.path)
        code = compile(self.code, self.path, "exec", dont_inherit=True)
        exec(code, module.__dict__)


class ModuleProgram:
    """A module, run as `python -m MODULE` (a package runs its __main__ module)."""

    def __init__(self, name: str, args: list[str], *, argv0: str = "-m") -> None:
        self.name = name
        self.args = args
        self.argv0 = argv0
        self.source = f"module {name}"

    def prepare(self) -> None:
        sys.argv = [self.argv0, *self.args]
        _set_first_path(os.getcwd())
        self.check()

    def check(self) -> None:
        """Fails as python does when the module cannot be found, before any tracing."""
        find: Callable[[str], Any] | None = getattr(runpy, "_get_module_details", None)
        try:
            if find is not None:
                find(self.name)
            elif importlib.util.find_spec(self.name) is None:
                raise ImportError(f"No module named {self.name}")
        except ImportError as error:
            raise CommandError(str(error)) from None
        except Exception as error:
            raise CommandError(
                f"Error while looking up module {self.name!r} ({type(error).__name__}: {error})"
            ) from None

    def execute(self) -> None:
        _new_main_module()
        # What `python -m` itself calls, so tracebacks show the same frames.
        run_as_main = getattr(runpy, "_run_module_as_main", None)
        if run_as_main is not None:
            run_as_main(self.name, alter_argv=self.argv0 == "-m")
        else:  # pragma: no cover - only for interpreters without it
            runpy.run_module(self.name, run_name="__main__", alter_sys=True)


class PathProgram(ModuleProgram):
    """A folder or zip file holding __main__.py, run as python runs it."""

    def __init__(self, path: str, args: list[str]) -> None:
        super().__init__("__main__", args, argv0=path)
        self.path = os.path.abspath(path)
        self.source = f"script {path}"

    def prepare(self) -> None:
        sys.argv = [self.argv0, *self.args]
        _set_first_path(self.path)
        finder = importlib.machinery.PathFinder.find_spec("__main__", [self.path])
        if finder is None:
            raise CommandError(f"can't find '__main__' module in {self.argv0!r}")

    def execute(self) -> None:
        _new_main_module()
        run_as_main = getattr(runpy, "_run_module_as_main", None)
        if run_as_main is not None:
            run_as_main("__main__", alter_argv=False)
        else:  # pragma: no cover - only for interpreters without it
            runpy.run_path(self.path, run_name="__main__")


def script_program(script: str, args: list[str]) -> ScriptProgram | PathProgram:
    if os.path.isdir(script) or (os.path.isfile(script) and _is_zip_archive(script)):
        return PathProgram(script, args)
    return ScriptProgram(script, args)


def _is_zip_archive(path: str) -> bool:
    """Whether python would run the file as a zip archive: its own zip importer takes it."""
    import zipimport  # built in and already loaded, unlike zipfile

    try:
        zipimport.zipimporter(path)
    except zipimport.ZipImportError:
        return False
    return True


def _set_first_path(folder: str) -> None:
    """Puts the program's folder where python would, in place of vexo's own (the folder of the
    `vexo` command, or the current one under `python -m vexo`)."""
    if getattr(sys.flags, "safe_path", False):
        return  # python -P: neither vexo's folder nor the program's is on the path
    if sys.path:
        sys.path[0] = folder
    else:
        sys.path.insert(0, folder)


def _new_main_module() -> types.ModuleType:
    module = types.ModuleType("__main__")
    module.__builtins__ = builtins  # type: ignore[attr-defined]
    module.__annotations__ = {}
    module.__cached__ = None  # type: ignore[attr-defined]
    module.__spec__ = None
    sys.modules["__main__"] = module
    return module


def trace_program(program: ScriptProgram | ModuleProgram, profiler: Profiler) -> int:
    """Runs the program under the profiler; the exit status python would give it."""
    # Registered before the program registers its own, so that it runs after them.
    atexit.register(_end_by_sigint_if_interrupted)
    try:
        profiler.start()
    except Exception as error:
        raise CommandError(f"cannot start tracing: {error}") from None
    try:
        try:
            program.execute()
        except SystemExit as exit:
            status = exit_status(exit)
        except BaseException as error:
            report_uncaught(error)
            status = EXIT_FAILURE
            if isinstance(error, KeyboardInterrupt):
                status = EXIT_INTERRUPTED
                _interruption.uncaught = True
        else:
            status = 0
        # As at the interpreter's exit: the program's threads finish before it ends, and they
        # belong to its trace.
        try:
            wait_for_threads()
        except KeyboardInterrupt:
            status = status or EXIT_INTERRUPTED
    finally:
        profiler.stop()
    return status


class _interruption:  # noqa: N801 - a namespace for one flag
    uncaught = False


def _end_by_sigint_if_interrupted() -> None:
    """Python ends a program that an uncaught KeyboardInterrupt stopped by SIGINT (after its exit
    callbacks), so that the shell, or a script that ran it, sees the interruption and stops too;
    the status 130 stands only where the signal cannot be sent."""
    if not _interruption.uncaught:
        return
    flush_quietly("stdout", "stderr")
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    except (OSError, ValueError):
        pass


def exit_status(exit: SystemExit) -> int:
    """The status for `sys.exit(code)`, printing a code that is not a number as python does."""
    code = exit.code
    if code is None:
        return 0
    if isinstance(code, int):
        return int(code)
    flush_quietly("stdout")
    with contextlib.suppress(*STREAM_ERRORS):
        sys.stderr.write(f"{code}\n")
    flush_quietly("stderr")
    return EXIT_FAILURE


def report_uncaught(error: BaseException) -> None:
    """Prints an exception that ended the program, as python prints it: through sys.excepthook,
    with a traceback that starts where the program's own code (or runpy, for -m) begins."""
    traceback = error.__traceback__
    while traceback is not None and traceback.tb_frame.f_code.co_filename == _OWN_FILE:
        traceback = traceback.tb_next
    error.__traceback__ = traceback
    sys.last_type, sys.last_value, sys.last_traceback = type(error), error, traceback
    if sys.version_info >= (3, 12):
        sys.last_exc = error
    try:
        sys.excepthook(type(error), error, traceback)
    except BaseException as hook_error:
        _report_hook_failure(hook_error, error)


def _report_hook_failure(hook_error: BaseException, error: BaseException) -> None:
    try:
        sys.stderr.write("Error in sys.excepthook:\n")
        sys.__excepthook__(type(hook_error), hook_error, hook_error.__traceback__)
        sys.stderr.write("\nOriginal exception was:\n")
        sys.__excepthook__(type(error), error, error.__traceback__)
    except BaseException:
        pass


def wait_for_threads() -> None:
    """What the interpreter does before it exits: run threading's exit callbacks (which stop
    idle pool workers) and wait for every thread that is not a daemon."""
    shutdown = getattr(threading, "_shutdown", None)
    if shutdown is not None:
        shutdown()
        return
    current = threading.current_thread()  # pragma: no cover - every supported python has it
    while True:  # pragma: no cover
        pending = [
            t for t in threading.enumerate() if t is not current and not t.daemon and t.is_alive()
        ]
        if not pending:
            return
        for thread in pending:
            thread.join()


@contextlib.contextmanager
def _text_list_argv(given: list[str]) -> Iterator[None]:
    """The trace document holds sys.argv, which must then be a sequence of texts. A program that
    replaced it with anything else, or deleted it, gets the argv it was given in its trace, and
    its own value back afterwards (its exit callbacks may read it)."""
    missing = object()
    current = getattr(sys, "argv", missing)
    if isinstance(current, (list, tuple)) and all(isinstance(item, str) for item in current):
        yield
        return
    sys.argv = list(given)
    try:
        yield
    finally:
        if current is missing:
            del sys.argv
        else:
            sys.argv = current


def save_program_trace(profiler: Profiler, settings: Settings, status: int, cwd: str) -> int:
    """Stores the trace and reports it on standard error; a failure turns a successful exit
    status into 1."""
    flush_quietly("stdout")  # the program's output comes first
    try:
        document = profiler.build()
        trace_id = document_trace_id(document) or profiler.trace_id
        save_trace_in_sqlite(
            settings.db_path, trace_id, timeout=settings.busy_timeout, msgpack=document, wait=True
        )
    except Exception as error:
        report(f"cannot save the trace: {error}")
        return status or EXIT_FAILURE
    records = summarize_trace(document).record_count or 0
    report(f"trace {trace_id} ({records} records) saved in {shown_from(settings.db_path, cwd)}")
    return status


# The other commands by module and function: a command imports only what it uses, so that
# `vexo run` starts the program without loading the store's reports or the explorer.
_COMMANDS = {
    "traces": ("store_commands", "command_traces"),
    "prune": ("store_commands", "command_prune"),
    "show": ("store_commands", "command_show"),
    "copy": ("store_commands", "command_copy"),
    "scrub": ("store_commands", "command_scrub"),
    "serve": ("viewer_commands", "command_serve"),
    "html": ("viewer_commands", "command_html"),
    "export": ("viewer_commands", "command_export"),
    "compare": ("viewer_commands", "command_compare"),
    "mcp": ("viewer_commands", "command_mcp"),
}


def _command(name: str) -> Callable[[argparse.Namespace, list[str]], int]:
    if name == "run":
        return command_run
    module, function = _COMMANDS[name]
    return getattr(importlib.import_module(f"vexo.cli.{module}"), function)


if __name__ == "__main__":
    sys.exit(main())
