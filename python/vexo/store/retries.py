"""Traces waiting for a database server that could not be reached.

A PostgreSQL store may be down for a while (restarted, unreachable over the network): its traces
are kept for another attempt rather than lost or left to slow the program down. They wait here,
outside the writer's queue, so that producers are never held up by them; the oldest are let go
past a bound, and the writer makes a last attempt at exit.
"""

from __future__ import annotations

import time
from collections import deque

from vexo.store.rows import Pending

__all__ = ["Retries"]

_MAX_BYTES = 64 * 2**20
_FIRST_PAUSE = 0.5
_LONGEST_PAUSE = 30.0


class Retries:
    def __init__(self) -> None:
        self.waiting: deque[Pending] = deque()
        self.bytes = 0
        self.due = 0.0  # time.monotonic() of the next attempt
        self.pause = _FIRST_PAUSE

    def __bool__(self) -> bool:
        return bool(self.waiting)

    def hold(self, traces: list[Pending]) -> list[Pending]:
        """Keeps traces for a later attempt, each pause twice the last; gives back those let go
        to stay within the bound, oldest first."""
        self.waiting.extend(traces)
        self.bytes += sum(len(trace.document) for trace in traces)
        dropped = []
        while self.bytes > _MAX_BYTES and len(self.waiting) > 1:
            dropped.append(self.waiting.popleft())
            self.bytes -= len(dropped[-1].document)
        self.due = time.monotonic() + self.pause
        self.pause = min(self.pause * 2, _LONGEST_PAUSE)
        return dropped

    def succeeded(self) -> None:
        self.pause = _FIRST_PAUSE

    def seconds_to_wait(self) -> float | None:
        """How long until the next attempt is due; None with nothing waiting."""
        return max(0.0, self.due - time.monotonic()) if self.waiting else None

    def take(self, *, even_early: bool = False) -> list[Pending]:
        """The traces due for another attempt (all of them with `even_early`)."""
        if not self.waiting or (not even_early and time.monotonic() < self.due):
            return []
        taken = list(self.waiting)
        self.waiting.clear()
        self.bytes = 0
        return taken
