"""The process's trace writer: saves leave the traced thread.

A traced thread hands its trace document to a queue and goes on. One daemon thread per process
takes what has gathered in the queue, summarises and compresses it, and commits it in one
transaction through a connection it keeps open per database, so a busy server pays for one
commit per batch rather than for a connection and a commit per trace.

Exit: an atexit function writes whatever is queued before the interpreter goes on finalising.
It runs after threading has joined the program's non-daemon threads, and daemon threads still run
then, so everything traced until that moment is written. A save that comes later (another atexit
function, a daemon thread) is written on the saving thread itself. threading's own exit functions
(run before it joins the threads, and also at the end of a multiprocessing child, which skips
atexit) wait for the queue too. A process killed by a signal loses what is still queued: the
writer gathers traces for at most a tenth of a second before it writes them, so that is the
traces of that last moment.

Fork: a child starts with an empty queue and no writer; its parent writes what it queued. A fork
waits while the writer is inside SQLite, whose process-wide locks a child could otherwise
inherit locked.
"""

from __future__ import annotations

import atexit
import contextlib
import dataclasses
import logging
import os
import sys
import threading
from collections import deque

from vexo.store import open_store
from vexo.store.base import Writing
from vexo.store.errors import DatabaseError
from vexo.store.locations import shown
from vexo.store.retries import Retries
from vexo.store.rows import Pending, rows_of

__all__ = ["FALLBACK_VARIABLE", "Writer", "current_writer"]

logger = logging.getLogger("vexo")

# A producer finding this much waiting waits for the writer rather than dropping traces.
_MAX_QUEUED_BYTES = 64 * 2**20
# At most this much goes into one transaction, so that one batch does not hold the write lock long.
_MAX_BATCH_BYTES = 16 * 2**20
_LOST_NAMED = 10
# How long the writer waits for more traces once one has come, in seconds. A server saves a
# trace per request, and each batch, whatever its size, costs it a commit and several hand-overs
# of the interpreter lock, each of which holds up the thread serving requests while the writer
# runs. A tenth of a second makes a quarter of the batches that 25 ms made. A flush, and so any
# read of the database by this process, ends the wait at once.
_LINGER = 0.1
# Names a SQLite file for the traces a database server did not take by the time the process ends.
FALLBACK_VARIABLE = "VEXO_FALLBACK_DB"


