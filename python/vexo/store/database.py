"""The SQLite file: opening it, recognising it, its schema and its versions.

A database of ours is recognised by its SQLite application id; its schema version lives in the
SQLite user version. A file written by a newer release is refused rather than misread; one written
by an older release is read as it is and upgraded in place by the first write.
"""

from __future__ import annotations

import contextlib
import os
import re
import sqlite3
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TypeVar

from vexo.store.errors import DatabaseError

__all__ = [
    "checked_kind",
    "contains_pattern",
    "APPLICATION_ID",
    "KINDS",
    "SCHEMA_VERSION",
    "Columns",
    "file_size",
    "make_folder",
    "prepare_for_writing",
    "schema_version",
    "retrying_busy",
    "opened",
    "write_transaction",
]

APPLICATION_ID = 0x5645584F  # "VEXO"

# The kind of a trace, from the first word of its source.
_KIND_OF_WORD = {
    "script": "script",
    "module": "module",
    "pytest": "test",
    "wsgi": "request",
    "django": "request",
}
# Every kind once, in the order the explorer offers them.
KINDS = tuple(dict.fromkeys(_KIND_OF_WORD.values()))


def kind_of(source: str | None) -> str | None:
    """The kind of trace a source text names (None for other sources)."""
    return None if source is None else _KIND_OF_WORD.get(source.split(" ", 1)[0])


def checked_kind(kind: str) -> str:
    """`kind` if it names a kind of trace; else ValueError naming the known ones."""
    if kind not in KINDS:
        raise ValueError(f"unknown kind of trace {kind!r} (known: {', '.join(sorted(KINDS))})")
    return kind


def contains_pattern(text: str) -> str:
    """A LIKE pattern (escape character backslash) matching any text that holds `text`."""
    return "%" + re.sub(r"([\\%_])", r"\\\1", text) + "%"


def kind_sql(source: str) -> str:
    """An SQL expression giving the kind of the source text `source` (NULL for other sources)."""
    first_word = f"substr({source}, 1, instr({source} || ' ', ' ') - 1)"
    cases = " ".join(f"WHEN '{word}' THEN '{kind}'" for word, kind in _KIND_OF_WORD.items())
    return f"CASE {first_word} {cases} END"


# Step i brings the schema from version i to version i + 1. All the steps a file needs run in one
# transaction, so a reader never sees a half-upgraded file; a new column is one more step.
_MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        "CREATE TABLE traces (trace_id TEXT PRIMARY KEY NOT NULL, stored_at REAL NOT NULL,"
        " started_at REAL, source TEXT, record_count INTEGER, size INTEGER NOT NULL,"
        " msgpack BLOB NOT NULL)",
        "CREATE INDEX traces_by_stored_at ON traces (stored_at)",
    ),
    (
        # How msgpack is compressed (NULL: not at all), the outcome of a traced test, and the
        # kind of trace for listings filtered by it.
        "ALTER TABLE traces ADD COLUMN codec TEXT",
        "ALTER TABLE traces ADD COLUMN outcome TEXT",
        "ALTER TABLE traces ADD COLUMN kind TEXT",
        f"UPDATE traces SET kind = {kind_sql('source')}",
        "CREATE INDEX traces_by_kind ON traces (kind, stored_at)",
        # A search by text reads this rather than the rows with their documents.
        "CREATE INDEX traces_by_text ON traces (source, trace_id, kind, stored_at)",
    ),
    (
        # The run a trace belongs to (a `vexo run`, a pytest session with its workers, a server
        # process) and the process that recorded it, with the process and trace that started
        # that process.
        "ALTER TABLE traces ADD COLUMN run_id TEXT",
        "ALTER TABLE traces ADD COLUMN process_id TEXT",
        "ALTER TABLE traces ADD COLUMN parent_process_id TEXT",
        "ALTER TABLE traces ADD COLUMN parent_trace_id TEXT",
        "CREATE INDEX traces_by_run ON traces (run_id, stored_at)",
        "CREATE INDEX traces_by_parent ON traces (parent_trace_id)",
        "CREATE TABLE runs (run_id TEXT PRIMARY KEY NOT NULL, command TEXT,"
        " started_at REAL NOT NULL, ended_at REAL)",
    ),
)
SCHEMA_VERSION = len(_MIGRATIONS)


class Columns:
    """The columns a read may use in a file of a given schema version: those added later read
    as what an upgrade would have filled in."""

    def __init__(self, version: int) -> None:
        self.version = version
        second = version >= 2
        self.outcome = "outcome" if second else "NULL"
        self.codec = "codec" if second else "NULL"
        self.kind = "kind" if second else kind_sql("source")
        third = version >= 3
        self.origin = ", ".join(
            name if third else "NULL"
            for name in ("run_id", "process_id", "parent_process_id", "parent_trace_id")
        )
        self.run_id = "run_id" if third else "NULL"
        self.parent_trace_id = "parent_trace_id" if third else "NULL"


