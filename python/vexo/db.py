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
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple, TypeVar

from vexo.common import processes
from vexo.store import postgres
from vexo.store.codec import decompress
from vexo.store.database import (
    APPLICATION_ID,
    KINDS,
    SCHEMA_VERSION,
    Columns,
    checked_kind,
    contains_pattern,
    make_folder,
    opened,
    prepare_for_writing,
    retrying_busy,
    schema_version,
    write_transaction,
)
from vexo.store.errors import DatabaseError, StoreError, TraceNotFoundError
from vexo.store.locations import is_server_url, location_text, shown
from vexo.store.retention import (
    Pruned,
    choose_units,
    give_back_space,
    latest_run,
    prune_units,
)
from vexo.store.retention import store_size as _store_size
from vexo.store.rows import Origin, Pending
from vexo.store.writer import current_writer
from vexo.trace.summary import DocumentSummary, document_trace_id, summarize_trace

__all__ = [
    "APPLICATION_ID",
    "DEFAULT_TIMEOUT",
    "KINDS",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DocumentSummary",
    "Pruned",
    "StoreError",
    "TraceNotFoundError",
    "TraceSummary",
    "count_traces",
    "document_trace_id",
    "flush",
    "latest_run_id",
    "list_traces",
    "load_trace",
    "prepare_database",
    "prune",
    "record_run_end",
    "record_run_start",
    "save_trace_in_sqlite",
    "saves_waited",
    "store_size",
    "summarize_trace",
]

DEFAULT_TIMEOUT = 60
_T = TypeVar("_T")


class _Waiting(threading.local):
    # A default rather than getattr(): a thread's first look-up would raise and catch an
    # AttributeError inside every save of the tracer.
    active = False


_waiting = _Waiting()


class TraceSummary(NamedTuple):
    trace_id: str
    stored_at: float  # seconds since the Unix epoch
    started_at: float | None  # when the profiler was built, from the document
    # "script demo.py", "module pkg", "pytest tests/test_x.py::test_y", "wsgi GET /path", ...
    source: str | None
    record_count: int | None  # records in all threads; None when the document did not parse
    size: int  # bytes of the document, uncompressed
    outcome: str | None = None  # a test's "passed", "failed", "error" or "skipped"; else None
    run_id: str | None = None  # the run that saved it (see vexo.recording.runs)
    process_id: str | None = None  # the process that recorded it
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
        wait = _waiting.active
    document = bytes(msgpack)
    trace = Pending(
        location_text(db_path), trace_id, time.time(), document, timeout, wait, _origin()
    )
    current_writer().save(trace)


def _origin() -> Origin:
    link = processes.current()
    return Origin(
        processes.current_run_id(), link.process_id, link.parent_process_id, link.parent_trace_id
    )


@contextlib.contextmanager
def saves_waited() -> Iterator[None]:
    """Saves made on this thread meanwhile (also those the tracer makes) wait for their trace
    and raise when it cannot be stored."""
    before = _waiting.active
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

    def prepare(connection: sqlite3.Connection) -> None:
        with write_transaction(connection):
            pass

    _write(db_path, timeout, prepare, lambda connection: None, failure="cannot write traces to")


