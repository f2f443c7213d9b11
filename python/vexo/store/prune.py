"""`vexo prune`: deleting old runs from the store, and the texts of ages and sizes it takes.

    vexo prune --keep-runs 5        # the newest 5 runs stay
    vexo prune --older-than 7d      # runs with nothing saved for 7 days go (s, m, h, d, w)
    vexo prune --max-size 2GB       # the oldest runs go until the store is under 2 GB

The options combine; whole runs go, the oldest first, and the space is given back to the file
system.
"""

from __future__ import annotations

import re
import time

from vexo.store import open_store

__all__ = ["parse_age", "parse_size", "prune_store", "size_text"]

_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
_SIZE_UNITS = {
    "": 1,
    "b": 1,
    "k": 1000,
    "kb": 1000,
    "m": 1000**2,
    "mb": 1000**2,
    "g": 1000**3,
    "gb": 1000**3,
    "t": 1000**4,
    "tb": 1000**4,
    "kib": 2**10,
    "mib": 2**20,
    "gib": 2**30,
    "tib": 2**40,
}


def parse_age(text: str) -> float:
    """Seconds of an age such as "90m", "7d" or "2w"."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([smhdw])\s*", text, re.IGNORECASE)
    if match is None:
        raise ValueError(f"not an age: {text!r} (a number and s, m, h, d or w, as in 7d)")
    return float(match[1]) * _AGE_UNITS[match[2].lower()]


def parse_size(text: str) -> int:
    """Bytes of a size such as "500MB", "2GB" or "1.5GiB" (KB, MB, GB: powers of 1000)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([a-z]*)\s*", text, re.IGNORECASE)
    if match is None or match[2].lower() not in _SIZE_UNITS:
        raise ValueError(f"not a size: {text!r} (a number and B, KB, MB, GB or KiB, MiB, GiB)")
    return int(float(match[1]) * _SIZE_UNITS[match[2].lower()])


def size_text(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    value = size / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if value < 1024:
            return f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} TiB"


def prune_store(
    db_path: str,
    *,
    keep_runs: int | None,
    older_than: str | None,
    max_size: str | None,
    timeout: float,
) -> str:
    """Prunes the store as the options of `vexo prune` ask; the line that says what went.
    Raises ValueError for options that make no sense."""
    if keep_runs is None and older_than is None and max_size is None:
        raise ValueError("give --keep-runs, --older-than or --max-size")
    if keep_runs is not None and keep_runs < 0:
        raise ValueError("--keep-runs must be 0 or more")
    before = None if older_than is None else time.time() - parse_age(older_than)
    pruned = open_store(db_path, timeout).prune(
        keep_runs=keep_runs,
        before=before,
        max_size=None if max_size is None else parse_size(max_size),
        rewrite=True,
    )
    freed = max(pruned.size_before - pruned.size_after, 0)
    return (
        f"pruned {pruned.runs} runs ({pruned.traces} traces), {size_text(freed)} given back;"
        f" {db_path} now takes {size_text(pruned.size_after)}"
    )
