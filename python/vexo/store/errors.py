"""The trace store's own errors."""

from __future__ import annotations

__all__ = [
    "AmbiguousTraceIdError",
    "DatabaseError",
    "NothingStoredError",
    "StoreError",
    "TraceNotFoundError",
    "UnreachableError",
]


class StoreError(Exception):
    """Base of the trace store's own errors."""


class DatabaseError(StoreError):
    """The database file is missing, unreadable, not SQLite, or not a trace database of ours."""


class UnreachableError(DatabaseError):
    """The database server cannot be connected to (down, or unreachable over the network)."""


class TraceNotFoundError(StoreError, LookupError):
    """No trace with the given id is stored."""

    def __init__(self, trace_id: str, db_path: str) -> None:
        super().__init__(f"no trace {trace_id} in {db_path}")
        self.trace_id = trace_id
        self.db_path = db_path


class NothingStoredError(StoreError, LookupError):
    """Nothing of what was asked for is stored: no traces, no failed ones, no runs."""


class AmbiguousTraceIdError(StoreError, LookupError):
    """Several stored traces have ids beginning with the given text."""

    def __init__(self, prefix: str, db_path: str, some: list[str]) -> None:
        examples = ", ".join(some[:2]) + (", ..." if len(some) > 2 else "")
        super().__init__(f"trace id {prefix} is ambiguous in {db_path} ({examples})")
        self.prefix = prefix
