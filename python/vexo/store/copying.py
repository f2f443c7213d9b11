"""`vexo copy --from A --to B`: traces from one store into another (a CI job's SQLite file into
the team's PostgreSQL store, or back for offline work).

Documents are copied as they are stored, still compressed, with their listing columns. A trace
already in the destination is kept as it is, so copying twice adds nothing.
"""

from __future__ import annotations

from collections.abc import Callable

from vexo.store import open_store
from vexo.store.base import DEFAULT_TIMEOUT, TraceQuery
from vexo.store.writer import current_writer

__all__ = ["copy_traces"]

_ROWS_PER_BATCH = 200


def copy_traces(
    source: str,
    destination: str,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    progress: Callable[[int, int], None] | None = None,
) -> tuple[int, int]:
    """Copies every trace of `source` missing from `destination`; (traces read, traces added)."""
    current_writer().flush()  # this process's own saves first
    origin, target = open_store(source, timeout), open_store(destination, timeout)
    total = origin.count(TraceQuery())
    target.prepare()
    before = target.count(TraceQuery())
    writing = target.writing()
    read = 0
    try:
        after = ""
        while rows := origin.rows(after=after, limit=_ROWS_PER_BATCH):
            writing.write(rows, replace=False)
            read += len(rows)
            after = rows[-1][0]
            if progress is not None:
                progress(read, total)
    finally:
        writing.close()
    return read, target.count(TraceQuery()) - before