class Writer:
    def __init__(self) -> None:
        # A save takes the lock itself: entering the condition would only add a Python call.
        self.lock = threading.Lock()
        self.condition = threading.Condition(self.lock)
        self.queue: deque[Pending] = deque()
        self.queued_bytes = 0
        self.last_queued = 0  # the number of the last trace queued
        self.last_done = 0  # every trace up to this number is written or failed
        self.thread: threading.Thread | None = None
        self.running = False  # the thread takes traces; cheaper to read than asking the thread
        self.closing = False
        self.writer_idle = False  # the writer thread waits for traces
        self.awaited = 0  # the last trace a thread waits for: up to it, the writer does not linger
        self.connections: dict[str, Writing] = {}  # used by the writer thread only
        self.losses = Losses()
        self.writing = threading.Lock()  # held while the writer thread is inside SQLite
        self.retries = Retries()  # used by the writer thread only
        self.last_attempt = False  # at exit: traces that fail now are lost

    def save(self, trace: Pending) -> None:
        """Queues the trace, and waits for it when it is waited for; writes it on the calling
        thread when no writer thread can take it. Raises a waited trace's failure."""
        if not self._queue(trace):
            write_now(trace)
            return
        if trace.waited:
            with self.condition:
                self.condition.wait_for(lambda: self._done(trace.number))
            if trace.error is not None:
                raise trace.error
            if self.last_done < trace.number:
                raise DatabaseError(f"trace {trace.trace_id} was not written: the writer stopped")

    def flush(self, timeout: float | None = None) -> bool:
        """Waits until every trace queued so far is written (or has failed); False on timeout."""
        with self.condition:
            last = self.last_queued
            if not self._done(last):
                self.awaited = max(self.awaited, last)
                self.condition.notify_all()  # a lingering writer starts its batch now
            return self.condition.wait_for(lambda: self._done(last), timeout)

    def close(self) -> None:
        """Writes what is queued and stops the thread; later saves are written where they are
        made."""
        with self.condition:
            self.closing = True
            self.condition.notify_all()
            thread = self.thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        self.losses.close()

    def _done(self, number: int) -> bool:
        return self.last_done >= number or self.thread is None or not self.thread.is_alive()

    def _queue(self, trace: Pending) -> bool:
        with self.lock:
            if self.closing or not self._started():
                return False
            while (
                self.queue
                and self.queued_bytes >= _MAX_QUEUED_BYTES
                and not self._done(self.last_queued)
            ):
                self.condition.wait(0.1)
            self.last_queued += 1
            trace.number = self.last_queued
            self.queue.append(trace)
            self.queued_bytes += len(trace.document)
            # A busy writer looks at the queue when its batch is done, a lingering one when its
            # pause ends, unless a thread waits for this trace or a whole batch is there.
            if trace.waited:
                self.awaited = trace.number
            if self.writer_idle or trace.waited or self.queued_bytes >= _MAX_BATCH_BYTES:
                self.condition.notify_all()
        return True

    def _started(self) -> bool:
        if self.thread is None:
            thread = threading.Thread(target=self._run, name="vexo-writer", daemon=True)
            self.running = True
            try:
                thread.start()
            except RuntimeError:  # no new threads at the interpreter's shutdown
                self.running = False
                return False
            self.thread = thread
        return self.running

    def _run(self) -> None:
        # A tracer's hook for new threads has nothing to see here.
        sys.setprofile(None)
        try:
            while (batch := self._next_batch()) is not None:
                try:
                    with self.writing:
                        self._write(batch)
                finally:
                    self._finish(batch)
        finally:
            self.running = False
            for connection in self.connections.values():
                connection.close()
            self.connections.clear()

    def _next_batch(self) -> list[Pending] | None:
        with self.condition:
            self.writer_idle = True
            while not (self.queue or self.closing):
                wait = self.retries.seconds_to_wait()
                if wait == 0.0:
                    break  # due for another attempt
                self.condition.wait(wait)
            self.writer_idle = False
            self._queue_retries()
            if not self.closing and not self.queue[-1].waited:
                # Traces come in bursts: each batch costs the traced threads a few hand-overs
                # of the interpreter lock, whatever its size.
                self.condition.wait_for(self._gathered, _LINGER)
            if not self.queue:
                return None
            batch = [self.queue.popleft()]
            size = len(batch[0].document)
            while self.queue and size + len(self.queue[0].document) <= _MAX_BATCH_BYTES:
                batch.append(self.queue.popleft())
                size += len(batch[-1].document)
            return batch

    def _gathered(self) -> bool:
        """Whether the writer stops waiting for more traces: a thread waits for those queued, a
        whole batch is there, or the process ends."""
        return (
            self.closing or self.awaited > self.last_done or self.queued_bytes >= _MAX_BATCH_BYTES
        )

    def _queue_retries(self) -> None:
        """Puts the traces waiting for a server back at the head of the queue when they are due;
        at exit, all of them, for a last attempt."""
        if self.closing and self.retries:
            self.last_attempt = True
        retried = self.retries.take(even_early=self.last_attempt)
        self.queue.extendleft(reversed(retried))
        self.queued_bytes += sum(len(trace.document) for trace in retried)

    def _finish(self, batch: list[Pending]) -> None:
        with self.condition:
            self.queued_bytes -= sum(len(trace.document) for trace in batch)
            # A retried trace is older than the rest of its batch.
            self.last_done = max(self.last_done, batch[-1].number)
            self.condition.notify_all()

    def _write(self, batch: list[Pending]) -> None:
        by_path: dict[str, list[Pending]] = {}
        for trace in batch:
            by_path.setdefault(trace.path, []).append(trace)
        for path, traces in by_path.items():
            self._write_to(path, traces)

    def _write_to(self, path: str, traces: list[Pending]) -> None:
        store = open_store(path, max(trace.timeout for trace in traces))
        try:
            rows = rows_of(traces)
            writing = self.connections.get(path)
            if writing is None:
                writing = self.connections[path] = store.writing()
            writing.write(rows)
        except Exception as error:
            self._forget(path)
            for trace in traces:
                trace.error = error
            lost = [trace for trace in traces if not trace.waited]
            if store.retries_writes:
                lost = self.retries.hold(lost) if not self.last_attempt else _spilled(lost)
            self.losses.lost(path, lost, error)
        else:
            self.retries.succeeded()
            self.losses.written(path)

    def _forget(self, path: str) -> None:
        """Drops the connection after a failure: the next batch starts afresh (the file may have
        been replaced or repaired meanwhile)."""
        connection = self.connections.pop(path, None)
        if connection is not None:
            try:
                connection.close()
            except Exception:  # the file or the server went away: nothing left to close
                pass


