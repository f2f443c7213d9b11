"""The trace store: one SQLite database file holding whole MessagePack trace documents,
compressed.

Writers are the traced processes themselves (often several at once: test workers, web server
processes). A save hands the document to the process's writer thread and returns; the writer
commits traces in batches in WAL mode, waiting for other processes up to the busy timeout (see
`vexo.store.writer`). Readers (the command line, the viewer) open the file read-only and never
create it; in a process that saves, they first wait for the traces it has queued.
"""

from __future__ import annotations

import contextlib
import os
import re
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple, TypeVar

from vexo import processes
from vexo.store.codec import decompress
from vexo.store.database import (
    APPLICATION_ID,
    KINDS,
    SCHEMA_VERSION,
    Columns,
    check_format,
    make_folder,
    opened,
    path_text,
    prepare_for_writing,
    read_format,
    retrying_busy,
    write_transaction,
)
from vexo.store.documents import DocumentSummary, document_trace_id, summarize_trace
from vexo.store.errors import DatabaseError, StoreError, TraceNotFoundError
from vexo.store.rows import Pending
from vexo.store.writer import current_writer

__all__ = [
    "APPLICATION_ID",
    "DEFAULT_TIMEOUT",
    "KINDS",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DocumentSummary",
    "StoreError",
    "TraceNotFoundError",
    "TraceSummary",
    "count_traces",
    "document_trace_id",
    "flush",
    "list_traces",
    "load_trace",
    "prepare_database",
    "save_trace_in_sqlite",
    "saves_waited",
    "summarize_trace",
]

DEFAULT_TIMEOUT = 60
_T = TypeVar("_T")
_waiting = threading.local()


class TraceSummary(NamedTuple):
    trace_id: str
    stored_at: float  # seconds since the Unix epoch
    started_at: float | None  # when the profiler was built, from the document
    # "script demo.py", "module pkg", "pytest tests/test_x.py::test_y", "wsgi GET /path", ...
    source: str | None
    record_count: int | None  # records in all threads; None when the document did not parse
    size: int  # bytes of the document, uncompressed
    outcome: str | None = None  # a test's "passed", "failed", "error" or "skipped"; else None
    run_id: str | None = None
    process_id: str | None = None  # the process that recorded the trace
    parent_process_id: str | None = None  # the process that started that process
    parent_trace_id: str | None = None  # the trace that process was recording then


def save_trace_in_sqlite(
    db_path: str | os.PathLike[str],
    trace_id: str,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    msgpack: bytes,
    wait: bool | None = None,
) -> None:
    """Stores one trace document under its id, replacing a trace stored before with that id.

    The database (and its folder) is created on first use. The trace is queued for the writer
    thread, unless `wait` (by default: whether the calling thread is inside `saves_waited()`):
    then the call returns once the trace is stored and raises DatabaseError if it could not be.
    Either the whole trace is stored or nothing is. Waits up to `timeout` seconds for other
    writers.
    """
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
    if wait is None:
        wait = getattr(_waiting, "active", False)
    trace = Pending(path_text(db_path), trace_id, time.time(), bytes(msgpack), timeout, wait)
    link = processes.current()
    run_id = os.environ.get("VEXO_RUN_ID")
    trace.links = (run_id, link.process_id, link.parent_process_id, link.parent_trace_id)
    current_writer().save(trace)


@contextlib.contextmanager
def saves_waited() -> Iterator[None]:
    """Saves made on this thread meanwhile (also those the tracer makes) wait for their trace
    and raise when it cannot be stored."""
    before = getattr(_waiting, "active", False)
    _waiting.active = True
    try:
        yield
    finally:
        _waiting.active = before


def flush(timeout: float | None = None) -> bool:
    """Waits until every trace this process has queued so far is stored or has failed; False
    when the timeout came first."""
    return current_writer().flush(timeout)


