"""The records of a stored trace, read back: a call with its return, and a plugin record.

A trace document holds flat records per thread buffer: a "frame" record for every call and every
return of a recorded function (a return carries the frame id of its call), and plugin records
(such as the test markers "start_test" and "end_test"), and, where a trace reached its byte budget,
a "recording_stopped" record. vexo.trace.nodes nests them into the call tree.

This package runs only after tracing, when traces are shown; nothing here runs under the tracer.
"""

from __future__ import annotations

import dataclasses
from typing import Any

from vexo.values.unpack import unpack

__all__ = ["STOPPED", "Call", "Event", "TraceFormatError", "decode", "header_of"]

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


def decode(document: bytes) -> dict[str, Any]:
    try:
        decoded = unpack(document)
    except Exception as error:
        raise TraceFormatError(f"not a trace document ({error})") from None
    if not isinstance(decoded, dict) or not isinstance(decoded.get("trace_id"), str):
        raise TraceFormatError("not a trace document (no trace id)")
    return decoded


def header_of(fields: dict[Any, Any]) -> dict[str, Any]:
    """What a document says of its trace, from its fields (its record buffers aside)."""
    meta = fields.get("meta") if isinstance(fields.get("meta"), dict) else {}
    started = fields.get("timestamp")
    args = fields.get("command_line_args")
    return {
        "trace_id": fields["trace_id"],
        "source": _text_or_none(meta.get("source")),
        "version": _text_or_none(meta.get("version")),
        "started_at": float(started) if isinstance(started, (int, float)) else None,
        "command_line_args": [str(a) for a in args] if isinstance(args, list) else [],
        "commit": _text_or_none(fields.get("current_commit_sha")),
    }


def _text_or_none(value: object) -> str | None:
    return value if isinstance(value, str) else None
