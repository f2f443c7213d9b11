"""Ids: ULIDs and trace ids.

Code here may run while a program is being traced (ids are made from inside tracing), and the
tracer leaves this package's frames out of traces.
"""

from __future__ import annotations

import os
import time

from vexo.common.compiled import compiled

__all__ = ["CROCKFORD_BASE32", "new_trace_id", "new_ulid"]

CROCKFORD_BASE32 = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
_TIME_BITS = 48
_RANDOM_BITS = 80
_ULID_LENGTH = 26
_PAIRS = [high + low for high in CROCKFORD_BASE32 for low in CROCKFORD_BASE32]
_PAIR_SHIFTS = range(_ULID_LENGTH * 5 - 10, -1, -10)
_RANDOM_BYTES = _RANDOM_BITS // 8
# A server makes an id per request: the random bits come from the operating system's secure
# source in blocks, one system call per 64 ids. A fork child drops the block it inherited, so
# that it never repeats its parent's ids.
_IDS_PER_BLOCK = 64
_random_parts: list[bytes] = []
os.register_at_fork(after_in_child=_random_parts.clear)


def new_ulid(milliseconds: int | None = None) -> str:
    """A ULID as its 26 upper-case Crockford base32 characters.

    48 bits of milliseconds since the Unix epoch (clamped to that range, so a clock before the
    epoch gives 0) followed by 80 random bits from the operating system's secure source.
    """
    if milliseconds is None:
        milliseconds = time.time_ns() // 1_000_000
    milliseconds = min(max(milliseconds, 0), (1 << _TIME_BITS) - 1)
    value = (milliseconds << _RANDOM_BITS) | int.from_bytes(_random_part(), "big")
    # Two characters (10 bits) at a time, from the top: 26 characters hold 130 bits.
    return "".join([_PAIRS[(value >> shift) & 1023] for shift in _PAIR_SHIFTS])


def _random_part() -> bytes:
    try:
        return _random_parts.pop()  # atomic: threads never share a part
    except IndexError:
        block = os.urandom(_RANDOM_BYTES * _IDS_PER_BLOCK)
        parts = range(_RANDOM_BYTES, len(block), _RANDOM_BYTES)
        _random_parts.extend(block[start : start + _RANDOM_BYTES] for start in parts)
        return block[:_RANDOM_BYTES]


def new_trace_id() -> str:
    # A server makes one per request: the compiled generator is ten times faster.
    if compiled is not None:
        return compiled.new_trace_id()
    return "trc_" + new_ulid()
