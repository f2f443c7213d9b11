"""Runs and retention inside the file: the runs table, which runs go first, and giving the space
of deleted traces back to the file system.

Retention works by runs: a run's traces go together, the oldest runs first. A trace saved outside
any run (by an older release, or by a program using the tracer directly) counts as a run of its
own.
"""

from __future__ import annotations

import sqlite3
from typing import NamedTuple

__all__ = [
    "Pruned",
    "RunUnit",
    "choose_units",
    "give_back_space",
    "latest_run",
    "prune_units",
]

# Rough bytes a trace's row and index entries take besides its document.
_ROW_OVERHEAD = 200
# A full rewrite of a file without incremental vacuum is worth it from this share of free pages.
_VACUUM_SHARE = 0.25


class RunUnit(NamedTuple):
    """One run as retention sees it."""

    run_id: str | None  # None: a trace saved outside any run
    rowid: int | None  # that trace's row
    started_at: float
    last_at: float  # its last trace, or its end


class Pruned(NamedTuple):
    runs: int
    traces: int
    size_before: int
    size_after: int


def run_units(connection: sqlite3.Connection) -> list[RunUnit]:
    """Every run with traces or a row, and every trace outside a run, the newest first.

    The runs of the traces are found by stepping from one run id to the next in the index by
    run, a few lookups per run rather than a read of every trace's entry.
    """
    query = """
        WITH RECURSIVE ids(run_id) AS (
            SELECT min(run_id) FROM traces
            UNION ALL
            SELECT (SELECT min(run_id) FROM traces WHERE run_id > ids.run_id)
            FROM ids WHERE ids.run_id IS NOT NULL
        )
        SELECT run_id, rowid_, min(at), max(last_at) FROM (
            SELECT run_id, NULL AS rowid_,
                (SELECT min(stored_at) FROM traces WHERE traces.run_id = ids.run_id) AS at,
                (SELECT max(stored_at) FROM traces WHERE traces.run_id = ids.run_id) AS last_at
            FROM ids WHERE run_id IS NOT NULL
            UNION ALL
            SELECT NULL, rowid, stored_at, stored_at FROM traces WHERE run_id IS NULL
            UNION ALL
            SELECT run_id, NULL, started_at, coalesce(ended_at, started_at) FROM runs
        ) GROUP BY run_id, rowid_ ORDER BY 3 DESC
    """
    return [RunUnit(*row) for row in connection.execute(query)]


def choose_units(
    connection: sqlite3.Connection,
    *,
    keep_runs: int | None,
    before: float | None,
    max_size: int | None,
) -> list[RunUnit]:
    """The units to delete: beyond the newest `keep_runs`, last active before `before`, and the
    oldest ones until what is left takes at most `max_size` bytes."""
    units = run_units(connection)
    chosen = set(range(keep_runs, len(units))) if keep_runs is not None else set()
    if before is not None:
        chosen.update(index for index, unit in enumerate(units) if unit.last_at < before)
    if max_size is not None:
        excess = used_bytes(connection) - max_size
        for index in reversed(range(len(units))):
            if excess <= 0:
                break
            excess -= unit_bytes(connection, units[index])
            chosen.add(index)
    return [units[index] for index in sorted(chosen, reverse=True)]


def unit_bytes(connection: sqlite3.Connection, unit: RunUnit) -> int:
    """What the unit's traces take in the file, roughly."""
    where, parameter = _where(unit)
    query = f"SELECT coalesce(sum(length(msgpack)), 0), count(*) FROM traces WHERE {where}"
    size, count = connection.execute(query, (parameter,)).fetchone()
    return size + count * _ROW_OVERHEAD


def used_bytes(connection: sqlite3.Connection) -> int:
    """The bytes of the file in use, free pages left out."""
    query = (
        "SELECT (SELECT page_count FROM pragma_page_count)"
        " - (SELECT freelist_count FROM pragma_freelist_count),"
        " (SELECT page_size FROM pragma_page_size)"
    )
    pages, page_size = connection.execute(query).fetchone()
    return pages * page_size


def prune_units(connection: sqlite3.Connection, units: list[RunUnit]) -> int:
    """Deletes the units' traces and run rows (inside the caller's transaction); the number of
    traces deleted."""
    deleted = 0
    for unit in units:
        where, parameter = _where(unit)
        deleted += connection.execute(f"DELETE FROM traces WHERE {where}", (parameter,)).rowcount
        if unit.run_id is not None:
            connection.execute("DELETE FROM runs WHERE run_id = ?", (unit.run_id,))
    return deleted


def _where(unit: RunUnit) -> tuple[str, object]:
    if unit.run_id is None:
        return "rowid = ?", unit.rowid
    return "run_id = ?", unit.run_id


def give_back_space(connection: sqlite3.Connection, *, rewrite: bool) -> None:
    """Returns the free pages to the file system: at once in a file with incremental vacuum;
    in an older file (with `rewrite`) by rewriting it once, when enough of it is free, which also
    turns incremental vacuum on for later prunes."""
    incremental = connection.execute("PRAGMA auto_vacuum").fetchone()[0] == 2
    if incremental:
        # Run to its end in one go: stepped once, the statement frees a single page.
        connection.executescript("PRAGMA incremental_vacuum")
    elif rewrite and _free_share(connection) >= _VACUUM_SHARE:
        connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
        connection.execute("VACUUM")
    # The log would otherwise keep the size the file gave back. Readers and writers of other
    # processes hold it up: it is tried briefly, and their own checkpoints do it later.
    connection.execute("PRAGMA busy_timeout = 100")
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()


def _free_share(connection: sqlite3.Connection) -> float:
    free, pages = connection.execute(
        "SELECT (SELECT freelist_count FROM pragma_freelist_count),"
        " (SELECT page_count FROM pragma_page_count)"
    ).fetchone()
    return free / pages if pages else 0.0


def latest_run(connection: sqlite3.Connection) -> str | None:
    """The run started last, else the run of the newest trace that has one."""
    row = connection.execute(
        "SELECT run_id FROM runs ORDER BY started_at DESC, rowid DESC LIMIT 1"
    ).fetchone()
    if row is None:
        row = connection.execute(
            "SELECT run_id FROM traces WHERE run_id IS NOT NULL"
            " ORDER BY stored_at DESC, rowid DESC LIMIT 1"
        ).fetchone()
    return None if row is None else row[0]
