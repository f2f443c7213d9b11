"""The commands that show a trace outside the terminal, or beside another: `vexo serve`,
`vexo html`, `vexo export`, `vexo compare`, and `vexo mcp` for a coding agent."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from vexo.cli.common import EXIT_USAGE, CommandError, report, settings_of
from vexo.cli.store_commands import stored_trace
from vexo.db import StoreError, list_traces
from vexo.store.locations import shown

__all__ = ["command_compare", "command_export", "command_html", "command_mcp", "command_serve"]


def command_serve(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.explore.serve import serve

    if not 0 <= options.port <= 65535:
        raise CommandError("serve: --port must be from 0 to 65535", EXIT_USAGE)
    settings = settings_of(options)
    try:
        list_traces(settings.db_path, limit=1)  # a database that cannot be read fails here
    except StoreError as error:
        raise CommandError(str(error)) from None
    if options.host not in ("127.0.0.1", "localhost", "::1"):
        report(f"serve: listening on {options.host}: the traces hold the program's data")
    try:
        serve(settings.db_path, options.host, options.port, options.open, _announce)
    except OSError as error:
        message = f"serve: cannot listen on {options.host}:{options.port}: {error}"
        raise CommandError(message) from None
    return 0


def _announce(url: str) -> None:
    print(f"vexo: serving the traces at {url} (Ctrl-C stops)", flush=True)


def _trace_index(options: argparse.Namespace, what: str) -> Any:
    from vexo.explore.progress import Progress
    from vexo.trace.index import TraceIndex
    from vexo.trace.model import TraceFormatError

    settings = settings_of(options)
    trace_id, document = stored_trace(settings, options.trace_id)
    try:
        return TraceIndex(document, Progress(f"{what}: reading records"))
    except TraceFormatError as error:
        raise CommandError(f"trace {trace_id} in {shown(settings.db_path)}: {error}") from None


def command_html(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.explore.html import TooLarge, render_html
    from vexo.explore.progress import Progress

    index = _trace_index(options, "html")
    try:
        progress = Progress("html: writing values")
        text, left_out = render_html([index], options.max_size << 20, progress)
    except TooLarge as error:
        raise CommandError(f"html: {error}; raise --max-size or use vexo serve") from None
    _write_output(options.output, lambda out: out.write(text))
    if left_out:
        report(
            f"html: left out the values of {left_out} of {len(index)} nodes to stay under"
            f" {options.max_size} MiB (raise --max-size)"
        )
    return 0


def command_compare(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.db import last_passing
    from vexo.explore.compare import compare, compare_lines
    from vexo.trace.index import TraceIndex
    from vexo.trace.model import TraceFormatError

    given = options.traces
    if len(given) > 1 if options.last_passing else len(given) != 2:
        raise CommandError(
            "compare: give LEFT and RIGHT, or at most LEFT with --last-passing", EXIT_USAGE
        )
    settings = settings_of(options)
    left_id, left = stored_trace(settings, given[0] if given else None, last_failed=True)
    # Without an id, --last-passing starts from the newest failed test or request.
    if options.last_passing:
        try:
            passing = last_passing(settings.db_path, left_id)
        except StoreError as error:
            raise CommandError(str(error)) from None
        if passing is None:
            raise CommandError(f"compare: no passing run of the trace {left_id} stored before it")
        right_id, right = stored_trace(settings, passing.trace_id)
    else:
        right_id, right = stored_trace(settings, given[1])
    try:
        indexes = [TraceIndex(document) for document in (left, right)]
    except TraceFormatError as error:
        raise CommandError(f"compare: {error}") from None
    for line in compare_lines(compare(*indexes)):
        print(line)
    return 0


def command_export(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.explore.export import FORMATS
    from vexo.explore.progress import Progress

    index = _trace_index(options, "export")
    write = FORMATS[options.format]
    _write_output(options.output, lambda out: write(index, out, Progress("export: writing")))
    return 0


def command_mcp(options: argparse.Namespace, program_args: list[str]) -> int:
    settings = settings_of(options)
    try:
        from vexo.integrations.mcp import serve_stdio
    except ImportError as error:
        if (error.name or "").partition(".")[0] != "mcp":
            raise
        raise CommandError(
            "mcp: needs the MCP SDK (version 2): pip install 'vexo[mcp]'", EXIT_USAGE
        ) from None
    # A store that cannot be read is each tool's error, which the agent sees.
    serve_stdio(str(settings.db_path))
    return 0


def _write_output(path: str, write: Callable[[Any], Any]) -> None:
    try:
        with open(path, "w", encoding="utf-8") as out:
            write(out)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error}") from None