def record_run_start(
    db_path: str | os.PathLike[str],
    run_id: str,
    command: str,
    started_at: float,
    *,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Stores a run's row (creating the database if needed)."""

    def record(connection: sqlite3.Connection) -> None:
        with write_transaction(connection):
            connection.execute(
                "INSERT OR REPLACE INTO runs (run_id, command, started_at) VALUES (?, ?, ?)",
                (run_id, command, started_at),
            )

    def record_on_server(connection: Any) -> None:
        postgres.record_run_start(connection, location_text(db_path), run_id, command, started_at)

    _write(db_path, timeout, record, record_on_server, failure="cannot record the run in")


def record_run_end(
    db_path: str | os.PathLike[str],
    run_id: str,
    ended_at: float,
    *,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Stores when a run ended."""

    def record(connection: sqlite3.Connection) -> None:
        with write_transaction(connection):
            connection.execute("UPDATE runs SET ended_at = ? WHERE run_id = ?", (ended_at, run_id))

    def record_on_server(connection: Any) -> None:
        postgres.record_run_end(connection, location_text(db_path), run_id, ended_at)

    _write(
        db_path, timeout, record, record_on_server, failure="cannot record the run in", create=False
    )


def prune(
    db_path: str | os.PathLike[str],
    *,
    keep_runs: int | None = None,
    before: float | None = None,
    max_size: int | None = None,
    rewrite: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
) -> Pruned:
    """Deletes whole runs, the oldest first: those beyond the newest `keep_runs`, those last
    active before the time `before`, and as many as it takes for the store to hold at most
    `max_size` bytes; then gives the space back to the file system (`rewrite`: even when that
    means rewriting a file of an older release once)."""
    path = location_text(db_path)
    if is_server_url(path):
        # A team's store holds the runs of many machines: what to keep is the team's choice.
        raise DatabaseError(f"{shown(path)}: vexo prune works on SQLite stores only")
    size_before = _store_size(path)

    def delete(connection: sqlite3.Connection) -> tuple[int, int]:
        with write_transaction(connection):
            units = choose_units(connection, keep_runs=keep_runs, before=before, max_size=max_size)
            traces = prune_units(connection, units)
        if units:
            give_back_space(connection, rewrite=rewrite)
        return len(units), traces

    runs, traces = _write(path, timeout, delete, None, failure="cannot prune", create=False)
    return Pruned(runs, traces, size_before, _store_size(path))


def store_size(db_path: str | os.PathLike[str]) -> int:
    """Bytes the store takes on disk, its write-ahead log included (0 when there is none); on a
    PostgreSQL server, what its tables take there."""
    path = location_text(db_path)
    if is_server_url(path):
        return postgres.read(path, DEFAULT_TIMEOUT, postgres.tables_size, 0)
    return _store_size(path)


def latest_run_id(
    db_path: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT
) -> str | None:
    """The run started last (None when the store knows no run)."""

    def read(connection: sqlite3.Connection, columns: Columns) -> str | None:
        return latest_run(connection) if columns.version >= 3 else None

    return _read(db_path, timeout, read, None, postgres.latest_run)


def list_traces(
    db_path: str | os.PathLike[str],
    *,
    limit: int | None = None,
    offset: int = 0,
    kind: str | None = None,
    text: str | None = None,
    run_id: str | None = None,
    family_of: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> list[TraceSummary]:
    """Summaries of the stored traces, the most recently stored first.

    `kind` keeps one kind of trace ("script", "module", "test" or "request"); `text` keeps the
    traces whose source or id holds it, ignoring the case of ASCII letters; `run_id` the traces
    of one run; `family_of` a trace with the trace that started its process and those its
    process started.
    """

    def read(connection: sqlite3.Connection, columns: Columns) -> list[TraceSummary]:
        where, parameters = _filter(columns, kind, text, run_id, family_of)
        query = (
            "SELECT trace_id, stored_at, started_at, source, record_count, size,"
            f" {columns.outcome}, {columns.origin} FROM traces {where}"
            " ORDER BY stored_at DESC, rowid DESC LIMIT :limit OFFSET :offset"
        )
        parameters.update(limit=-1 if limit is None else limit, offset=offset)
        return [TraceSummary(*row) for row in connection.execute(query, parameters)]

    def read_server(connection: Any) -> list[TraceSummary]:
        rows = postgres.list_rows(connection, limit, offset, kind, text, run_id, family_of)
        return [TraceSummary(*row) for row in rows]

    return _read(db_path, timeout, read, [], read_server)


def count_traces(
    db_path: str | os.PathLike[str],
    *,
    kind: str | None = None,
    text: str | None = None,
    run_id: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> int:
    """How many traces `list_traces` gives with the same filters and no limit."""

    def read(connection: sqlite3.Connection, columns: Columns) -> int:
        where, parameters = _filter(columns, kind, text, run_id, None)
        return connection.execute(f"SELECT count(*) FROM traces {where}", parameters).fetchone()[0]

    def read_server(connection: Any) -> int:
        return postgres.count_rows(connection, kind, text, run_id)

    return _read(db_path, timeout, read, 0, read_server)


def load_trace(
    db_path: str | os.PathLike[str], trace_id: str, *, timeout: float = DEFAULT_TIMEOUT
) -> bytes:
    """The stored MessagePack document of one trace, decompressed."""

    def read(connection: sqlite3.Connection, columns: Columns) -> tuple[bytes, str | None] | None:
        query = f"SELECT msgpack, {columns.codec} FROM traces WHERE trace_id = ?"
        row = connection.execute(query, (trace_id,)).fetchone()
        return None if row is None else (bytes(row[0]), row[1])

    def read_server(connection: Any) -> tuple[bytes, str | None] | None:
        return postgres.load_row(connection, trace_id)

    found = _read(db_path, timeout, read, None, read_server)
    if found is None:
        raise TraceNotFoundError(trace_id, shown(location_text(db_path)))
    return decompress(*found, trace_id)


def stored_rows(
    db_path: str | os.PathLike[str],
    *,
    after: str = "",
    limit: int = 200,
    timeout: float = DEFAULT_TIMEOUT,
) -> list[tuple[Any, ...]]:
    """Whole rows as they are stored (documents still compressed), in the order of their trace
    ids, from the first after `after`: for copying traces between stores."""

    def read(connection: sqlite3.Connection, columns: Columns) -> list[tuple[Any, ...]]:
        query = (
            "SELECT trace_id, stored_at, started_at, source, record_count, size,"
            f" {columns.outcome}, {columns.codec}, msgpack, {columns.kind}, {columns.origin}"
            " FROM traces WHERE trace_id > ? ORDER BY trace_id LIMIT ?"
        )
        return [tuple(row) for row in connection.execute(query, (after, limit))]

    def read_server(connection: Any) -> list[tuple[Any, ...]]:
        return postgres.stored_rows(connection, after, limit)

    return _read(db_path, timeout, read, [], read_server)


def _filter(
    columns: Columns,
    kind: str | None,
    text: str | None,
    run_id: str | None,
    family_of: str | None,
) -> tuple[str, dict[str, Any]]:
    conditions, parameters = [], {}
    if family_of is not None:
        parent = columns.parent_trace_id
        conditions.append(
            f"(trace_id = :family OR {parent} = :family"
            f" OR trace_id = (SELECT {parent} FROM traces WHERE trace_id = :family))"
        )
        parameters["family"] = family_of
    if run_id is not None:
        conditions.append(f"{columns.run_id} = :run_id")
        parameters["run_id"] = run_id
    if kind is not None:
        conditions.append(f"{columns.kind} = :kind")
        parameters["kind"] = checked_kind(kind)
    if text:
        # Matched in an index holding both columns, without reading the rows and their documents.
        conditions.append(
            "rowid IN (SELECT rowid FROM traces WHERE source LIKE :text ESCAPE '\\'"
            " OR trace_id LIKE :text ESCAPE '\\')"
        )
        parameters["text"] = contains_pattern(text)
    return ("WHERE " + " AND ".join(conditions) if conditions else ""), parameters


def _read(
    db_path: str | os.PathLike[str],
    timeout: float,
    work: Callable[[sqlite3.Connection, Columns], _T],
    empty: _T,
    work_on_server: Callable[[Any], _T],
) -> _T:
    """Runs work on a read-only connection to a trace database (work_on_server on a PostgreSQL
    store's); `empty` for a store without traces yet."""
    path = location_text(db_path)
    current_writer().flush()  # this process's own saves first
    if is_server_url(path):
        return postgres.read(path, timeout, work_on_server, empty)

    def read(connection: sqlite3.Connection) -> _T:
        version = schema_version(connection, path)
        return empty if version == 0 else work(connection, Columns(version))

    return _with_database(path, timeout, read, writable=False, failure="cannot read")


def _write(
    db_path: str | os.PathLike[str],
    timeout: float,
    work: Callable[[sqlite3.Connection], _T],
    work_on_server: Callable[[Any], _T] | None,
    *,
    failure: str,
    create: bool = True,
) -> _T:
    """Runs work on a new connection to a database made ready for writing: created (with its
    folder) when missing if `create`, else refused, and upgraded to the current schema.
    work_on_server does the same on a PostgreSQL store."""
    path = location_text(db_path)
    if is_server_url(path) and work_on_server is not None:
        connection = postgres.open_for_writing(path, timeout)
        try:
            return work_on_server(connection)
        finally:
            connection.close()
    if create:
        make_folder(path)
    elif not os.path.exists(path):
        raise DatabaseError(f"no trace database at {path}")

    def prepared(connection: sqlite3.Connection) -> _T:
        prepare_for_writing(connection, path)
        return work(connection)

    return _with_database(path, timeout, prepared, writable=True, failure=failure)


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
