"""A saved trace as a row of the traces table."""

from __future__ import annotations

import dataclasses
import sqlite3
from typing import Any

from vexo.store.codec import DEFAULT_CODEC, compress
from vexo.store.database import (
    SCHEMA_VERSION,
    check_format,
    kind_sql,
    read_format,
    write_transaction,
)
from vexo.store.errors import DatabaseError
from vexo.store.documents import summarize_trace

__all__ = ["Pending", "row_of", "write_rows"]


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


_INSERT = (
    "INSERT OR REPLACE INTO traces (trace_id, stored_at, started_at, source, record_count, size,"
    " outcome, codec, kind, msgpack) VALUES (:trace_id, :stored_at, :started_at, :source,"
    f" :record_count, :size, :outcome, :codec, {kind_sql(':source')}, :msgpack)"
)


def row_of(trace: Pending) -> dict[str, Any]:
    """The row of a trace: its listing columns and its compressed document."""
    summary = summarize_trace(trace.document)
    trace.source = summary.source
    return {
        "trace_id": trace.trace_id,
        "stored_at": trace.stored_at,
        **summary._asdict(),
        "size": len(trace.document),
        "codec": DEFAULT_CODEC,
        "msgpack": compress(trace.document),
    }


def write_rows(connection: sqlite3.Connection, path: str, rows: list[dict[str, Any]]) -> None:
    """Stores the rows in one transaction, replacing traces stored before under their ids.

    The format is checked again under the write lock: a connection is kept open between
    batches, and meanwhile a newer release may have upgraded the file.
    """
    with write_transaction(connection):
        if check_format(path, *read_format(connection)) != SCHEMA_VERSION:
            raise DatabaseError(f"{path} changed its format while vexo was writing to it")
        connection.executemany(_INSERT, rows)
