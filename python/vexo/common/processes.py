"""Which process this is, which process and trace started it, and which run it belongs to: what
links the traces of a program's processes into one family.

A process gets an id of its own the first time it is asked for, and a forked child gets a new one
(the fork is noticed by the change of pid). A process started fresh learns its parent from the
environment variable that its parent, if it was traced, set for it (`recording()` sets it); a
forked child learns it from the memory it inherited.
"""

from __future__ import annotations

import dataclasses
import os

__all__ = [
    "PARENT_VARIABLE",
    "RUN_ID_VARIABLE",
    "ProcessLink",
    "adopt_parent",
    "current",
    "current_run_id",
    "recording",
]

# "PROCESS_ID TRACE_ID" of the traced process that started this one.
PARENT_VARIABLE = "VEXO_PARENT"
# The id of the run (see `vexo.recording.runs`) that this process and the processes it starts
# belong to.
RUN_ID_VARIABLE = "VEXO_RUN_ID"


@dataclasses.dataclass(frozen=True)
class ProcessLink:
    process_id: str  # unique per process (uuid4 hex); a forked child gets a new one
    parent_process_id: str | None  # the process_id of the process that started this one
    parent_trace_id: str | None  # the trace that process was recording when it started this one


class _state:  # noqa: N801 - a namespace for this process's identity
    link: ProcessLink | None = None
    pid = 0
    trace_id: str | None = None  # the trace this process records now, if it said so


def _new_process_id() -> str:
    """A random UUID's 32 hex digits, as uuid.uuid4().hex gives them, without importing uuid
    (and platform with it) into every traced process."""
    value = bytearray(os.urandom(16))
    value[6] = (value[6] & 0x0F) | 0x40  # version 4
    value[8] = (value[8] & 0x3F) | 0x80  # the RFC 4122 variant
    return value.hex()


def current() -> ProcessLink:
    """This process's id and its parent's."""
    pid = os.getpid()
    if _state.link is None:
        _state.link = ProcessLink(_new_process_id(), *_parent_from_environment())
    elif _state.pid != pid:
        # A forked child: its parent is the process whose memory it has, recording what it was.
        _state.link = ProcessLink(_new_process_id(), _state.link.process_id, _state.trace_id)
        _state.trace_id = None
    _state.pid = pid
    return _state.link


def current_run_id() -> str | None:
    """The run this process belongs to, from its environment."""
    return os.environ.get(RUN_ID_VARIABLE) or None


def recording(trace_id: str | None) -> None:
    """Notes the trace this process records from now on, and hands it with the process's id to
    the processes it starts, through the environment they inherit."""
    link = current()
    _state.trace_id = trace_id
    os.environ[PARENT_VARIABLE] = f"{link.process_id} {trace_id or '-'}"


def _parent_from_environment() -> tuple[str | None, str | None]:
    words = os.environ.get(PARENT_VARIABLE, "").split()
    if len(words) != 2 or not all(word.isascii() and word.isprintable() for word in words):
        return None, None
    process_id, trace_id = words
    return process_id, (None if trace_id == "-" else trace_id)


def adopt_parent() -> None:
    """Makes this process stand for the process that started it: for a helper that only forks
    the program's processes (multiprocessing's fork server), whose children belong to the
    program."""
    process_id, trace_id = _parent_from_environment()
    if process_id is None:
        return
    current()
    _state.link = ProcessLink(process_id, None, None)
    _state.trace_id = trace_id
