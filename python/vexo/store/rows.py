"""A saved trace as a row of the traces table: its columns, the same in every store."""

from __future__ import annotations

import dataclasses
from typing import Any, NamedTuple

from vexo.store.codec import DEFAULT_CODEC, compress_all
from vexo.trace.summary import KIND_OF_WORD, KINDS, kind_of, summarize_trace

__all__ = [
    "COLUMNS",
    "KINDS",
    "KIND_OF_WORD",
    "LISTED",
    "NO_ORIGIN",
    "Origin",
    "Pending",
    "checked_kind",
    "kind_of",
    "rows_of",
]

# A row's values, in this order.
COLUMNS = (
    "trace_id",
    "stored_at",
    "started_at",
    "source",
    "record_count",
    "size",
    "outcome",
    "codec",
    "msgpack",
    "kind",
    "run_id",
    "process_id",
    "parent_process_id",
    "parent_trace_id",
)
# The columns a listing shows, in the order of `vexo.db.TraceSummary`.
LISTED = tuple(name for name in COLUMNS if name not in ("codec", "msgpack", "kind"))


def checked_kind(kind: str) -> str:
    """`kind` if it names a kind of trace; else ValueError naming the known ones."""
    if kind not in KINDS:
        raise ValueError(f"unknown kind of trace {kind!r} (known: {', '.join(sorted(KINDS))})")
    return kind


class Origin(NamedTuple):
    """Where a trace comes from: its run and its process, with the process and trace that
    started that process."""

    run_id: str | None = None
    process_id: str | None = None
    parent_process_id: str | None = None
    parent_trace_id: str | None = None


NO_ORIGIN = Origin()


@dataclasses.dataclass(eq=False)
class Pending:
    """One trace on its way to the database."""

    path: str
    trace_id: str
    stored_at: float
    document: bytes
    timeout: float
    waited: bool  # the saving thread waits for it and takes a failure as its own
    origin: Origin = NO_ORIGIN  # taken on the saving thread
    number: int = 0  # the order in which the writer took it
    error: BaseException | None = None
    source: str | None = None  # known once summarised


def rows_of(traces: list[Pending]) -> list[tuple[Any, ...]]:
    """The rows of traces: their listing columns and their compressed documents."""
    documents = compress_all([trace.document for trace in traces])
    rows = []
    for trace, stored in zip(traces, documents, strict=True):
        summary = summarize_trace(trace.document)
        trace.source = summary.source
        rows.append(
            (
                trace.trace_id,
                trace.stored_at,
                summary.started_at,
                summary.source,
                summary.record_count,
                len(trace.document),
                summary.outcome,
                DEFAULT_CODEC,
                stored,
                kind_of(summary.source),
                *trace.origin,
            )
        )
    return rows
