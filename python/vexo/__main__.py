"""The command line (also as `python -m vexo`):

    vexo run [OPTIONS] SCRIPT [ARGS...]     trace a program as `python SCRIPT ARGS...` runs it
    vexo run [OPTIONS] -m MODULE [ARGS...]  ... or as `python -m MODULE ARGS...`
    vexo traces [--limit N] [--run latest|ID] [--json]   list the stored traces, newest first
    vexo prune [--keep-runs N] [--older-than 7d] [--max-size 2GB]   delete the oldest runs
    vexo show [TRACE_ID] [--json]          a trace's call tree per thread (default: the newest)
    vexo serve [--port N] [--open]         explore the traces in the browser
    vexo html [TRACE_ID] -o FILE           a trace as one self-contained HTML file
    vexo export [TRACE_ID] --format chrome|speedscope -o FILE

`--db PATH` works with every command. The program sees what it would see under `python`: its
`sys.argv`, `sys.path[0]`, a fresh `__main__` module, its standard streams untouched, and it
exits with the status python would give it (an uncaught exception prints the same traceback and
gives 1). vexo's own line, naming the stored trace, goes to standard error after the program's
output. After an uncaught KeyboardInterrupt it ends by SIGINT, as python does, once the exit
callbacks have run.

The tracer leaves this file's frames out of traces, so the code that runs the traced program
lives here.
"""

from __future__ import annotations

import argparse
import atexit
import builtins
import contextlib
import importlib.machinery
import importlib.util
import json
import os
import runpy
import signal
import sys
import threading
import types
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from vexo.config import VALUES_MODES, ConfigError, Settings, load_settings
from vexo.db import (
    StoreError,
    document_trace_id,
    latest_run_id,
    list_traces,
    load_trace,
    prepare_database,
    save_trace_in_sqlite,
    store_size,
    summarize_trace,
)
from vexo.profiler import BACKENDS, Profiler
from vexo.runs import end_run, start_own_run
from vexo.store.locations import absolute, is_server_url, shown
from vexo.subprocesses import leave_children_untraced, trace_children
from vexo.version import __version__

__all__ = ["main"]

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # what a shell shows for a program ended by Ctrl-C

_OWN_FILE = (lambda: None).__code__.co_filename
# Options of `vexo run` that take a value; everything after the script (or -m MODULE) is the
# program's, even when it looks like one of ours.
_RUN_VALUE_OPTIONS = frozenset({"--db", "--include", "--ignore", "--busy-timeout", "--backend"})


