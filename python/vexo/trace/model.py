"""A stored trace read back as a call tree per thread.

A trace document holds flat records per thread buffer: a "frame" record for every call and every
return of a recorded function (a return carries the frame id of its call), and plugin records
(such as the test markers "start_test" and "end_test"), and, where a trace reached its byte budget,
a "recording_stopped" record. The tree nests each call under the call of its thread that was open
when it was made, pairs it with its return by frame id, and keeps the other records as events
where they happened.

This package runs only after tracing, when traces are shown; nothing here runs under the tracer.
"""

from __future__ import annotations

import dataclasses
from typing import Any

from vexo.values.unpack import unpack

__all__ = [
    "STOPPED",
    "Call",
    "Event",
    "Thread",
    "Trace",
    "TraceFormatError",
    "build_tree",
    "decode",
    "trace_of",
]

# Keys every plugin record has; the rest is the plugin's own data.
_PLUGIN_BASE_KEYS = frozenset(
    {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"}
)
# The record the tracer leaves where a trace reached its budget: later frame records are dropped.
STOPPED = "recording_stopped"


class TraceFormatError(ValueError):
    """The stored bytes are not a trace document this version can read."""


@dataclasses.dataclass
class Call:
    """One recorded call and its return; either record may be missing from the trace (a return
    whose call happened before tracing began, or a call that had not returned when it ended)."""

    call: dict[str, Any] | None
    ret: dict[str, Any] | None = None
    children: list[Call | Event] = dataclasses.field(default_factory=list)

    @property
    def first(self) -> dict[str, Any]:
        return self.call if self.call is not None else self.ret  # type: ignore[return-value]

    @property
    def name(self) -> str:
        return str(self.first.get("qualname") or self.first.get("co_name") or "?")

    @property
    def path(self) -> str:
        return str(self.first.get("path") or "?")

    @property
    def args(self) -> dict[str, Any] | None:
        """The arguments: the function's locals when it was entered, without the interpreter's
        own dunder names; a module's globals are not arguments."""
        if self.call is None:
            return None
        values = self.call.get("locals")
        if not isinstance(values, dict) or self.call.get("co_name") == "<module>":
            return {}
        return {
            key: value
            for key, value in values.items()
            if not (isinstance(key, str) and key.startswith("__") and key.endswith("__"))
        }

    @property
    def duration(self) -> float | None:
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
            return None
        return max(end - start, 0.0)


@dataclasses.dataclass
class Event:
    """A plugin record, such as a test marker."""

    record: dict[str, Any]

    @property
    def type(self) -> str:
        return str(self.record.get("type"))

    @property
    def data(self) -> dict[str, Any]:
        return {k: v for k, v in self.record.items() if k not in _PLUGIN_BASE_KEYS}


@dataclasses.dataclass
class Thread:
    name: str
    native_id: int | None
    roots: list[Call | Event]
    records: int


@dataclasses.dataclass
class Trace:
    trace_id: str
    source: str | None
    version: str | None
    started_at: float | None
    command_line_args: list[str]
    commit: str | None
    threads: list[Thread]

    @property
    def records(self) -> int:
        return sum(thread.records for thread in self.threads)


def decode(document: bytes) -> dict[str, Any]:
    try:
        decoded = unpack(document)
    except Exception as error:
        raise TraceFormatError(f"not a trace document ({error})") from None
    if not isinstance(decoded, dict) or not isinstance(decoded.get("trace_id"), str):
        raise TraceFormatError("not a trace document (no trace id)")
    return decoded


def build_tree(document: bytes) -> Trace:
    decoded = decode(document)
    return trace_of(decoded, _threads(decoded))


def trace_of(decoded: dict[str, Any], threads: list[Thread]) -> Trace:
    """The trace of a decoded document's fields (its record buffers aside) and its threads."""
    meta = decoded.get("meta") if isinstance(decoded.get("meta"), dict) else {}
    started = decoded.get("timestamp")
    args = decoded.get("command_line_args")
    return Trace(
        trace_id=decoded["trace_id"],
        source=_text_or_none(meta.get("source")),
        version=_text_or_none(meta.get("version")),
        started_at=float(started) if isinstance(started, (int, float)) else None,
        command_line_args=[str(a) for a in args] if isinstance(args, list) else [],
        commit=_text_or_none(decoded.get("current_commit_sha")),
        threads=threads,
    )


def _text_or_none(value: object) -> str | None:
    return value if isinstance(value, str) else None


def _threads(decoded: dict[str, Any]) -> list[Thread]:
    """The records grouped by the thread that made them. Without "threading" all threads share
    one buffer, so the grouping goes by each record's own thread id."""
    buffers: list[tuple[Any, list[Any]]] = []
    main_records = decoded.get("frames_of_interest")
    if isinstance(main_records, list):
        buffers.append((decoded.get("main_thread_id"), main_records))
    others = decoded.get("frames")
    if isinstance(others, dict):
        buffers.extend(others.items())
    grouped: dict[Any, list[dict[str, Any]]] = {}
    for buffer_thread, records in buffers:
        if not isinstance(records, list):
            continue
        for record in records:
            if isinstance(record, dict):
                grouped.setdefault(record.get("thread_native_id", buffer_thread), []).append(record)
    main = decoded.get("main_thread_id")
    order = sorted(grouped, key=lambda thread: thread != main)  # stable: main first
    return [_thread(thread, grouped[thread]) for thread in order]


def _thread(native_id: Any, records: list[dict[str, Any]]) -> Thread:
    roots: list[Call | Event] = []
    open_calls: list[Call] = []
    for record in records:
        siblings = open_calls[-1].children if open_calls else roots
        if record.get("type") != "frame":
            siblings.append(Event(record))
        elif record.get("event") == "call":
            call = Call(record)
            siblings.append(call)
            open_calls.append(call)
        else:
            frame_id = record.get("frame_id")
            for depth in range(len(open_calls) - 1, -1, -1):
                if open_calls[depth].call.get("frame_id") == frame_id:  # type: ignore[union-attr]
                    open_calls[depth].ret = record
                    # Calls above it lost their returns (the trace was cut in between).
                    del open_calls[depth:]
                    break
            else:
                siblings.append(Call(None, record))
    name = next((str(r["thread"]) for r in records if isinstance(r.get("thread"), str)), "?")
    return Thread(name, native_id if isinstance(native_id, int) else None, roots, len(records))
