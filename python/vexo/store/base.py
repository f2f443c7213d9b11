"""What a trace store does, whether a SQLite file or a PostgreSQL server holds it.

`vexo.store.locations.open_store()` gives the store of a location; `vexo.db` is the face the rest
of the package uses.
"""

from __future__ import annotations

import dataclasses
import re
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from vexo.store.retention import Pruned

__all__ = [
    "DEFAULT_TIMEOUT",
    "FAILED_CONDITION",
    "PASSED_CONDITION",
    "Row",
    "Store",
    "TraceQuery",
    "Writing",
    "contains_pattern",
    "prefix_pattern",
    "node_id_pattern",
]

# Seconds to wait for other writers (and at most for a server to answer, see postgres.py).
DEFAULT_TIMEOUT = 60

# A trace's values in the order of `vexo.store.rows.COLUMNS`.
Row = tuple[Any, ...]


@dataclasses.dataclass(frozen=True)
class TraceQuery:
    """Which traces a listing or a count takes (see `vexo.db.list_traces`)."""

    kind: str | None = None
    text: str | None = None
    run_id: str | None = None
    family_of: str | None = None
    limit: int | None = None
    offset: int = 0
    outcome: str | None = None  # as stored: "passed", "failed", ... or a request's "500"
    failed: bool = False  # failed tests and requests (see `vexo.trace.summary.failed`)
    test: str | None = None  # tests whose node id holds it, "*" matching any text
    id_prefix: str | None = None
    passed: bool = False  # passed tests, requests answered with 2xx or 3xx
    source: str | None = None  # exactly this source: the runs of one test, one request
    trace_id: str | None = None  # this trace alone


class Writing(Protocol):
    """A connection kept for writing rows, opened at the first write."""

    def write(self, rows: list[Row], *, replace: bool = True, failure: str = ...) -> None:
        """Stores the rows in one transaction, replacing traces stored before under their ids
        (or, without `replace`, keeping those); a failure is reported as `failure` and the
        location."""

    def close(self) -> None: ...


class Store(Protocol):
    location: str
    # `vexo prune` and the end of a run may delete its oldest runs.
    prunable: bool
    # Traces it did not take are kept for another attempt: it may come back.
    retries_writes: bool

    def prepare(self) -> None:
        """Creates or upgrades the store if needed and checks that traces can be written."""

    def writing(self) -> Writing: ...

    def record_run_start(self, run_id: str, command: str, started_at: float) -> None: ...

    def record_run_end(self, run_id: str, ended_at: float) -> None: ...

    def latest_run_id(self) -> str | None: ...

    def listed(self, query: TraceQuery) -> list[Row]:
        """The listing columns (`vexo.store.rows.LISTED`) of the traces asked for, the most
        recently stored first."""

    def count(self, query: TraceQuery) -> int: ...

    def document(self, trace_id: str) -> tuple[bytes, str | None] | None:
        """(stored document, its codec) of a trace; None when there is no such trace."""

    def rows(self, *, after: str, limit: int) -> list[Row]:
        """Whole rows as they are stored, in the order of their trace ids, from the first after
        `after`."""

    def size(self) -> int: ...

    def prune(
        self, *, keep_runs: int | None, before: float | None, max_size: int | None, rewrite: bool
    ) -> Pruned: ...


# What `vexo.trace.summary.failed` says, in SQL over the outcome column.
FAILED_CONDITION = "({outcome} IN ('failed', 'error') OR {outcome} LIKE '5__')"
PASSED_CONDITION = "({outcome} = 'passed' OR {outcome} LIKE '2__' OR {outcome} LIKE '3__')"


def contains_pattern(text: str) -> str:
    """A LIKE pattern (escape character backslash) matching any text that holds `text`."""
    return "%" + re.sub(r"([\\%_])", r"\\\1", text) + "%"


def node_id_pattern(pattern: str) -> str:
    """A LIKE pattern matching the source of a test whose node id holds `pattern`, where "*"
    stands for any text."""
    return "pytest " + "%".join(contains_pattern(part)[1:-1] for part in pattern.split("*")).join(
        "%%"
    )


def prefix_pattern(prefix: str) -> str:
    """A LIKE pattern matching the texts that begin with `prefix`."""
    return contains_pattern(prefix)[1:]
