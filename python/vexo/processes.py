"""Which process is recording: an id per process, renewed in a forked child, and the process and
trace that started it."""

from __future__ import annotations

import dataclasses
import os
import uuid

__all__ = ["ProcessLink", "current"]


@dataclasses.dataclass(frozen=True)
class ProcessLink:
    process_id: str  # unique per process (uuid4 hex); a forked child gets a new one
    parent_process_id: str | None  # the process_id of the process that started this one
    parent_trace_id: str | None  # the trace that process was recording when it started this one


def _new_link() -> ProcessLink:
    return ProcessLink(uuid.uuid4().hex, None, None)


_current = _new_link()


def current() -> ProcessLink:
    return _current


def _renew_after_fork() -> None:
    global _current
    _current = _new_link()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_renew_after_fork)
