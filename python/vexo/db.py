"""The trace store's face: a SQLite file, or a PostgreSQL server for a team (see
`vexo.store.locations.open_store`), holding whole MessagePack trace documents, compressed.

Writers are the traced processes themselves (often several at once: test workers, web server
processes). A save hands the document to the process's writer thread and returns; the writer
commits traces in batches, waiting for other processes up to the busy timeout (see
`vexo.store.writer`). Readers (the command line, the viewer) never create a store; in a process
that saves, they first wait for the traces it has queued.
"""

from __future__ import annotations

import contextlib
import os
import threading
import time
from collections.abc import Iterator
from typing import Any, NamedTuple

from vexo.common import processes
from vexo.store import open_store
from vexo.store.base import DEFAULT_TIMEOUT, Store, TraceQuery
from vexo.store.codec import decompress
from vexo.store.errors import (
    AmbiguousTraceIdError,
    DatabaseError,
    NothingStoredError,
    StoreError,
    TraceNotFoundError,
)
from vexo.store.locations import location_text, shown
from vexo.store.retention import Pruned
from vexo.store.rows import KINDS, Origin, Pending
from vexo.store.sqlite import APPLICATION_ID, SCHEMA_VERSION
from vexo.store.writer import current_writer
from vexo.trace.summary import DocumentSummary, document_trace_id, kind_of, summarize_trace

__all__ = [
    "APPLICATION_ID",
    "AmbiguousTraceIdError",
    "DEFAULT_TIMEOUT",
    "KINDS",
    "SCHEMA_VERSION",
    "DatabaseError",
    "DocumentSummary",
    "NothingStoredError",
    "Pruned",
    "StoreError",
    "TraceNotFoundError",
    "TraceSummary",
    "asked_run_id",
    "asked_trace_id",
    "count_traces",
    "document_trace_id",
    "flush",
    "full_trace_id",
    "last_passing",
    "latest_run_id",
    "list_traces",
    "load_trace",
    "prepare_database",
    "prune",
    "record_run_end",
    "record_run_start",
    "save_trace_in_sqlite",
    "saves_noted",
    "saves_waited",
    "store_size",
    "summarize_trace",
]


class _Waiting(threading.local):
    # Defaults rather than getattr(): a thread's first look-up would raise and catch an
    # AttributeError inside every save of the tracer.
    active = False
    noted: list[str] | None = None  # where `saves_noted()` collects the ids saved


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
    if _waiting.noted is not None:
        _waiting.noted.append(trace_id)
    document = bytes(msgpack)
    trace = Pending(
        location_text(db_path), trace_id, time.time(), document, timeout, wait, _origin()
    )
    current_writer().save(trace)


def _origin() -> Origin:
    """The run and process of a trace saved now: one object while they stay the same, since a
    server saves a trace per request."""
    global _last_origin
    link = processes.current()
    run_id = processes.current_run_id()
    last_link, last_run_id, origin = _last_origin
    if link is not last_link or run_id != last_run_id:
        origin = Origin(run_id, link.process_id, link.parent_process_id, link.parent_trace_id)
        _last_origin = (link, run_id, origin)
    return origin


_last_origin: tuple[Any, str | None, Origin] = (None, None, Origin())


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


@contextlib.contextmanager
def saves_noted() -> Iterator[list[str]]:
    """The ids of the traces saved on this thread meanwhile (also those the tracer saves, such
    as a test's trace when its end marker is called), in the order of their saves."""
    before = _waiting.noted
    _waiting.noted = noted = []
    try:
        yield noted
    finally:
        _waiting.noted = before


def flush(timeout: float | None = None) -> bool:
    """Waits until every trace this process has queued so far is stored or has failed; False
    when the timeout came first."""
    return current_writer().flush(timeout)


