"""The trace store: one SQLite database file holding whole MessagePack trace documents.

Writers are the traced processes themselves (often several at once: test workers, web server
processes), so every save is one short write transaction in WAL mode, waiting for the others up to
the busy timeout. Readers (the command line) open the file read-only and never create it.

A database of ours is recognised by its SQLite application id; its schema version lives in the
SQLite user version, so a file written by a newer release is refused rather than misread.
"""

from __future__ import annotations

import contextlib
import io
import os
import sqlite3
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NamedTuple, TypeVar

import msgpack

__all__ = [
    "APPLICATION_ID",
    "DEFAULT_TIMEOUT",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DocumentSummary",
    "StoreError",
    "TraceNotFoundError",
    "TraceSummary",
    "count_traces",
    "list_traces",
    "load_trace",
    "prepare_database",
    "save_trace_in_sqlite",
    "summarize_trace",
    "document_trace_id",
]

APPLICATION_ID = 0x5645584F  # "VEXO"
SCHEMA_VERSION = 1
DEFAULT_TIMEOUT = 60

_SCHEMA = (
    """
    CREATE TABLE IF NOT EXISTS traces (
        trace_id TEXT PRIMARY KEY NOT NULL,
        stored_at REAL NOT NULL,
        started_at REAL,
        source TEXT,
        record_count INTEGER,
        size INTEGER NOT NULL,
        msgpack BLOB NOT NULL
    )
    """,
    "CREATE INDEX IF NOT EXISTS traces_by_stored_at ON traces (stored_at)",
)
_SUMMARY_COLUMNS = "trace_id, stored_at, started_at, source, record_count, size"
_SQLITE_BUSY = 5
_SQLITE_LOCKED = 6
_T = TypeVar("_T")


class StoreError(Exception):
    """Base of the trace store's own errors."""


class DatabaseError(StoreError):
    """The database file is missing, unreadable, not SQLite, or not a trace database of ours."""


class TraceNotFoundError(StoreError, LookupError):
    """No trace with the given id is stored."""

    def __init__(self, trace_id: str, db_path: str) -> None:
        super().__init__(f"no trace {trace_id} in {db_path}")
        self.trace_id = trace_id
        self.db_path = db_path


class TraceSummary(NamedTuple):
    trace_id: str
    stored_at: float  # seconds since the Unix epoch
    started_at: float | None  # when the profiler was built, from the document
    # "script demo.py", "module pkg", "pytest tests/test_x.py::test_y", "wsgi GET /path", ...
    source: str | None
    record_count: int | None  # records in all threads; None when the document did not parse
    size: int  # bytes of the document
    outcome: str | None = None  # of a test: "passed", "failed", "error" or "skipped"


def save_trace_in_sqlite(
    db_path: str | os.PathLike[str],
    trace_id: str,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    msgpack: bytes,
) -> None:
    """Stores one trace document under its id, replacing a trace stored before with that id.

    Creates the database (and its folder) on first use. Waits up to `timeout` seconds for other
    writers. Either the whole trace is stored or, on any error, nothing is.
    """
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack must be bytes, not {type(msgpack).__name__}")
    document = bytes(msgpack)
    summary = summarize_trace(document)
    path = _path_text(db_path)
    _make_folder(path)
    row = (trace_id, time.time(), *summary, len(document), document)

    def save(connection: sqlite3.Connection) -> None:
        _prepare_for_writing(connection, path)
        with _write_transaction(connection):
            connection.execute(
                "INSERT OR REPLACE INTO traces"
                " (trace_id, stored_at, started_at, source, record_count, size, msgpack)"
                " VALUES (?, ?, ?, ?, ?, ?, ?)",
                row,
            )

    _with_database(path, timeout, save, writable=True, failure=f"cannot save trace {trace_id} in")


