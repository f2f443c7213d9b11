"""A store in one SQLite file: opening it, recognising it, its schema and its versions, and
reading and writing its traces.

A database of ours is recognised by its SQLite application id; its schema version lives in the
SQLite user version. A file written by a newer release is refused rather than misread; one written
by an older release is read as it is and upgraded in place by the first write.
"""

from __future__ import annotations

import contextlib
import functools
import os
import sqlite3
import time
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

from vexo.store.base import (
    FAILED_CONDITION,
    PASSED_CONDITION,
    Row,
    TraceQuery,
    contains_pattern,
    node_id_pattern,
    prefix_pattern,
)
from vexo.store.errors import DatabaseError
from vexo.store.retention import (
    Pruned,
    choose_units,
    give_back_space,
    latest_run,
    prune_units,
)
from vexo.store.rows import COLUMNS, KIND_OF_WORD, LISTED, checked_kind

__all__ = [
    "APPLICATION_ID",
    "SCHEMA_VERSION",
    "SqliteStore",
    "file_size",
    "opened",
    "schema_version",
    "write_transaction",
]

APPLICATION_ID = 0x5645584F  # "VEXO"


def kind_sql(source: str) -> str:
    """An SQL expression giving the kind of the source text `source` (NULL for other sources)."""
    first_word = f"substr({source}, 1, instr({source} || ' ', ' ') - 1)"
    cases = " ".join(f"WHEN '{word}' THEN '{kind}'" for word, kind in KIND_OF_WORD.items())
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
        self.expressions = {name: name for name in COLUMNS}
        if version < 2:
            self.expressions.update(outcome="NULL", codec="NULL", kind=kind_sql("source"))
        if version < 3:
            for name in ("run_id", "process_id", "parent_process_id", "parent_trace_id"):
                self.expressions[name] = "NULL"

    def __getitem__(self, name: str) -> str:
        return self.expressions[name]

    def select(self, names: tuple[str, ...]) -> str:
        return ", ".join(self.expressions[name] for name in names)


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
        from pathlib import Path  # only to read: a traced process writes, and starts faster

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


def open_for_writing(path: str, timeout: float) -> sqlite3.Connection:
    """A connection to the file with the current schema, created with its folder if needed."""
    make_folder(path)
    connection = opened(path, timeout, writable=True)
    try:
        prepare_for_writing(connection, path)
    except BaseException:
        connection.close()
        raise
    return connection


# Most rows one statement inserts. Every statement gives the interpreter lock away while SQLite
# works, and under load taking it back is what costs the traced threads: the writer, waiting,
# is woken each time a traced thread lets go of the lock (at every socket call) and mostly loses
# it again. So a writer's batch of up to this many rows goes in as one statement, its own
# transaction, through a few statement texts that stay prepared (the rows padded to a power of
# two, with a limit); a larger one in statements of this many rows inside one transaction. At
# 512 rows those statements hold about a MiB more than fixed statements of 71 rows did.
_MOST_ROWS_PER_STATEMENT = 512
_ROW = "(" + ", ".join("?" * len(COLUMNS)) + ")"


def write_rows(
    connection: sqlite3.Connection, path: str, rows: list[Row], replace: bool = True
) -> None:
    """Stores the rows in one transaction, replacing traces stored before under their ids (or,
    without `replace`, keeping those).

    The format is checked again under the write lock: a connection is kept open between
    batches, and meanwhile a newer release may have upgraded the file, or the file may have been
    cut or removed. Replacing rows that fit in one statement go in through a statement that
    checks it itself, its own transaction; what it refuses (the format changed or the file cut)
    goes through the full check, which says why.
    """
    per_statement = _rows_per_statement(connection)
    if (
        replace
        and rows
        and len(rows) <= per_statement
        and _inserted_checked(connection, path, rows)
    ):
        return
    with write_transaction(connection):
        if schema_version(connection, path) != SCHEMA_VERSION:
            raise DatabaseError(f"{path} changed its format while vexo was writing to it")
        for start in range(0, len(rows), per_statement):
            chunk = rows[start : start + per_statement]
            values = ", ".join([_ROW] * len(chunk))
            connection.execute(
                f"INSERT OR {'REPLACE' if replace else 'IGNORE'} INTO traces ({', '.join(COLUMNS)})"
                f" VALUES {values}",
                [value for row in chunk for value in row],
            )


def _inserted_checked(connection: sqlite3.Connection, path: str, rows: list[Row]) -> bool:
    """Whether the rows were inserted, replacing, by one statement that found the file ours in
    the current format and not cut short."""
    padded = 1 << (len(rows) - 1).bit_length()
    parameters = [value for row in rows for value in row]
    parameters += [None] * ((padded - len(rows)) * len(COLUMNS))
    present = file_size(path) + file_size(path + "-wal")
    parameters += [APPLICATION_ID, SCHEMA_VERSION, present, len(rows)]
    return connection.execute(_checked_insert_sql(padded), parameters).rowcount == len(rows)