def prepare_database(db_path: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Creates or upgrades the database (and its folder) if needed and checks that traces can be
    written to it, so that a long run can be refused before it starts rather than fail at its
    first save."""
    open_store(db_path, timeout).prepare()


def record_run_start(
    db_path: str | os.PathLike[str],
    run_id: str,
    command: str,
    started_at: float,
    *,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Stores a run's row (creating the database if needed)."""
    open_store(db_path, timeout).record_run_start(run_id, command, started_at)


def record_run_end(
    db_path: str | os.PathLike[str],
    run_id: str,
    ended_at: float,
    *,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Stores when a run ended."""
    open_store(db_path, timeout).record_run_end(run_id, ended_at)


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
    means rewriting a file of an older release once). SQLite stores only."""
    store = open_store(db_path, timeout)
    return store.prune(keep_runs=keep_runs, before=before, max_size=max_size, rewrite=rewrite)


def store_size(db_path: str | os.PathLike[str]) -> int:
    """Bytes the store takes on disk, its write-ahead log included (0 when there is none); on a
    PostgreSQL server, what its tables take there."""
    return open_store(db_path).size()


def asked_run_id(
    db_path: str | os.PathLike[str], run: str | None, *, timeout: float = DEFAULT_TIMEOUT
) -> str | None:
    """The run id `run` names ("latest": the run started last); NothingStoredError when the
    store knows no run."""
    if run != "latest":
        return run
    latest = latest_run_id(db_path, timeout=timeout)
    if latest is None:
        raise NothingStoredError(f"no runs in {shown(location_text(db_path))}")
    return latest


def latest_run_id(
    db_path: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT
) -> str | None:
    """The run started last (None when the store knows no run)."""
    return _for_reading(db_path, timeout).latest_run_id()


def list_traces(
    db_path: str | os.PathLike[str],
    *,
    limit: int | None = None,
    offset: int = 0,
    kind: str | None = None,
    text: str | None = None,
    run_id: str | None = None,
    family_of: str | None = None,
    outcome: str | None = None,
    failed: bool = False,
    test: str | None = None,
    id_prefix: str | None = None,
    passed: bool = False,
    source: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> list[TraceSummary]:
    """Summaries of the stored traces, the most recently stored first.

    `kind` keeps one kind of trace ("script", "module", "test" or "request"); `text` keeps the
    traces whose source or id holds it, ignoring the case of ASCII letters; `run_id` the traces
    of one run; `family_of` a trace with the trace that started its process and those its
    process started; `outcome` the traces that ended so ("passed", "failed", "error", "skipped"
    for a test, the status code or "error" for a request); `failed` the failed tests and
    requests; `passed` the passed tests and the requests answered with 2xx or 3xx; `test` the
    tests whose node id holds it ("*" matching any text); `source` the traces of exactly that
    source (a test's are "pytest NODE_ID"); `id_prefix` the traces whose id begins with it.
    """
    query = TraceQuery(
        kind,
        text,
        run_id,
        family_of,
        limit,
        offset,
        outcome,
        failed,
        test,
        id_prefix,
        passed,
        source,
    )
    return [TraceSummary(*row) for row in _for_reading(db_path, timeout).listed(query)]


def count_traces(
    db_path: str | os.PathLike[str],
    *,
    kind: str | None = None,
    text: str | None = None,
    run_id: str | None = None,
    outcome: str | None = None,
    failed: bool = False,
    test: str | None = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> int:
    """How many traces `list_traces` gives with the same filters and no limit."""
    query = TraceQuery(kind, text, run_id, outcome=outcome, failed=failed, test=test)
    return _for_reading(db_path, timeout).count(query)


def last_passing(
    db_path: str | os.PathLike[str], trace_id: str, *, timeout: float = DEFAULT_TIMEOUT
) -> TraceSummary | None:
    """The newest passing run of the test (or request) that the trace recorded, stored before
    it; None when there is none. A test is known by its node id, a request by its method and
    path."""
    store = _for_reading(db_path, timeout)
    found = store.listed(TraceQuery(trace_id=trace_id))
    if not found:
        raise TraceNotFoundError(trace_id, shown(store.location))
    trace = TraceSummary(*found[0])
    if kind_of(trace.source) not in ("test", "request"):
        return None
    runs = store.listed(TraceQuery(source=trace.source, passed=True))
    earlier = [TraceSummary(*row) for row in runs if row[1] <= trace.stored_at]
    return next((run for run in earlier if run.trace_id != trace_id), None)


def full_trace_id(
    db_path: str | os.PathLike[str], given: str, *, timeout: float = DEFAULT_TIMEOUT
) -> str:
    """The id of the one stored trace whose id is `given` or begins with it; TraceNotFoundError
    when there is none, AmbiguousTraceIdError when there are several."""
    store = _for_reading(db_path, timeout)
    found = [row[0] for row in store.listed(TraceQuery(id_prefix=given, limit=3))]
    if given in found or len(found) == 1:
        return given if given in found else found[0]
    if not found:
        raise TraceNotFoundError(given, shown(store.location))
    if store.listed(TraceQuery(trace_id=given)):
        return given
    raise AmbiguousTraceIdError(given, shown(store.location), found)


def asked_trace_id(
    db_path: str | os.PathLike[str],
    given: str | None,
    *,
    last_failed: bool = False,
    timeout: float = DEFAULT_TIMEOUT,
) -> str:
    """The id of the trace asked for: `given` (the id or a unique beginning of it), else the
    newest trace (`last_failed`: the newest failed test or request); NothingStoredError when
    there is none."""
    if given is not None:
        return full_trace_id(db_path, given, timeout=timeout)
    newest = list_traces(db_path, limit=1, failed=last_failed, timeout=timeout)
    if not newest:
        which = "failed tests or requests" if last_failed else "traces"
        raise NothingStoredError(f"no {which} in {shown(location_text(db_path))}")
    return newest[0].trace_id


def load_trace(
    db_path: str | os.PathLike[str], trace_id: str, *, timeout: float = DEFAULT_TIMEOUT
) -> bytes:
    """The stored MessagePack document of one trace, decompressed."""
    store = _for_reading(db_path, timeout)
    found = store.document(trace_id)
    if found is None:
        raise TraceNotFoundError(trace_id, shown(store.location))
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
    return _for_reading(db_path, timeout).rows(after=after, limit=limit)


def _for_reading(db_path: str | os.PathLike[str], timeout: float) -> Store:
    """The store, once this process's own saves are in it."""
    store = open_store(db_path, timeout)
    current_writer().flush()
    return store
