"""A saved trace as a row of the traces table."""

from __future__ import annotations

import dataclasses
import sqlite3
from typing import Any

from vexo.store.codec import DEFAULT_CODEC, compress_all
from vexo.store.database import (
    SCHEMA_VERSION,
    check_format,
    kind_of,
    read_format,
    write_transaction,
)
from vexo.store.documents import summarize_trace
from vexo.store.errors import DatabaseError

__all__ = ["Pending", "rows_of", "write_rows"]


@dataclasses.dataclass(eq=False)
class Pending:
    """One trace on its way to the database."""

    path: str
    trace_id: str
    stored_at: float
    document: bytes
    timeout: float
    waited: bool  # the saving thread waits for it and takes a failure as its own
    number: int = 0  # the order in which the writer took it
    error: BaseException | None = None
    source: str | None = None  # known once summarised
    # The run and the processes, as the saving thread saw them when it queued the trace.
    links: tuple[str | None, str | None, str | None, str | None] = (None, None, None, None)


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
                *trace.links,
            )
        )
    return rows


def write_rows(connection: sqlite3.Connection, path: str, rows: list[tuple[Any, ...]]) -> None:
    """Stores the rows in one transaction, replacing traces stored before under their ids.

    The format is checked again under the write lock: a connection is kept open between
    batches, and meanwhile a newer release may have upgraded the file.
    """
    with write_transaction(connection):
        if check_format(path, *read_format(connection)) != SCHEMA_VERSION:
            raise DatabaseError(f"{path} changed its format while vexo was writing to it")
        for start in range(0, len(rows), _ROWS_PER_INSERT):
            chunk = rows[start : start + _ROWS_PER_INSERT]
            values = ", ".join([_ROW] * len(chunk))
            connection.execute(
                f"INSERT OR REPLACE INTO traces ({_COLUMNS}) VALUES {values}",
                [value for row in chunk for value in row],
            )