_SQLITE_BUSY = 5
_SQLITE_LOCKED = 6
_T = TypeVar("_T")


def make_folder(path: str) -> None:
    parent = os.path.dirname(path)
    if parent:
        try:
            os.makedirs(parent, exist_ok=True)
        except OSError as error:
            raise DatabaseError(f"cannot create the folder of {path}: {error}") from error


def retrying_busy(path: str, timeout: float, work: Callable[[], _T], failure: str) -> _T:
    """Runs work; SQLite's errors become DatabaseError.

    SQLite waits for other connections' locks through the busy timeout, except in a few moments
    (another process switching the file to WAL or recovering it) where it fails at once; those
    attempts are repeated from the start until the timeout is spent.
    """
    deadline = time.monotonic() + timeout
    pause = 0.001
    while True:
        try:
            return work()
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


def opened(path: str, timeout: float, *, writable: bool) -> sqlite3.Connection:
    """A new connection; transactions are begun and ended explicitly (isolation_level=None)."""
    if os.path.isdir(path):
        raise DatabaseError(f"{path} is a folder, not a trace database")
    if writable:
        target, uri = path, False
    else:
        if not os.path.exists(path):
            raise DatabaseError(f"no trace database at {path}")
        target, uri = Path(path).absolute().as_uri() + "?mode=ro", True
    # The writer thread opens the connections it keeps and is the only one to use them.
    return sqlite3.connect(target, timeout=timeout, isolation_level=None, uri=uri)


def schema_version(connection: sqlite3.Connection, path: str) -> int:
    """The schema version of a trace database of ours, 0 for an empty file; raises for anything
    else."""
    if connection.in_transaction:
        return check_format(path, *read_format(connection))
    # The sizes are compared while a read holds the pages it sees in place: a checkpoint of
    # another process could otherwise move pages from the log into the file between two reads.
    connection.execute("BEGIN")
    try:
        return check_format(path, *read_format(connection))
    finally:
        connection.execute("COMMIT")


def read_format(connection: sqlite3.Connection) -> tuple[int, int, int, int]:
    """(application id, schema version, number of schema objects, bytes of its pages) of the
    file.

    Read in one statement, so that a schema another process commits meanwhile is seen whole.
    """
    query = (
        "SELECT (SELECT application_id FROM pragma_application_id),"
        " (SELECT user_version FROM pragma_user_version),"
        " (SELECT count(*) FROM sqlite_master),"
        " (SELECT page_count FROM pragma_page_count) * (SELECT page_size FROM pragma_page_size)"
    )
    return tuple(connection.execute(query).fetchone())


def check_format(path: str, application_id: int, version: int, tables: int, length: int) -> int:
    if application_id == 0 and version == 0 and tables == 0:
        return 0
    if application_id != APPLICATION_ID:
        raise DatabaseError(f"{path} is not a vexo trace database")
    if version > SCHEMA_VERSION:
        raise DatabaseError(
            f"{path} was written by a newer vexo (schema version {version}, this one reads"
            f" {SCHEMA_VERSION}); upgrade vexo to read it"
        )
    if version < 1:
        raise DatabaseError(f"{path} is a damaged vexo trace database (no schema version)")
    # SQLite reads the pages a cut file lacks as damage only where a statement meets them; a
    # write could then change what is left. The log holds at most the pages it has bytes for.
    present = file_size(path) + file_size(path + "-wal")
    if length > present:
        raise DatabaseError(
            f"{path} is a damaged vexo trace database (cut short: {present} of {length} bytes)"
        )
    return version


def file_size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def prepare_for_writing(connection: sqlite3.Connection, path: str) -> None:
    """Makes sure the file is our database in WAL mode with the current schema: an empty file is
    taken over, an older schema upgraded."""
    version = schema_version(connection, path)
    if version == 0:
        # Pages freed by pruning go back to the file system without rewriting the file; only
        # possible in a new file, before it turns to WAL.
        connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
    # A journal mode cannot change inside a transaction.
    _use_wal(connection, path)
    if version == SCHEMA_VERSION:
        return
    with write_transaction(connection):
        # Again under the write lock: another process may have done it in the meantime.
        version = schema_version(connection, path)
        for statements in _MIGRATIONS[version:]:
            for statement in statements:
                connection.execute(statement)
        if version == 0:
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
def write_transaction(connection: sqlite3.Connection) -> Iterator[None]:
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