class CommandError(Exception):
    """A failure reported as one line on standard error, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


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
        return options.handler(options, program_args)
    except CommandError as error:
        _report(str(error))
        return error.status
    except BrokenPipeError:
        # The reader went away (`vexo show | head`): not an error of ours. Python would complain
        # again when it flushes stdout at exit, so point stdout at nothing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexo",
        description="Trace a Python program into a SQLite database and read the traces back.",
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"vexo {__version__}")
    _add_db_option(parser, argparse_default=None)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    run = commands.add_parser(
        "run",
        help="run a script or module under the tracer and store its trace",
        description="Run SCRIPT (or -m MODULE) as python would, with tracing on, then store "
        "the trace. Options override [tool.vexo] in pyproject.toml.",
        usage="vexo run [OPTIONS] (SCRIPT | -m MODULE) [ARGS...]",
        allow_abbrev=False,
    )
    _add_db_option(run)
    run.add_argument("-m", dest="module", metavar="MODULE", help="run a module, as python -m")
    run.add_argument("script", nargs="?", metavar="SCRIPT", help="the script to run")
    run.add_argument(
        "--include",
        action="append",
        metavar="FRAGMENT",
        help="record files whose path contains FRAGMENT, even in libraries (repeatable)",
    )
    run.add_argument(
        "--ignore",
        action="append",
        metavar="FRAGMENT",
        help="leave out files whose path contains FRAGMENT (repeatable)",
    )
    run.add_argument(
        "--threading",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also trace threads the program starts",
    )
    run.add_argument(
        "--lightweight-repr",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="store short dumps of values",
    )
    run.add_argument(
        "--values",
        choices=VALUES_MODES,
        help="how values are stored: safe (default: bounded, never runs the program's code), "
        "repr (bounded, with repr() of objects) or full (whole values, with repr())",
    )
    run.add_argument(
        "--backend",
        choices=BACKENDS,
        help="how the tracer is driven: the monitoring interface (3.12+), the profile hook, or "
        "auto (monitoring where there is one)",
    )
    run.add_argument(
        "--subprocesses",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also trace the Python processes the program starts (default: on)",
    )
    run.add_argument(
        "--busy-timeout",
        type=int,
        metavar="SECONDS",
        help="how long to wait for other processes writing to the database",
    )
    run.set_defaults(handler=command_run)

    traces = commands.add_parser(
        "traces", help="list stored traces, newest first", allow_abbrev=False
    )
    _add_db_option(traces)
    traces.add_argument("-n", "--limit", type=int, metavar="N", help="list at most N traces")
    traces.add_argument(
        "--run", metavar="latest|RUN_ID", help="list the traces of one run (latest: the last)"
    )
    traces.add_argument("--json", action="store_true", help="print JSON")
    traces.set_defaults(handler=command_traces)

    prune = commands.add_parser(
        "prune",
        help="delete the oldest runs and give their space back",
        description="Delete whole runs, the oldest first; the options combine.",
        allow_abbrev=False,
    )
    _add_db_option(prune)
    prune.add_argument("--keep-runs", type=int, metavar="N", help="keep the newest N runs")
    prune.add_argument(
        "--older-than", metavar="AGE", help="delete runs idle for longer than AGE (7d, 12h, 2w)"
    )
    prune.add_argument(
        "--max-size", metavar="SIZE", help="delete the oldest runs until under SIZE (2GB, 500MB)"
    )
    prune.set_defaults(handler=command_prune)

    show = commands.add_parser(
        "show",
        help="print a trace's call tree per thread",
        description="Print the call tree of each thread of a trace: qualified name, arguments, "
        "return value, file and line, and duration.",
        allow_abbrev=False,
    )
    _add_db_option(show)
    show.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="default: the newest")
    show.add_argument("--json", action="store_true", help="print the tree as JSON")
    show.set_defaults(handler=command_show)

    copy = commands.add_parser(
        "copy",
        help="copy the traces of one store into another",
        description="Copy every trace of the store FROM that the store TO does not hold yet, "
        "documents as they are stored. Each is a SQLite file's path or a postgresql:// URL.",
        allow_abbrev=False,
    )
    copy.add_argument("--from", dest="source", required=True, metavar="FROM")
    copy.add_argument("--to", dest="destination", required=True, metavar="TO")
    copy.set_defaults(handler=command_copy)
    _add_viewer_commands(commands)
    return parser


def _add_viewer_commands(commands: Any) -> None:
    serve = commands.add_parser(
        "serve",
        help="explore the stored traces in the browser (read-only)",
        allow_abbrev=False,
    )
    _add_db_option(serve)
    serve.add_argument(
        "--host", default="127.0.0.1", help="address to listen on (default: %(default)s)"
    )
    serve.add_argument(
        "--port", type=int, default=8765, help="0 picks a free port (default: %(default)s)"
    )
    serve.add_argument("--open", action="store_true", help="open the page in the web browser")
    serve.set_defaults(handler=command_serve)

    html = commands.add_parser(
        "html", help="write a trace as one self-contained HTML file", allow_abbrev=False
    )
    _add_db_option(html)
    html.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="default: the newest")
    html.add_argument("-o", "--output", required=True, metavar="FILE")
    html.add_argument(
        "--max-size",
        type=int,
        default=64,
        metavar="MIB",
        help="leave values out beyond this size, so that browsers can open the file (default: 64)",
    )
    html.set_defaults(handler=command_html)

    export = commands.add_parser(
        "export", help="write a trace for Perfetto (chrome) or speedscope", allow_abbrev=False
    )
    _add_db_option(export)
    export.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="default: the newest")
    export.add_argument("--format", required=True, choices=("chrome", "speedscope"))
    export.add_argument("-o", "--output", required=True, metavar="FILE")
    export.set_defaults(handler=command_export)


def _add_db_option(parser: argparse.ArgumentParser, argparse_default: Any = argparse.SUPPRESS):
    # Given before or after the command; the command's own default must not hide the first.
    parser.add_argument(
        "--db",
        metavar="PATH",
        default=argparse_default,
        help="the trace database (default: [tool.vexo] db, else .vexo/db.sqlite3)",
    )


def split_run_arguments(arguments: list[str]) -> tuple[list[str], list[str]]:
    """(vexo's arguments, the program's arguments): for `run`, what follows the script or the
    module name belongs to the program."""
    index = 0
    while index < len(arguments) and arguments[index].startswith("-"):
        index += 2 if arguments[index] == "--db" else 1
    if index >= len(arguments) or arguments[index] != "run":
        return arguments, []
    index += 1
    while index < len(arguments):
        argument = arguments[index]
        if argument in ("--", "-m"):
            end = index + 2
        elif argument.startswith("-m") and not argument.startswith("--"):
            end = index + 1
        elif argument in _RUN_VALUE_OPTIONS:
            index += 2
            continue
        elif argument.startswith("-") and argument != "-":
            index += 1
            continue
        else:
            end = index + 1
        return arguments[:end], arguments[end:]
    return arguments, []


def _settings(options: argparse.Namespace) -> Settings:
    try:
        settings = load_settings()
        return settings.overridden(db_path=options.db)
    except ConfigError as error:
        raise CommandError(str(error)) from None


def _report(message: str) -> None:
    try:
        sys.stderr.write(f"vexo: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


# vexo run


def command_run(options: argparse.Namespace, program_args: list[str]) -> int:
    if (options.module is None) == (options.script is None):
        raise CommandError("run: give either a SCRIPT or -m MODULE", EXIT_USAGE)
    try:
        settings = _settings(options).overridden(
            include=options.include,
            ignore=options.ignore,
            threading=options.threading,
            lightweight_repr=options.lightweight_repr,
            values=options.values,
            busy_timeout=options.busy_timeout,
            backend=options.backend,
            subprocesses=options.subprocesses,
        )
    except ConfigError as error:
        raise CommandError(str(error), EXIT_USAGE) from None
    try:
        prepare_database(settings.db_path, timeout=settings.busy_timeout)
    except StoreError as error:
        raise CommandError(str(error)) from None
    cwd = os.getcwd()
    if options.module is not None:
        program = ModuleProgram(options.module, program_args)
    else:
        program = script_program(options.script, program_args)
    program.prepare()
    try:
        run_id = start_own_run(
            settings.db_path, _command_text(options), timeout=settings.busy_timeout
        )
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
    import zipfile

    if os.path.isdir(script) or (os.path.isfile(script) and zipfile.is_zipfile(script)):
        return PathProgram(script, args)
    return ScriptProgram(script, args)


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
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
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
    try:
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):
        pass
    try:
        sys.stderr.write(f"{code}\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
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
    try:
        sys.stdout.flush()  # the program's output comes first
    except (OSError, ValueError, AttributeError):
        pass
    try:
        document = profiler.build()
        trace_id = document_trace_id(document) or profiler.trace_id
        save_trace_in_sqlite(
            settings.db_path, trace_id, timeout=settings.busy_timeout, msgpack=document, wait=True
        )
    except Exception as error:
        _report(f"cannot save the trace: {error}")
        return status or EXIT_FAILURE
    records = summarize_trace(document).record_count or 0
    _report(f"trace {trace_id} ({records} records) saved in {display_path(settings.db_path, cwd)}")
    return status


def display_path(path: str, cwd: str) -> str:
    """A store's location as messages show it: a file under `cwd` by its relative path, a
    server's URL without its password."""
    if is_server_url(path):
        return shown(path)
    relative = os.path.relpath(path, cwd)
    return path if relative.startswith(os.pardir) else relative


