"""Small helpers shared by the package's modules.

Code here may run while a program is being traced (ids are made and objects are named from inside
tracing), and the tracer leaves this file's frames out of traces.
"""

from __future__ import annotations

import contextlib
import os
import sys
import time

__all__ = [
    "CROCKFORD_BASE32",
    "STREAM_ERRORS",
    "class_name",
    "compiled",
    "flush_quietly",
    "new_trace_id",
    "new_ulid",
    "say",
    "type_name",
]

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


def type_name(value: object) -> str:
    """The qualified name of the value's type, without running code of the value's class."""
    return class_name(type(value))


def class_name(cls: type) -> str:
    """The qualified name of a class, without running code of the class or its metaclass.

    Only the type object's own slots are read; a metaclass that makes even that fail gives
    "object". A name held as a str subclass gives its characters, none of its methods.
    """
    try:
        qualname = type.__dict__["__qualname__"].__get__(cls)
        module = type.__dict__["__module__"].__get__(cls)
    except Exception:
        return "object"
    if not issubclass(type(qualname), str):
        return "object"
    qualname = str.__str__(qualname)
    if type(module) is str and module not in ("builtins", "__main__"):
        return f"{module}.{qualname}"
    return qualname


# What using a standard stream raises once the program has closed it, replaced it by something
# odd, or deleted it.
STREAM_ERRORS = (OSError, ValueError, AttributeError)


def say(message: str) -> None:
    """One line of vexo's own on standard error, whatever the program did to it: nothing when
    the stream is closed, replaced by something odd, or gone."""
    with contextlib.suppress(*STREAM_ERRORS):
        sys.stderr.write(f"vexo: {message}\n")
        sys.stderr.flush()


def flush_quietly(*names: str) -> None:
    """Flushes the standard streams of these names ("stdout", "stderr") as far as they can be."""
    for name in names:
        with contextlib.suppress(*STREAM_ERRORS):
            getattr(sys, name).flush()


def _load_compiled():
    """vexo._speedups, the compiled counterparts of reference code written here in Python; None
    when it does not import or the environment sets VEXO_PURE_PYTHON=1. Loaded last: the
    module's start-up imports code that needs this module's helpers."""
    if os.environ.get("VEXO_PURE_PYTHON") == "1":
        return None
    try:
        from vexo import _speedups
    except ImportError:
        return None
    return _speedups


compiled = _load_compiled()
