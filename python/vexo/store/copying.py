"""`vexo copy --from A --to B`: traces from one store into another (a CI job's SQLite file into
the team's PostgreSQL store, or back for offline work).

Documents are copied as they are stored, still compressed, with their listing columns. A trace
already in the destination is kept as it is, so copying twice adds nothing.
"""

from __future__ import annotations

from collections.abc import Callable

from vexo.db import DEFAULT_TIMEOUT, count_traces, prepare_database, stored_rows
from vexo.store.writer import open_for_writing, store_rows

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
    total = count_traces(source, timeout=timeout)
    prepare_database(destination, timeout=timeout)
    before = count_traces(destination, timeout=timeout)
    connection = open_for_writing(destination, timeout)
    read = 0
    try:
        after = ""
        while rows := stored_rows(source, after=after, limit=_ROWS_PER_BATCH, timeout=timeout):
            store_rows(connection, destination, rows, replace=False)
            read += len(rows)
            after = rows[-1][0]
            if progress is not None:
                progress(read, total)
    finally:
        connection.close()
    return read, count_traces(destination, timeout=timeout) - before