@functools.cache
def _checked_insert_sql(rows: int) -> str:
    """An insert of up to `rows` rows (the first `limit` of them) that writes nothing unless the
    file passes `check_format`'s checks. Nor with triggers, which the schema has none of: one
    that fails with FAIL would leave what the statement did so far, the replaced rows gone."""
    return (
        f"INSERT OR REPLACE INTO traces ({', '.join(COLUMNS)})"
        f" SELECT * FROM (VALUES {', '.join([_ROW] * rows)})"
        " WHERE (SELECT application_id FROM pragma_application_id) = ?"
        " AND (SELECT user_version FROM pragma_user_version) = ?"
        " AND (SELECT page_count FROM pragma_page_count) * (SELECT page_size FROM pragma_page_size)"
        " <= ? AND NOT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'trigger') LIMIT ?"
    )


def _rows_per_statement(connection: sqlite3.Connection) -> int:
    """The most rows one statement takes, a power of two: SQLite libraries before 3.32 take at
    most 999 parameters, later ones 32766 unless built otherwise."""
    try:
        limit = connection.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER)  # from Python 3.11 on
    except AttributeError:
        limit = 32766 if sqlite3.sqlite_version_info >= (3, 32) else 999
    fits = min((limit - 4) // len(COLUMNS), _MOST_ROWS_PER_STATEMENT)
    return 1 << (fits.bit_length() - 1)


class SqliteStore:
    """The traces in one SQLite file. Readers open it read-only and never create it; each
    operation has a connection of its own, attempted again while another process holds the file
    briefly."""

    prunable = True
    retries_writes = False

    def __init__(self, path: str, timeout: float) -> None:
        self.location = path
        self.timeout = timeout

    def prepare(self) -> None:
        def prepare(connection: sqlite3.Connection) -> None:
            with write_transaction(connection):
                pass

        self._write(prepare, failure="cannot write traces to")

    def writing(self) -> _Writing:
        return _Writing(self.location, self.timeout)

    def record_run_start(self, run_id: str, command: str, started_at: float) -> None:
        def record(connection: sqlite3.Connection) -> None:
            with write_transaction(connection):
                connection.execute(
                    "INSERT OR REPLACE INTO runs (run_id, command, started_at) VALUES (?, ?, ?)",
                    (run_id, command, started_at),
                )

        self._write(record, failure="cannot record the run in")

    def record_run_end(self, run_id: str, ended_at: float) -> None:
        def record(connection: sqlite3.Connection) -> None:
            with write_transaction(connection):
                connection.execute(
                    "UPDATE runs SET ended_at = ? WHERE run_id = ?", (ended_at, run_id)
                )

        self._write(record, failure="cannot record the run in", create=False)

    def latest_run_id(self) -> str | None:
        def read(connection: sqlite3.Connection, columns: Columns) -> str | None:
            return latest_run(connection) if columns.version >= 3 else None

        return self._read(read, None)

    def listed(self, query: TraceQuery) -> list[Row]:
        def read(connection: sqlite3.Connection, columns: Columns) -> list[Row]:
            where, parameters = _filter(columns, query)
            statement = (
                f"SELECT {columns.select(LISTED)} FROM traces {where}"
                " ORDER BY stored_at DESC, rowid DESC LIMIT :limit OFFSET :offset"
            )
            limit = -1 if query.limit is None else query.limit
            parameters.update(limit=limit, offset=query.offset)
            return connection.execute(statement, parameters).fetchall()

        return self._read(read, [])

    def count(self, query: TraceQuery) -> int:
        def read(connection: sqlite3.Connection, columns: Columns) -> int:
            where, parameters = _filter(columns, query)
            statement = f"SELECT count(*) FROM traces {where}"
            return connection.execute(statement, parameters).fetchone()[0]

        return self._read(read, 0)

    def document(self, trace_id: str) -> tuple[bytes, str | None] | None:
        def read(
            connection: sqlite3.Connection, columns: Columns
        ) -> tuple[bytes, str | None] | None:
            statement = f"SELECT msgpack, {columns['codec']} FROM traces WHERE trace_id = ?"
            row = connection.execute(statement, (trace_id,)).fetchone()
            return None if row is None else (bytes(row[0]), row[1])

        return self._read(read, None)

    def rows(self, *, after: str, limit: int) -> list[Row]:
        def read(connection: sqlite3.Connection, columns: Columns) -> list[Row]:
            statement = (
                f"SELECT {columns.select(COLUMNS)} FROM traces WHERE trace_id > ?"
                " ORDER BY trace_id LIMIT ?"
            )
            return connection.execute(statement, (after, limit)).fetchall()

        return self._read(read, [])

    def size(self) -> int:
        """Bytes the file and its write-ahead log take on disk (0 when there is none)."""
        return file_size(self.location) + file_size(self.location + "-wal")

    def prune(
        self, *, keep_runs: int | None, before: float | None, max_size: int | None, rewrite: bool
    ) -> Pruned:
        size_before = self.size()

        def delete(connection: sqlite3.Connection) -> tuple[int, int]:
            with write_transaction(connection):
                units = choose_units(
                    connection, keep_runs=keep_runs, before=before, max_size=max_size
                )
                traces = prune_units(connection, units)
            if units:
                give_back_space(connection, rewrite=rewrite)
            return len(units), traces

        runs, traces = self._write(delete, failure="cannot prune", create=False)
        return Pruned(runs, traces, size_before, self.size())

    def _read(self, work: Callable[[sqlite3.Connection, Columns], _T], empty: _T) -> _T:
        """Runs work on a read-only connection; `empty` for a file without traces yet."""

        def read(connection: sqlite3.Connection) -> _T:
            version = schema_version(connection, self.location)
            return empty if version == 0 else work(connection, Columns(version))

        return self._attempt(read, writable=False, failure="cannot read")

    def _write(
        self, work: Callable[[sqlite3.Connection], _T], *, failure: str, create: bool = True
    ) -> _T:
        """Runs work on a connection to the file made ready for writing: created (with its
        folder) when missing if `create`, else refused, and upgraded to the current schema."""
        path = self.location
        if create:
            make_folder(path)
        elif not os.path.exists(path):
            raise DatabaseError(f"no trace database at {path}")

        def prepared(connection: sqlite3.Connection) -> _T:
            prepare_for_writing(connection, path)
            return work(connection)

        return self._attempt(prepared, writable=True, failure=failure)

    def _attempt(
        self, work: Callable[[sqlite3.Connection], _T], *, writable: bool, failure: str
    ) -> _T:
        def attempt() -> _T:
            connection = opened(self.location, self.timeout, writable=writable)
            try:
                return work(connection)
            finally:
                connection.close()

        return retrying_busy(self.location, self.timeout, attempt, failure)


class _Writing:
    """A connection kept between batches, opened at the first write."""

    def __init__(self, path: str, timeout: float) -> None:
        self.path = path
        self.timeout = timeout
        self.connection: sqlite3.Connection | None = None

    def write(
        self, rows: list[Row], *, replace: bool = True, failure: str = "cannot save traces in"
    ) -> None:
        def write() -> None:
            write_rows(self._opened(), self.path, rows, replace)

        retrying_busy(self.path, self.timeout, write, failure)

    def _opened(self) -> sqlite3.Connection:
        if self.connection is None:
            self.connection = open_for_writing(self.path, self.timeout)
        return self.connection

    def close(self) -> None:
        if self.connection is not None:
            self.connection.close()
            self.connection = None


def _filter(columns: Columns, query: TraceQuery) -> tuple[str, dict[str, Any]]:
    conditions, parameters = [], {}
    if query.family_of is not None:
        parent = columns["parent_trace_id"]
        conditions.append(
            f"(trace_id = :family OR {parent} = :family"
            f" OR trace_id = (SELECT {parent} FROM traces WHERE trace_id = :family))"
        )
        parameters["family"] = query.family_of
    if query.run_id is not None:
        conditions.append(f"{columns['run_id']} = :run_id")
        parameters["run_id"] = query.run_id
    if query.kind is not None:
        conditions.append(f"{columns['kind']} = :kind")
        parameters["kind"] = checked_kind(query.kind)
    if query.text:
        # Matched in an index holding both columns, without reading the rows and their documents.
        conditions.append(
            "rowid IN (SELECT rowid FROM traces WHERE source LIKE :text ESCAPE '\\'"
            " OR trace_id LIKE :text ESCAPE '\\')"
        )
        parameters["text"] = contains_pattern(query.text)
    if query.outcome is not None:
        conditions.append(f"{columns['outcome']} = :outcome")
        parameters["outcome"] = query.outcome
    if query.failed:
        conditions.append(FAILED_CONDITION.format(outcome=columns["outcome"]))
    if query.passed:
        conditions.append(PASSED_CONDITION.format(outcome=columns["outcome"]))
    if query.trace_id is not None:
        conditions.append("trace_id = :trace_id")
        parameters["trace_id"] = query.trace_id
    if query.source is not None:
        conditions.append("source = :source")
        parameters["source"] = query.source
    if query.test is not None:
        conditions.append("source LIKE :test ESCAPE '\\'")
        parameters["test"] = node_id_pattern(query.test)
    if query.id_prefix is not None:
        conditions.append("trace_id LIKE :prefix ESCAPE '\\'")
        parameters["prefix"] = prefix_pattern(query.id_prefix)
    return ("WHERE " + " AND ".join(conditions) if conditions else ""), parameters
