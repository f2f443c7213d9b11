"""The commands that read or change the store: `vexo traces`, `vexo prune`, `vexo show`,
`vexo copy` and `vexo scrub`."""

from __future__ import annotations

import argparse
import json
import os
import sys

from vexo.cli.common import EXIT_USAGE, CommandError, settings_of
from vexo.config import Settings
from vexo.db import (
    StoreError,
    asked_run_id,
    asked_trace_id,
    count_traces,
    list_traces,
    load_trace,
    store_size,
)
from vexo.store.locations import absolute, is_server_url, shown

__all__ = [
    "command_copy",
    "command_prune",
    "command_scrub",
    "command_show",
    "command_traces",
    "stored_trace",
]


def command_traces(options: argparse.Namespace, program_args: list[str]) -> int:
    settings = settings_of(options)
    if options.limit is not None and options.limit < 0:
        raise CommandError("traces: --limit must be 0 or more", EXIT_USAGE)
    try:
        run_id = asked_run_id(settings.db_path, options.run)
        filters = {
            "run_id": run_id,
            "kind": options.kind,
            "outcome": options.outcome,
            "failed": options.failed,
            "test": options.test,
        }
        summaries = list_traces(settings.db_path, limit=options.limit, **filters)
        total = len(summaries)
        if options.limit is not None and total == options.limit:
            total = count_traces(settings.db_path, **filters)
    except StoreError as error:
        raise CommandError(str(error)) from None
    if total == 0 and run_id is not None and not _run_has_traces(settings, run_id):
        # As `vexo show` with an unknown id: a run that left no trace is a failure to script.
        raise CommandError(f"no traces of run {run_id} in {shown(settings.db_path)}")
    if options.json:
        rows = [summary._asdict() for summary in summaries]
        json.dump(rows, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    from vexo.explore.family import in_family_order, source_text
    from vexo.store.prune import size_text
    from vexo.trace.text import time_text

    size = f"{shown(settings.db_path)} takes {size_text(store_size(settings.db_path))}"
    which = _which_traces(options, run_id, total)
    if total == 0:
        print(f"no {which} in {size}")
        return 0
    counted = f"{len(summaries)} of {total}" if len(summaries) < total else str(total)
    ending = f"{counted} {which}; {size}"
    if not summaries:
        print(ending)
        return 0
    listed = {summary.trace_id for summary in summaries}
    print(f"{'TRACE ID':<30}  {'STORED':<19}  {'RECORDS':>8}  {'SIZE':>9}  {'OUTCOME':<7}  SOURCE")
    for summary, depth in in_family_order(summaries):
        records = "?" if summary.record_count is None else str(summary.record_count)
        print(
            f"{summary.trace_id:<30}  {time_text(summary.stored_at):<19}  {records:>8}"
            f"  {size_text(summary.size):>9}  {summary.outcome or '':<7}"
            f"  {source_text(summary, depth, listed)}"
        )
    print(ending)
    return 0


def _which_traces(options: argparse.Namespace, run_id: str | None, total: int) -> str:
    """What the listing holds, in words: "failed traces of run run_1"."""
    noun = "trace" if total == 1 else "traces"
    words = ["failed" if options.failed else "", options.kind or "", noun]
    if options.outcome:
        words.append(f"ending {options.outcome}")
    if options.test:
        words.append(f"of tests matching {options.test}")
    if run_id is not None:
        words.append(f"of run {run_id}")
    return " ".join(word for word in words if word)


def _run_has_traces(settings: Settings, run_id: str) -> bool:
    try:
        return count_traces(settings.db_path, run_id=run_id) > 0
    except StoreError as error:
        raise CommandError(str(error)) from None


# vexo prune


def command_prune(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.store.prune import prune_store

    settings = settings_of(options)
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
    from vexo.explore.family import with_family
    from vexo.trace.model import TraceFormatError
    from vexo.trace.render import dump_json, render_text
    from vexo.trace.tree import build_tree

    settings = settings_of(options)
    if options.last_failed and options.trace_id is not None:
        raise CommandError("show: give either a TRACE_ID or --last-failed", EXIT_USAGE)
    trace_id, document = stored_trace(settings, options.trace_id, last_failed=options.last_failed)
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
        lines = render_text(trace, steps=options.steps)
        for line in with_family(lines, _family_lines(settings, trace_id)):
            sys.stdout.write(line + "\n")
    sys.stdout.flush()
    return 0


def command_copy(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.explore.progress import Progress
    from vexo.store.copying import copy_traces

    source, destination = absolute(options.source), absolute(options.destination)
    if source == destination:
        raise CommandError("the two stores are the same")
    settings = settings_of(options)
    try:
        read, added = copy_traces(
            source, destination, timeout=settings.busy_timeout, progress=Progress("copying")
        )
    except StoreError as error:
        raise CommandError(str(error)) from None
    print(f"copied {added} of {read} traces from {shown(source)} to {shown(destination)}")
    return 0


def _family_lines(settings: Settings, trace_id: str) -> list[str]:
    from vexo.explore.family import family_lines

    try:
        return family_lines(trace_id, list_traces(settings.db_path, family_of=trace_id))
    except StoreError as error:
        raise CommandError(str(error)) from None


def stored_trace(
    settings: Settings, trace_id: str | None, *, last_failed: bool = False
) -> tuple[str, bytes]:
    """(id, document) of the trace asked for (its id or a unique beginning of it), else of the
    newest one (`last_failed`: the newest failed test or request)."""
    try:
        trace_id = asked_trace_id(settings.db_path, trace_id, last_failed=last_failed)
        return trace_id, load_trace(settings.db_path, trace_id)
    except StoreError as error:
        raise CommandError(str(error)) from None


# vexo scrub


def command_scrub(options: argparse.Namespace, program_args: list[str]) -> int:
    from vexo.explore.progress import Progress
    from vexo.store.scrubbing import scrub_store
    from vexo.values.scrub import configure

    settings = settings_of(options)
    if not is_server_url(settings.db_path) and not os.path.isfile(settings.db_path):
        raise CommandError(f"no trace store at {shown(settings.db_path)}")
    # Asked for by name: the project's rules apply even where recording keeps raw values.
    configure(True, settings.scrub_names, settings.scrub_patterns)
    try:
        report = scrub_store(
            settings.db_path, timeout=settings.busy_timeout, progress=Progress("scrubbing")
        )
    except StoreError as error:
        raise CommandError(str(error)) from None
    print(report)
    return 0
