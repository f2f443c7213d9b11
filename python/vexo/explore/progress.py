"""Progress of long work on a large trace, on standard error, once it has taken a while."""

from __future__ import annotations

import time

from vexo.common.console import say

__all__ = ["Progress"]


class Progress:
    """Call it with (done, total); it says nothing for the first `quiet` seconds, then a line at
    most once a second."""

    def __init__(self, what: str, quiet: float = 2.0) -> None:
        self.what = what
        self.started = time.monotonic()
        self.quiet = quiet
        self.said = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self.started < self.quiet or now - self.said < 1.0:
            return
        self.said = now
        share = f" ({100 * done // total}%)" if total else ""
        say(f"{self.what}: {done} of {total}{share}")