def prepare_database(db_path: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Creates or upgrades the database (and its folder) if needed and checks that traces can be
    written to it, so that a long run can be refused before it starts rather than fail at its
    first save."""
    path = path_text(db_path)
    make_folder(path)

    def prepare(connection: sqlite3.Connection) -> None:
        prepare_for_writing(connection, path)
        with write_transaction(connection):
            pass

    _with_database(path, timeout, prepare, writable=True, failure="cannot write traces to")


def list_traces(
    db_path: str | os.PathLike[str],
    *,
    limit: int | None = None,
    offset: int = 0,
    kind: str | None = None,
    text: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> list[TraceSummary]:
    """Summaries of the stored traces, the most recently stored first.

    `kind` keeps one kind of trace ("script", "module", "test" or "request"); `text` keeps the
    traces whose source or id holds it, ignoring the case of ASCII letters.
    """

    def read(connection: sqlite3.Connection, columns: Columns) -> list[TraceSummary]:
        where, parameters = _filter(columns, kind, text)
        query = (
            "SELECT trace_id, stored_at, started_at, source, record_count, size,"
            f" {columns.outcome}, {columns.links} FROM traces {where}"
            " ORDER BY stored_at DESC, rowid DESC LIMIT :limit OFFSET :offset"
        )
        parameters.update(limit=-1 if limit is None else limit, offset=offset)
        return [TraceSummary(*row) for row in connection.execute(query, parameters)]

    return _read(db_path, timeout, read, [])


def count_traces(
    db_path: str | os.PathLike[str],
    *,
    kind: str | None = None,
    text: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> int:
    """How many traces `list_traces` gives with the same filters and no limit."""

    def read(connection: sqlite3.Connection, columns: Columns) -> int:
        where, parameters = _filter(columns, kind, text)
        return connection.execute(f"SELECT count(*) FROM traces {where}", parameters).fetchone()[0]

    return _read(db_path, timeout, read, 0)


def load_trace(
    db_path: str | os.PathLike[str], trace_id: str, *, timeout: float = DEFAULT_TIMEOUT
) -> bytes:
    """The stored MessagePack document of one trace, decompressed."""

    def read(connection: sqlite3.Connection, columns: Columns) -> tuple[bytes, str | None] | None:
        query = f"SELECT msgpack, {columns.codec} FROM traces WHERE trace_id = ?"
        row = connection.execute(query, (trace_id,)).fetchone()
        return None if row is None else (bytes(row[0]), row[1])

    found = _read(db_path, timeout, read, None)
    if found is None:
        raise TraceNotFoundError(trace_id, path_text(db_path))
    return decompress(*found, trace_id)


def _filter(columns: Columns, kind: str | None, text: str | None) -> tuple[str, dict[str, Any]]:
    conditions, parameters = [], {}
    if kind is not None:
        if kind not in KINDS:
            raise ValueError(f"unknown kind of trace {kind!r} (known: {', '.join(sorted(KINDS))})")
        conditions.append(f"{columns.kind} = :kind")
        parameters["kind"] = kind
    if text:
        # Matched in an index holding both columns, without reading the rows and their documents.
        conditions.append(
            "rowid IN (SELECT rowid FROM traces WHERE source LIKE :text ESCAPE '\\'"
            " OR trace_id LIKE :text ESCAPE '\\')"
        )
        parameters["text"] = "%" + re.sub(r"([\\%_])", r"\\\1", text) + "%"
    return ("WHERE " + " AND ".join(conditions) if conditions else ""), parameters


def _read(
    db_path: str | os.PathLike[str],
    timeout: float,
    work: Callable[[sqlite3.Connection, Columns], _T],
    empty: _T,
) -> _T:
    """Runs work on a read-only connection to a trace database; `empty` for an empty file."""
    path = path_text(db_path)
    current_writer().flush()  # this process's own saves first

    def read(connection: sqlite3.Connection) -> _T:
        version = check_format(path, *read_format(connection))
        return empty if version == 0 else work(connection, Columns(version))

    return _with_database(path, timeout, read, writable=False, failure="cannot read")


def _with_database(
    path: str,
    timeout: float,
    work: Callable[[sqlite3.Connection], _T],
    *,
    writable: bool,
    failure: str,
) -> _T:
    """Runs work on a new connection, repeated while another process holds the file briefly."""

    def attempt() -> _T:
        connection = opened(path, timeout, writable=writable)
        try:
            return work(connection)
        finally:
            connection.close()

    return retrying_busy(path, timeout, attempt, failure)
