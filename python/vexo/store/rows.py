"""A saved trace as a row of the traces table."""

from __future__ import annotations

import dataclasses
import sqlite3
from typing import Any, NamedTuple

from vexo.store.codec import DEFAULT_CODEC, compress_all
from vexo.store.database import (
    SCHEMA_VERSION,
    kind_of,
    schema_version,
    write_transaction,
)
from vexo.store.errors import DatabaseError
from vexo.trace.summary import summarize_trace

__all__ = ["NO_ORIGIN", "Origin", "Pending", "rows_of", "write_rows"]


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


_COLUMNS = (
    "trace_id, stored_at, started_at, source, record_count, size, outcome, codec, msgpack, kind,"
    " run_id, process_id, parent_process_id, parent_trace_id"
)
_PER_ROW = 14
# Rows per statement: one statement is one hand-over of the interpreter lock, whatever it holds;
# older SQLite libraries take at most 999 parameters.
_ROWS_PER_INSERT = 999 // _PER_ROW
_ROW = "(" + ", ".join("?" * _PER_ROW) + ")"


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


def write_rows(
    connection: sqlite3.Connection, path: str, rows: list[tuple[Any, ...]], replace: bool = True
) -> None:
    """Stores the rows in one transaction, replacing traces stored before under their ids (or,
    without `replace`, keeping those).

    The format is checked again under the write lock: a connection is kept open between
    batches, and meanwhile a newer release may have upgraded the file.
    """
    with write_transaction(connection):
        if schema_version(connection, path) != SCHEMA_VERSION:
            raise DatabaseError(f"{path} changed its format while vexo was writing to it")
        for start in range(0, len(rows), _ROWS_PER_INSERT):
            chunk = rows[start : start + _ROWS_PER_INSERT]
            values = ", ".join([_ROW] * len(chunk))
            connection.execute(
                f"INSERT OR {'REPLACE' if replace else 'IGNORE'} INTO traces ({_COLUMNS})"
                f" VALUES {values}",
                [value for row in chunk for value in row],
            )