# vexo traces


def command_traces(options: argparse.Namespace, program_args: list[str]) -> int:
    settings = _settings(options)
    if options.limit is not None and options.limit < 0:
        raise CommandError("traces: --limit must be 0 or more", EXIT_USAGE)
    try:
        run_id = _run_asked(settings, options.run)
        summaries = list_traces(settings.db_path, limit=options.limit, run_id=run_id)
    except StoreError as error:
        raise CommandError(str(error)) from None
    if options.json:
        rows = [summary._asdict() for summary in summaries]
        json.dump(rows, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    from vexo.family import in_family_order, source_text
    from vexo.prune import size_text
    from vexo.show import time_text

    size = f"{shown(settings.db_path)} takes {size_text(store_size(settings.db_path))}"
    if not summaries:
        print(f"no traces{'' if run_id is None else ' of run ' + run_id} in {size}")
        return 0
    listed = {summary.trace_id for summary in summaries}
    print(f"{'TRACE ID':<30}  {'STORED':<19}  {'RECORDS':>8}  {'SIZE':>9}  SOURCE")
    for summary, depth in in_family_order(summaries):
        records = "?" if summary.record_count is None else str(summary.record_count)
        print(
            f"{summary.trace_id:<30}  {time_text(summary.stored_at):<19}  {records:>8}"
            f"  {size_text(summary.size):>9}  {source_text(summary, depth, listed)}"
        )
    print(f"{len(summaries)} traces{'' if run_id is None else ' of run ' + run_id}; {size}")
    return 0


def _run_asked(settings: Settings, run: str | None) -> str | None:
    """The run id `--run` names: "latest" is the run started last."""
    if run != "latest":
        return run
    latest = latest_run_id(settings.db_path)
    if latest is None:
        raise CommandError(f"no runs in {shown(settings.db_path)}")
    return latest


# vexo prune


def command_prune(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.prune import prune_store

    settings = _settings(options)
    try:
        report = prune_store(
            settings.db_path,
            keep_runs=options.keep_runs,
            older_than=options.older_than,
            max_size=options.max_size,
            timeout=settings.busy_timeout,
        )
    except ValueError as error:
        raise CommandError(f"prune: {error}", EXIT_USAGE) from None
    except StoreError as error:
        raise CommandError(str(error)) from None
    print(report)
    return 0


# vexo show


def command_show(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.family import with_family
    from vexo.show import TraceFormatError, build_tree, dump_json, render_text

    settings = _settings(options)
    trace_id, document = _stored_trace(settings, options.trace_id)
    try:
        trace = build_tree(document)
    except TraceFormatError as error:
        raise CommandError(f"trace {trace_id} in {shown(settings.db_path)}: {error}") from None
    # Values are the traced program's: whatever the terminal cannot show is escaped.
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="backslashreplace")
    if options.json:
        dump_json(trace, sys.stdout.write)
        sys.stdout.write("\n")
    else:
        for line in with_family(render_text(trace), _family_lines(settings, trace_id)):
            sys.stdout.write(line + "\n")
    sys.stdout.flush()
    return 0


def command_copy(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.copying import copy_traces
    from vexo.progress import Progress

    source, destination = absolute(options.source), absolute(options.destination)
    if source == destination:
        raise CommandError("the two stores are the same")
    settings = _settings(options)
    try:
        read, added = copy_traces(
            source, destination, timeout=settings.busy_timeout, progress=Progress("copying")
        )
    except StoreError as error:
        raise CommandError(str(error)) from None
    print(f"copied {added} of {read} traces from {shown(source)} to {shown(destination)}")
    return 0


def _family_lines(settings: Settings, trace_id: str) -> list[str]:
    from vexo.family import family_lines

    try:
        return family_lines(trace_id, list_traces(settings.db_path))
    except StoreError as error:
        raise CommandError(str(error)) from None


def _stored_trace(settings: Settings, trace_id: str | None) -> tuple[str, bytes]:
    """(id, document) of the trace asked for, or of the newest one."""
    try:
        if trace_id is None:
            newest = list_traces(settings.db_path, limit=1)
            if not newest:
                raise CommandError(f"no traces in {shown(settings.db_path)}")
            trace_id = newest[0].trace_id
        return trace_id, load_trace(settings.db_path, trace_id)
    except StoreError as error:
        raise CommandError(str(error)) from None


# vexo serve, vexo html, vexo export


def command_serve(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.serve import serve

    settings = _settings(options)
    try:
        list_traces(settings.db_path, limit=1)  # a database that cannot be read fails here
    except StoreError as error:
        raise CommandError(str(error)) from None
    if options.host not in ("127.0.0.1", "localhost", "::1"):
        _report(f"serve: listening on {options.host}: the traces hold the program's data")
    try:
        serve(settings.db_path, options.host, options.port, options.open, _announce)
    except OSError as error:
        message = f"serve: cannot listen on {options.host}:{options.port}: {error}"
        raise CommandError(message) from None
    return 0


def _announce(url: str) -> None:
    print(f"vexo: serving the traces at {url} (Ctrl-C stops)", flush=True)


def _trace_index(options: argparse.Namespace, what: str) -> Any:
    from vexo.progress import Progress
    from vexo.show import TraceFormatError
    from vexo.traceindex import TraceIndex

    settings = _settings(options)
    trace_id, document = _stored_trace(settings, options.trace_id)
    try:
        return TraceIndex(document, Progress(f"{what}: reading records"))
    except TraceFormatError as error:
        raise CommandError(f"trace {trace_id} in {shown(settings.db_path)}: {error}") from None


def command_html(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.html import TooLarge, render_html
    from vexo.progress import Progress

    index = _trace_index(options, "html")
    header = index.header
    summary = {
        "trace_id": header["trace_id"],
        "stored_at": header["started_at"],
        "started_at": header["started_at"],
        "source": header["source"],
        "record_count": header["records"],
        "size": index.size,
        "outcome": None,
    }
    try:
        text, left_out = render_html(
            index, summary, options.max_size << 20, Progress("html: writing values")
        )
    except TooLarge as error:
        raise CommandError(f"html: {error}; raise --max-size or use vexo serve") from None
    _write_output(options.output, lambda out: out.write(text))
    if left_out:
        _report(
            f"html: left out the values of {left_out} of {len(index)} nodes to stay under"
            f" {options.max_size} MiB (raise --max-size)"
        )
    return 0


def command_export(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.export import FORMATS
    from vexo.progress import Progress

    index = _trace_index(options, "export")
    write = FORMATS[options.format]
    _write_output(options.output, lambda out: write(index, out, Progress("export: writing")))
    return 0


def _write_output(path: str, write: Callable[[Any], Any]) -> None:
    try:
        with open(path, "w", encoding="utf-8") as out:
            write(out)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error}") from None


if __name__ == "__main__":
    sys.exit(main())