def prepare_database(db_path: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Creates the database (and its folder) if needed and checks that traces can be written to
    it, so that a long run can be refused before it starts rather than fail at its first save."""
    path = _path_text(db_path)
    _make_folder(path)

    def prepare(connection: sqlite3.Connection) -> None:
        _prepare_for_writing(connection, path)
        with _write_transaction(connection):
            pass

    _with_database(path, timeout, prepare, writable=True, failure="cannot write traces to")


# The source's first word tells what was traced; requests come through either middleware.
_KIND_SOURCES = {
    "script": ("script",),
    "module": ("module",),
    "test": ("pytest",),
    "request": ("wsgi", "django"),
}


def list_traces(
    db_path: str | os.PathLike[str],
    *,
    limit: int | None = None,
    offset: int = 0,
    kind: str | None = None,
    text: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> list[TraceSummary]:
    """Summaries of the stored traces, the most recently stored first; `kind` ("script",
    "module", "test" or "request") and `text` (part of the source or trace id) filter them."""
    where, parameters = _filter(kind, text)
    query = f"SELECT {_SUMMARY_COLUMNS} FROM traces{where} ORDER BY stored_at DESC, rowid DESC"
    query += " LIMIT ? OFFSET ?"
    parameters += (-1 if limit is None else limit, offset)

    def read(connection: sqlite3.Connection) -> list[TraceSummary]:
        if not _check_format(path, *_format(connection)):
            return []
        return [TraceSummary(*row) for row in connection.execute(query, parameters)]

    path = _path_text(db_path)
    return _with_database(path, timeout, read, writable=False, failure="cannot read")


def count_traces(
    db_path: str | os.PathLike[str],
    *,
    kind: str | None = None,
    text: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> int:
    """How many stored traces `list_traces` would give with the same filters and no limit."""
    where, parameters = _filter(kind, text)

    def read(connection: sqlite3.Connection) -> int:
        if not _check_format(path, *_format(connection)):
            return 0
        return connection.execute(f"SELECT count(*) FROM traces{where}", parameters).fetchone()[0]

    path = _path_text(db_path)
    return _with_database(path, timeout, read, writable=False, failure="cannot read")


def _filter(kind: str | None, text: str | None) -> tuple[str, tuple[Any, ...]]:
    clauses: list[str] = []
    parameters: tuple[Any, ...] = ()
    if kind is not None:
        if kind not in _KIND_SOURCES:
            raise ValueError(f"unknown kind of trace {kind!r}")
        words = _KIND_SOURCES[kind]
        clauses.append("(" + " OR ".join("source LIKE ?" for _ in words) + ")")
        parameters += tuple(f"{word} %" for word in words)
    if text:
        pattern = "%" + text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        clauses.append("(source LIKE ? ESCAPE '\\' OR trace_id LIKE ? ESCAPE '\\')")
        parameters += (pattern, pattern)
    return (" WHERE " + " AND ".join(clauses) if clauses else ""), parameters


def load_trace(
    db_path: str | os.PathLike[str], trace_id: str, *, timeout: float = DEFAULT_TIMEOUT
) -> bytes:
    """The stored MessagePack document of one trace."""

    def read(connection: sqlite3.Connection) -> bytes | None:
        if not _check_format(path, *_format(connection)):
            return None
        query = "SELECT msgpack FROM traces WHERE trace_id = ?"
        row = connection.execute(query, (trace_id,)).fetchone()
        return None if row is None else bytes(row[0])

    path = _path_text(db_path)
    document = _with_database(path, timeout, read, writable=False, failure="cannot read")
    if document is None:
        raise TraceNotFoundError(trace_id, path)
    return document


class DocumentSummary(NamedTuple):
    """What the listing shows of a trace document, read from the document itself."""

    started_at: float | None
    source: str | None
    record_count: int | None


def summarize_trace(document: bytes) -> DocumentSummary:
    """The listing columns of a trace document; None for what it does not hold or cannot give.

    Reads the document's top level as a stream and skips over the records, so saving a large
    trace does not decode all of it.
    """
    started_at = source = record_count = test = None
    try:
        unpacker = _document_reader(document)
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                count = unpacker.read_array_header()
                if count:
                    test = _test_node_id(unpacker.unpack())
                    for _ in range(count - 1):
                        unpacker.skip()
                record_count = (record_count or 0) + count
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # the thread id
                    record_count = (record_count or 0) + _skip_array(unpacker)
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    source = meta["source"]
            elif key == "timestamp":
                value = unpacker.unpack()
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    started_at = float(value)
            else:
                unpacker.skip()
    except Exception:
        # A document the store cannot read is still stored whole; only the listing lacks detail.
        pass
    if source is not None and test is not None:
        # One trace per test: the test tells the traces of one run apart.
        source = f"{source} {test}"
    return DocumentSummary(started_at, source, record_count)


def document_trace_id(document: bytes) -> str | None:
    """The trace id written in a trace document (a process forked by the program has its own),
    read past the records without decoding them."""
    unpacker = _document_reader(document)
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "trace_id":
            value = unpacker.unpack()
            return value if isinstance(value, str) else None
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()  # the thread id
                _skip_array(unpacker)
        elif key == "frames_of_interest":
            _skip_array(unpacker)
        else:
            unpacker.skip()
    return None


def _document_reader(document: bytes) -> msgpack.Unpacker:
    """A stream over a trace document that buffers one record at a time. Fed whole, a document
    over msgpack's default buffer limit (100 MiB) could not be read at all; the limit is raised
    to the document's size, so that even one record that large can be read."""
    return msgpack.Unpacker(
        io.BytesIO(document),
        raw=False,
        strict_map_key=False,
        unicode_errors="replace",
        max_buffer_size=max(len(document), 1),
    )


def _test_node_id(record: object) -> str | None:
    """The test named by a trace's first record when that is a "start_test" marker."""
    if isinstance(record, dict) and record.get("type") == "start_test":
        node_id = record.get("nodeid")
        if isinstance(node_id, str):
            return node_id
    return None


def _skip_array(unpacker: msgpack.Unpacker) -> int:
    count = unpacker.read_array_header()
    for _ in range(count):
        unpacker.skip()
    return count


def _path_text(db_path: str | os.PathLike[str]) -> str:
    if not isinstance(db_path, (str, os.PathLike)):
        raise TypeError(f"db_path must be a str or path, not {type(db_path).__name__}")
    return os.fsdecode(db_path)


def _make_folder(path: str) -> None:
    parent = os.path.dirname(path)
    if parent:
        try:
            os.makedirs(parent, exist_ok=True)
        except OSError as error:
            raise DatabaseError(f"cannot create the folder of {path}: {error}") from error


def _with_database(
    path: str,
    timeout: float,
    work: Callable[[sqlite3.Connection], _T],
    *,
    writable: bool,
    failure: str,
) -> _T:
    """Runs work on a new connection; SQLite's errors become DatabaseError.

    SQLite waits for other connections' locks through the busy timeout, except in a few moments
    (another process switching the file to WAL or recovering it) where it fails at once; those
    attempts are repeated from the start until the timeout is spent.
    """
    deadline = time.monotonic() + timeout
    pause = 0.001
    while True:
        try:
            with _open(path, timeout, writable=writable) as connection:
                return work(connection)
        except sqlite3.Error as error:
            if not _is_busy(error) or time.monotonic() + pause > deadline:
                raise DatabaseError(f"{failure} {path}: {error}") from error
        time.sleep(pause)
        pause = min(pause * 2, 0.1)


def _is_busy(error: sqlite3.Error) -> bool:
    code = getattr(error, "sqlite_errorcode", None)  # from Python 3.11 on
    if code is not None:
        return code & 0xFF in (_SQLITE_BUSY, _SQLITE_LOCKED)
    return isinstance(error, sqlite3.OperationalError) and (
        "locked" in str(error) or "busy" in str(error)
    )


@contextlib.contextmanager
def _open(path: str, timeout: float, *, writable: bool) -> Iterator[sqlite3.Connection]:
    if os.path.isdir(path):
        raise DatabaseError(f"{path} is a folder, not a trace database")
    if writable:
        target, uri = path, False
    else:
        if not os.path.exists(path):
            raise DatabaseError(f"no trace database at {path}")
        target, uri = Path(path).absolute().as_uri() + "?mode=ro", True
    # Transactions are begun and ended here explicitly (isolation_level=None).
    connection = sqlite3.connect(target, timeout=timeout, isolation_level=None, uri=uri)
    try:
        yield connection
    finally:
        connection.close()


def _format(connection: sqlite3.Connection) -> tuple[int, int, int]:
    """(application id, schema version, number of schema objects) of the file.

    Read in one statement, so that a schema another process commits meanwhile is seen whole.
    """
    query = (
        "SELECT (SELECT application_id FROM pragma_application_id),"
        " (SELECT user_version FROM pragma_user_version),"
        " (SELECT count(*) FROM sqlite_master)"
    )
    return tuple(connection.execute(query).fetchone())


def _check_format(path: str, application_id: int, version: int, tables: int) -> bool:
    """True for a trace database of ours, False for an empty file; raises for anything else."""
    if application_id == 0 and version == 0 and tables == 0:
        return False
    if application_id != APPLICATION_ID:
        raise DatabaseError(f"{path} is not a vexo trace database")
    if version > SCHEMA_VERSION:
        raise DatabaseError(
            f"{path} was written by a newer vexo (schema version {version}, this one reads"
            f" {SCHEMA_VERSION}); upgrade vexo to read it"
        )
    if version < 1:
        raise DatabaseError(f"{path} is a damaged vexo trace database (no schema version)")
    return True


def _prepare_for_writing(connection: sqlite3.Connection, path: str) -> None:
    """Makes sure the file is our database in WAL mode, creating the schema if it is empty."""
    if _check_format(path, *_format(connection)):
        _use_wal(connection, path)
        return
    # Only an empty file is taken over: switch it to WAL first (a journal mode cannot change
    # inside a transaction), then create the schema under the write lock, checking again in
    # case another process did it in the meantime.
    _use_wal(connection, path)
    with _write_transaction(connection):
        if _check_format(path, *_format(connection)):
            return
        for statement in _SCHEMA:
            connection.execute(statement)
        connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def _use_wal(connection: sqlite3.Connection, path: str) -> None:
    mode = connection.execute("PRAGMA journal_mode").fetchone()[0]
    if mode.lower() != "wal":
        mode = connection.execute("PRAGMA journal_mode = WAL").fetchone()[0]
        if mode.lower() != "wal":
            raise DatabaseError(f"cannot use write-ahead logging for {path} (mode {mode})")
    # With WAL a commit survives a crash of the process; only a power cut may lose the last ones.
    connection.execute("PRAGMA synchronous = NORMAL")


@contextlib.contextmanager
def _write_transaction(connection: sqlite3.Connection) -> Iterator[None]:
    # IMMEDIATE takes the write lock at once, so waiting for other writers goes through the busy
    # timeout instead of failing later when a read transaction would have to be upgraded.
    connection.execute("BEGIN IMMEDIATE")
    try:
        yield
    except BaseException:
        # SQLite may have rolled back already (after some I/O errors); closing the connection
        # would discard the transaction anyway, so a failing ROLLBACK must not hide the cause.
        with contextlib.suppress(sqlite3.Error):
            connection.execute("ROLLBACK")
        raise
    connection.execute("COMMIT")