def write_now(trace: Pending) -> None:
    """Writes one trace on the calling thread through a connection of its own."""
    rows = rows_of([trace])
    writing = open_store(trace.path, trace.timeout).writing()
    try:
        writing.write(rows, failure=f"cannot save trace {trace.trace_id} in")
    finally:
        writing.close()


def _spilled(traces: list[Pending]) -> list[Pending]:
    """At exit, traces a server did not take go to the SQLite file that VEXO_FALLBACK_DB names,
    if it names one; gives back those still lost."""
    fallback = os.environ.get(FALLBACK_VARIABLE)
    if not fallback or not traces:
        return traces
    path = os.path.abspath(fallback)
    try:
        for trace in traces:
            write_now(dataclasses.replace(trace, path=path))
    except Exception as error:
        logger.warning("vexo: cannot keep unsent traces in %s either: %s", path, error)
        return traces
    logger.warning(
        "vexo: %d traces that %s did not take were saved in %s; `vexo copy` sends them later",
        len(traces), shown(traces[0].path), path,
    )  # fmt: skip
    return []


class Losses:
    """Reports traces the writer failed to store: the first failure for a database with the
    traces it lost, then only how many more were lost, once writing works again or at exit."""

    def __init__(self) -> None:
        self.failing: dict[str, int] = {}  # database -> traces lost since its first report

    def lost(self, path: str, traces: list[Pending], error: BaseException) -> None:
        if not traces:
            return
        if path in self.failing:
            self.failing[path] += len(traces)
            return
        self.failing[path] = 0
        names = ", ".join(_name(trace) for trace in traces[:_LOST_NAMED])
        more = f" and {len(traces) - _LOST_NAMED} more" if len(traces) > _LOST_NAMED else ""
        logger.warning("vexo: %s; lost %s%s", error, names, more)

    def written(self, path: str) -> None:
        if path in self.failing:
            self._report(path, self.failing.pop(path), " before writing worked again")

    def close(self) -> None:
        for path, count in self.failing.items():
            self._report(path, count)
        self.failing.clear()

    def _report(self, path: str, count: int, when: str = "") -> None:
        if count:
            logger.warning("vexo: %d more traces were not saved in %s%s", count, shown(path), when)


def _name(trace: Pending) -> str:
    return trace.trace_id if trace.source is None else f"{trace.trace_id} ({trace.source})"


_writer = Writer()
# A child's inherited writers stay referenced and untouched: closing a connection that crossed
# a fork could disturb the parent's use of the file.
_inherited: list[Writer] = []


def current_writer() -> Writer:
    return _writer


def _before_fork() -> None:
    _writer.writing.acquire()


def _after_fork_in_parent() -> None:
    _writer.writing.release()


def _forget_inherited_writer() -> None:
    global _writer
    _inherited.append(_writer)
    _writer = Writer()


def _close_at_exit() -> None:
    _writer.close()


def _flush_at_threading_shutdown() -> None:
    _writer.flush()


atexit.register(_close_at_exit)
with contextlib.suppress(AttributeError, RuntimeError):  # a private function, or shutting down
    threading._register_atexit(_flush_at_threading_shutdown)  # type: ignore[attr-defined]
if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before_fork,
        after_in_parent=_after_fork_in_parent,
        after_in_child=_forget_inherited_writer,
    )
