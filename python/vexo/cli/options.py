"""The command line's options: one parser for every command, and where the arguments of a traced
program begin."""

from __future__ import annotations

import argparse
from typing import Any

from vexo.config import VALUES_MODES
from vexo.recording.profiler import BACKENDS
from vexo.trace.summary import KINDS
from vexo.version import __version__

__all__ = ["build_parser", "split_run_arguments"]

# Options of `vexo run` that take a value; everything after the script (or -m MODULE) is the
# program's, even when it looks like one of ours.
_RUN_VALUE_OPTIONS = frozenset(
    {
        "--db",
        "--include",
        "--ignore",
        "--busy-timeout",
        "--backend",
        "--values",
        "--scrub-name",
        "--scrub-pattern",
    }
)


def build_parser() -> argparse.ArgumentParser:
    """Every command's options; `options.command` names the command given."""
    parser = argparse.ArgumentParser(
        prog="vexo",
        description="Trace a Python program into a trace store (a SQLite file or a PostgreSQL "
        "server) and read the traces back.",
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
    _add_switch(run, "--threading", "also trace threads the program starts")
    _add_switch(run, "--lightweight-repr", "store short dumps of values")
    run.add_argument(
        "--values",
        choices=VALUES_MODES,
        help="how values are stored: safe (default: bounded, never runs the program's code), "
        "repr (bounded, with repr() of objects) or full (whole values, with repr())",
    )
    _add_switch(run, "--scrub", "replace secrets in stored values (default: on)")
    run.add_argument(
        "--scrub-name",
        action="append",
        metavar="NAME",
        help="also scrub values whose name holds NAME (repeatable)",
    )
    run.add_argument(
        "--scrub-pattern",
        action="append",
        metavar="REGEX",
        help="also scrub the parts of texts that REGEX matches (repeatable)",
    )
    run.add_argument(
        "--backend",
        choices=BACKENDS,
        help="how the tracer is driven: the monitoring interface (3.12+), the profile hook, or "
        "auto (monitoring where there is one)",
    )
    _add_switch(
        run, "--subprocesses", "also trace the Python processes the program starts (default: on)"
    )
    run.add_argument(
        "--busy-timeout",
        type=int,
        metavar="SECONDS",
        help="how long to wait for other processes writing to the database",
    )

    traces = commands.add_parser(
        "traces",
        help="list stored traces, newest first",
        description="List the stored traces, newest first, each under the trace of the process "
        "that started it, then how many there are and what the store takes.",
        allow_abbrev=False,
    )
    _add_db_option(traces)
    traces.add_argument("-n", "--limit", type=int, metavar="N", help="list at most N traces")
    traces.add_argument(
        "--run", metavar="latest|RUN_ID", help="list the traces of one run (latest: the last)"
    )
    traces.add_argument(
        "--failed", action="store_true", help="only failed tests and requests (5xx or raised)"
    )
    traces.add_argument(
        "--outcome",
        metavar="OUTCOME",
        help="only traces that ended so: passed, failed, error or skipped for a test, the status"
        " code (500) or error for a request",
    )
    traces.add_argument("--kind", choices=KINDS, help="only traces of one kind")
    traces.add_argument(
        "--test", metavar="PATTERN", help="only tests whose node id holds PATTERN (* for any text)"
    )
    traces.add_argument("--json", action="store_true", help="print JSON")

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

    scrub = commands.add_parser(
        "scrub",
        help="replace the secrets in the traces already stored",
        description="Rewrite every stored trace that holds a secret with the current scrub rules "
        "([tool.vexo] scrub-names and scrub-patterns included), in place.",
        allow_abbrev=False,
    )
    _add_db_option(scrub)

    show = commands.add_parser(
        "show",
        help="print a trace's call tree per thread",
        description="Print the call tree of each thread of a trace: qualified name, arguments, "
        "return value, file and line, and duration.",
        allow_abbrev=False,
    )
    _add_db_option(show)
    show.add_argument(
        "trace_id",
        nargs="?",
        metavar="TRACE_ID",
        help="default: the newest (a unique prefix will do)",
    )
    show.add_argument(
        "--last-failed", action="store_true", help="the newest failed test or request"
    )
    show.add_argument("--json", action="store_true", help="print the tree as JSON")
    show.add_argument(
        "--steps",
        action="store_true",
        help="print each step of a generator or coroutine under its call (each resumption)",
    )

    copy = commands.add_parser(
        "copy",
        help="copy the traces of one store into another",
        description="Copy every trace of the store FROM that the store TO does not hold yet, "
        "documents as they are stored. Each is a SQLite file's path or a postgresql:// URL.",
        allow_abbrev=False,
    )
    copy.add_argument(
        "--from", dest="source", required=True, metavar="FROM", help="the store to copy from"
    )
    copy.add_argument(
        "--to", dest="destination", required=True, metavar="TO", help="the store to copy into"
    )
    _add_viewer_commands(commands)
    return parser


def _add_viewer_commands(commands: Any) -> None:
    serve = commands.add_parser(
        "serve",
        help="explore the stored traces in the browser (read-only)",
        description="Serve a page that lists the stored traces and explores them: the call tree, "
        "each call's values, search, functions, timeline and comparison. Nothing is changed.",
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

    html = commands.add_parser(
        "html",
        help="write a trace as one self-contained HTML file",
        description="Write one trace as an HTML file that explores it as vexo serve does, "
        "offline: it needs neither vexo nor a network to open.",
        allow_abbrev=False,
    )
    _add_db_option(html)
    html.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="default: the newest")
    html.add_argument("-o", "--output", required=True, metavar="FILE", help="the file to write")
    html.add_argument(
        "--max-size",
        type=int,
        default=64,
        metavar="MIB",
        help="leave values out beyond this size, so that browsers can open the file (default: 64)",
    )

    compare = commands.add_parser(
        "compare",
        help="compare two traces' calls, or a failed test with its last passing run",
        description="Print where the calls of two traces part and the values that differ at "
        "matching calls. With --last-passing, the right one is the newest passing run of the "
        "same test (or request) stored before the left one.",
        allow_abbrev=False,
    )
    _add_db_option(compare)
    compare.add_argument(
        "traces", nargs="*", metavar="TRACE_ID", help="LEFT RIGHT; LEFT alone with --last-passing"
    )
    compare.add_argument(
        "--last-passing",
        action="store_true",
        help="compare with the last passing run (default LEFT: the newest failed trace)",
    )

    mcp = commands.add_parser(
        "mcp",
        help="serve the traces to a coding agent over MCP on stdio (read-only)",
        description="Serve the stored traces read-only over the Model Context Protocol on "
        "standard input and output, for a coding agent: list traces, a failure's story, search "
        "values, one call's values, a failed test beside its last passing run. Needs the MCP "
        "SDK: pip install 'vexo[mcp]'.",
        allow_abbrev=False,
    )
    _add_db_option(mcp)

    export = commands.add_parser(
        "export",
        help="write a trace for Perfetto (chrome) or speedscope",
        description="Write one trace's calls with their times, as the Chrome trace event format "
        "(read by Perfetto and chrome://tracing) or as a speedscope profile.",
        allow_abbrev=False,
    )
    _add_db_option(export)
    export.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="default: the newest")
    export.add_argument(
        "--format",
        required=True,
        choices=("chrome", "speedscope"),
        help="chrome: trace events for Perfetto; speedscope: a speedscope profile",
    )
    export.add_argument("-o", "--output", required=True, metavar="FILE", help="the file to write")


def _add_switch(parser: argparse.ArgumentParser, name: str, help_text: str) -> None:
    """--NAME and --no-NAME; neither leaves the configured value (None)."""
    parser.add_argument(name, action=argparse.BooleanOptionalAction, default=None, help=help_text)


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
