"""A store on a PostgreSQL server, for a team: many machines write to it, the explorer reads it.

The same rows as in a SQLite file, in tables of our own (`vexo_traces`, and `vexo_schema` holding
the schema version), so that a database shared with other applications is not disturbed. vexo
creates and upgrades the schema itself: every step in one transaction, under an advisory lock,
so that several machines starting at once upgrade it once. psycopg (3) is an optional
dependency, imported only when a PostgreSQL URL is used.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from vexo.store.base import (
    FAILED_CONDITION,
    PASSED_CONDITION,
    Row,
    TraceQuery,
    contains_pattern,
    node_id_pattern,
    prefix_pattern,
)
from vexo.store.errors import DatabaseError, UnreachableError
from vexo.store.locations import masked, shown
from vexo.store.rows import COLUMNS, LISTED, checked_kind

if TYPE_CHECKING:
    from vexo.store.retention import Pruned

__all__ = ["SCHEMA_VERSION", "PostgresStore"]

# Step i brings the schema from version i to version i + 1, as in a SQLite file.
_MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        "CREATE TABLE vexo_traces (trace_id text PRIMARY KEY, stored_at double precision NOT NULL,"
        " started_at double precision, source text, record_count bigint, size bigint NOT NULL,"
        " outcome text, codec text, kind text, msgpack bytea NOT NULL, run_id text,"
        " process_id text, parent_process_id text, parent_trace_id text)",
        "CREATE INDEX vexo_traces_by_stored_at ON vexo_traces (stored_at)",
        "CREATE INDEX vexo_traces_by_kind ON vexo_traces (kind, stored_at)",
        "CREATE INDEX vexo_traces_by_run ON vexo_traces (run_id, stored_at)",
        "CREATE INDEX vexo_traces_by_parent ON vexo_traces (parent_trace_id)",
        "CREATE TABLE vexo_runs (run_id text PRIMARY KEY, command text,"
        " started_at double precision, ended_at double precision)",
    ),
)
SCHEMA_VERSION = len(_MIGRATIONS)
# Taken for the length of a schema change: any 64-bit number that names "vexo's schema".
_SCHEMA_LOCK = 0x5645584F_53434845

_COLUMNS = ", ".join(COLUMNS)
_UPDATED = ", ".join(f"{column} = excluded.{column}" for column in COLUMNS if column != "trace_id")
_LISTED = ", ".join(LISTED)
_MSGPACK = COLUMNS.index("msgpack")


def connect(url: str, timeout: float) -> Any:
    """A new connection in autocommit mode (transactions are begun explicitly)."""
    try:
        import psycopg
    except ImportError:
        raise DatabaseError(
            f"{shown(url)}: a PostgreSQL store needs psycopg; install it with"
            " `pip install vexo[postgres]`"
        ) from None
    try:
        return psycopg.connect(url, autocommit=True, connect_timeout=_connect_timeout(timeout))
    except psycopg.Error as error:
        raise UnreachableError(f"cannot connect to {shown(url)}: {_message(error, url)}") from None


def _connect_timeout(timeout: float) -> int:
    # The busy timeout is about waiting for other writers; an unreachable server is known sooner,
    # and a program's exit should not wait a minute for one.
    return max(1, min(round(timeout), 10))


def prepare_for_writing(connection: Any, url: str) -> None:
    """Creates or upgrades our tables; refuses a schema written by a newer vexo."""
    version = _schema_version(connection)
    if version == SCHEMA_VERSION:
        return
    _check_version(url, version)
    with _transaction(connection):
        connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        connection.execute("CREATE TABLE IF NOT EXISTS vexo_schema (version integer NOT NULL)")
        version = _schema_version(connection)  # another machine may have done it meanwhile
        _check_version(url, version)
        for statements in _MIGRATIONS[version:]:
            for statement in statements:
                connection.execute(statement)
        connection.execute("DELETE FROM vexo_schema")
        connection.execute("INSERT INTO vexo_schema (version) VALUES (%s)", (SCHEMA_VERSION,))


def write_rows(
    connection: Any, url: str, rows: list[tuple[Any, ...]], replace: bool = True
) -> None:
    """Stores the rows in one transaction, replacing traces stored before under their ids (or,
    without `replace`, keeping those)."""
    with _transaction(connection):
        _check_version(url, _schema_version(connection), exact=True)
        with connection.cursor() as cursor:
            cursor.executemany(
                f"INSERT INTO vexo_traces ({_COLUMNS}) VALUES ({', '.join(['%s'] * len(COLUMNS))})"
                f" ON CONFLICT (trace_id) DO {f'UPDATE SET {_UPDATED}' if replace else 'NOTHING'}",
                rows,
            )


@contextlib.contextmanager
def _transaction(connection: Any) -> Iterator[None]:
    """One transaction on an autocommit connection, its failure raised as it is. psycopg's own
    block would also log a warning when it cannot roll back, as on a connection that the server
    closed while it was stopping: the program's log would show it although the writer keeps the
    traces and writes them once the server is back."""
    connection.execute("BEGIN")
    try:
        yield
    except BaseException:
        if not connection.broken:
            with contextlib.suppress(Exception):
                connection.execute("ROLLBACK")
        raise
    connection.execute("COMMIT")


def list_rows(connection: Any, query: TraceQuery) -> list[Row]:
    where, parameters = _filter(query)
    statement = (
        f"SELECT {_LISTED} FROM vexo_traces {where}"
        " ORDER BY stored_at DESC, trace_id DESC LIMIT %(limit)s OFFSET %(offset)s"
    )
    parameters.update(limit=query.limit, offset=query.offset)
    return [tuple(row) for row in connection.execute(statement, parameters)]


def count_rows(connection: Any, query: TraceQuery) -> int:
    where, parameters = _filter(query)
    return connection.execute(f"SELECT count(*) FROM vexo_traces {where}", parameters).fetchone()[0]


def stored_rows(connection: Any, after: str, limit: int) -> list[Row]:
    statement = f"SELECT {_COLUMNS} FROM vexo_traces WHERE trace_id > %s ORDER BY trace_id LIMIT %s"
    return [
        (*row[:_MSGPACK], bytes(row[_MSGPACK]), *row[_MSGPACK + 1 :])
        for row in connection.execute(statement, (after, limit))
    ]


def record_run_start(connection: Any, url: str, run_id: str, command: str, started: float) -> None:
    with _errors_shown(url, "cannot record the run in"):
        connection.execute(
            "INSERT INTO vexo_runs (run_id, command, started_at) VALUES (%s, %s, %s)"
            " ON CONFLICT (run_id) DO UPDATE SET command = excluded.command,"
            " started_at = excluded.started_at",
            (run_id, command, started),
        )


def record_run_end(connection: Any, url: str, run_id: str, ended: float) -> None:
    with _errors_shown(url, "cannot record the run in"):
        connection.execute("UPDATE vexo_runs SET ended_at = %s WHERE run_id = %s", (ended, run_id))


def latest_run(connection: Any) -> str | None:
    row = connection.execute(
        "SELECT run_id FROM vexo_runs ORDER BY started_at DESC, run_id DESC LIMIT 1"
    ).fetchone()
    return None if row is None else row[0]


def tables_size(connection: Any) -> int:
    """Bytes our tables and their indexes take on the server."""
    return connection.execute(
        "SELECT coalesce(sum(pg_total_relation_size(t)), 0)::bigint FROM (VALUES"
        " (to_regclass('vexo_traces')), (to_regclass('vexo_runs')), (to_regclass('vexo_schema')))"
        " AS tables(t) WHERE t IS NOT NULL"
    ).fetchone()[0]


def load_row(connection: Any, trace_id: str) -> tuple[bytes, str | None] | None:
    row = connection.execute(
        "SELECT msgpack, codec FROM vexo_traces WHERE trace_id = %s", (trace_id,)
    ).fetchone()
    return None if row is None else (bytes(row[0]), row[1])


@contextlib.contextmanager
def reading(url: str, timeout: float) -> Iterator[Any | None]:
    """A connection to read from; None while the server holds no traces of ours yet.

    A thread keeps its connection for the next read (the explorer reads a page per request; a
    new connection would cost more than the query); one that failed is closed and made anew.
    """
    kept = _readers.__dict__.setdefault("connections", {})
    key = (url, os.getpid())  # never one that crossed a fork
    connection = kept.pop(key, None)
    if connection is None or connection.closed:
        connection = connect(url, timeout)
    try:
        version = _schema_version(connection)
        _check_version(url, version)
        yield connection if version else None
    except BaseException:
        connection.close()
        raise
    kept[key] = connection


_readers = threading.local()


def _schema_version(connection: Any) -> int:
    exists = connection.execute("SELECT to_regclass('vexo_schema') IS NOT NULL").fetchone()[0]
    if not exists:
        return 0
    row = connection.execute("SELECT max(version) FROM vexo_schema").fetchone()
    return row[0] or 0


def _check_version(url: str, version: int, *, exact: bool = False) -> None:
    if version > SCHEMA_VERSION:
        raise DatabaseError(
            f"{shown(url)} was written by a newer vexo (schema version {version}, this one reads"
            f" {SCHEMA_VERSION}); upgrade vexo to use it"
        )
    if exact and version != SCHEMA_VERSION:
        raise DatabaseError(f"{shown(url)} changed its format while vexo was writing to it")


def _filter(query: TraceQuery) -> tuple[str, dict[str, Any]]:
    conditions, parameters = [], {}
    if query.family_of is not None:
        conditions.append(
            "(trace_id = %(family)s OR parent_trace_id = %(family)s"
            " OR trace_id = (SELECT parent_trace_id FROM vexo_traces WHERE trace_id = %(family)s))"
        )
        parameters["family"] = query.family_of
    if query.run_id is not None:
        conditions.append("run_id = %(run_id)s")
        parameters["run_id"] = query.run_id
    if query.kind is not None:
        conditions.append("kind = %(kind)s")
        parameters["kind"] = checked_kind(query.kind)
    if query.text:
        conditions.append("(source ILIKE %(text)s OR trace_id ILIKE %(text)s)")
        parameters["text"] = contains_pattern(query.text)
    if query.outcome is not None:
        conditions.append("outcome = %(outcome)s")
        parameters["outcome"] = query.outcome
    if query.failed:
        conditions.append(FAILED_CONDITION.format(outcome="outcome"))
    if query.passed:
        conditions.append(PASSED_CONDITION.format(outcome="outcome"))
    if query.trace_id is not None:
        conditions.append("trace_id = %(trace_id)s")
        parameters["trace_id"] = query.trace_id
    if query.source is not None:
        conditions.append("source = %(source)s")
        parameters["source"] = query.source
    if query.test is not None:
        conditions.append("source ILIKE %(test)s")
        parameters["test"] = node_id_pattern(query.test)
    if query.id_prefix is not None:
        conditions.append("trace_id LIKE %(prefix)s")
        parameters["prefix"] = prefix_pattern(query.id_prefix)
    return ("WHERE " + " AND ".join(conditions) if conditions else ""), parameters


def _message(error: BaseException, url: str) -> str:
    """The server's or the driver's message, with the URL's password taken out wherever the
    driver repeated it."""
    text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    return masked(text, url)


def open_for_writing(url: str, timeout: float) -> Any:
    """A connection with our schema in place, for the writer to keep."""
    connection = connect(url, timeout)
    try:
        with _errors_shown(url, "cannot write traces to"):
            prepare_for_writing(connection, url)
    except BaseException:
        connection.close()
        raise
    return connection


class PostgresStore:
    """Our tables on a PostgreSQL server. A reading thread keeps its connection (see
    `reading()`) and the writer its `writing()`; other writes have a connection of their own."""

    # A team's store holds the runs of many machines: what to keep is the team's choice.
    prunable = False
    # A server may be restarted or out of reach for a while.
    retries_writes = True

    def __init__(self, url: str, timeout: float) -> None:
        self.location = url
        self.timeout = timeout

    def prepare(self) -> None:
        open_for_writing(self.location, self.timeout).close()

    def writing(self) -> _Writing:
        return _Writing(self.location, self.timeout)

    def record_run_start(self, run_id: str, command: str, started_at: float) -> None:
        with self._connection() as connection:
            record_run_start(connection, self.location, run_id, command, started_at)

    def record_run_end(self, run_id: str, ended_at: float) -> None:
        with self._connection() as connection:
            record_run_end(connection, self.location, run_id, ended_at)

    def latest_run_id(self) -> str | None:
        return read(self.location, self.timeout, latest_run, None)

    def listed(self, query: TraceQuery) -> list[Row]:
        return read(self.location, self.timeout, lambda c: list_rows(c, query), [])

    def count(self, query: TraceQuery) -> int:
        return read(self.location, self.timeout, lambda c: count_rows(c, query), 0)

    def document(self, trace_id: str) -> tuple[bytes, str | None] | None:
        return read(self.location, self.timeout, lambda c: load_row(c, trace_id), None)

    def rows(self, *, after: str, limit: int) -> list[Row]:
        return read(self.location, self.timeout, lambda c: stored_rows(c, after, limit), [])

    def size(self) -> int:
        """Bytes our tables and their indexes take on the server."""
        return read(self.location, self.timeout, tables_size, 0)

    def prune(
        self, *, keep_runs: int | None, before: float | None, max_size: int | None, rewrite: bool
    ) -> Pruned:
        raise DatabaseError(f"{shown(self.location)}: vexo prune works on SQLite stores only")

    @contextlib.contextmanager
    def _connection(self) -> Iterator[Any]:
        connection = open_for_writing(self.location, self.timeout)
        try:
            yield connection
        finally:
            connection.close()


class _Writing:
    """A connection kept between batches, opened at the first write."""

    def __init__(self, url: str, timeout: float) -> None:
        self.url = url
        self.timeout = timeout
        self.connection: Any = None

    def write(
        self, rows: list[Row], *, replace: bool = True, failure: str = "cannot save traces in"
    ) -> None:
        if self.connection is None:
            self.connection = open_for_writing(self.url, self.timeout)
        with _errors_shown(self.url, failure):
            write_rows(self.connection, self.url, rows, replace)

    def close(self) -> None:
        if self.connection is not None:
            self.connection.close()
            self.connection = None


def read(url: str, timeout: float, work: Any, empty: Any) -> Any:
    """work(connection) on a connection to the store; `empty` while it holds no traces of ours."""
    with _errors_shown(url, "cannot read"), reading(url, timeout) as connection:
        return empty if connection is None else work(connection)


@contextlib.contextmanager
def _errors_shown(url: str, failure: str) -> Iterator[None]:
    """The driver's errors as DatabaseError, naming the store without its password."""
    try:
        import psycopg
    except ImportError:
        yield  # connect() says that psycopg is missing
        return
    try:
        yield
    except psycopg.Error as error:
        raise DatabaseError(f"{failure} {shown(url)}: {_message(error, url)}") from None
