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

from vexo.common import layout
from vexo.values.unpack import unpack

__all__ = ["Call", "Event", "TraceFormatError", "decode", "header_of"]


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
        return str(self.first.get(layout.QUALNAME) or self.first.get(layout.CO_NAME) or "?")

    @property
    def path(self) -> str:
        return str(self.first.get(layout.PATH) or "?")

    @property
    def args(self) -> dict[str, Any] | None:
        """The arguments: the function's locals when it was entered, without the interpreter's
        own dunder names nor the hidden ones (a comprehension's iterator ".0"); a module's
        globals are not arguments."""
        if self.call is None:
            return None
        values = self.call.get(layout.LOCALS)
        if not isinstance(values, dict) or self.call.get(layout.CO_NAME) == "<module>":
            return {}
        return {
            key: value
            for key, value in values.items()
            if not (isinstance(key, str) and _implicit(key))
        }

    @property
    def duration(self) -> float | None:
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get(layout.TIMESTAMP), self.ret.get(layout.TIMESTAMP)
        if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
            return None
        return max(end - start, 0.0)


@dataclasses.dataclass
class Event:
    """A plugin record, such as a test marker."""

    record: dict[str, Any]

    @property
    def type(self) -> str:
        return str(self.record.get(layout.TYPE))

    @property
    def data(self) -> dict[str, Any]:
        return {k: v for k, v in self.record.items() if k not in layout.PLUGIN_BASE_KEYS}


def decode(document: bytes) -> dict[str, Any]:
    try:
        decoded = unpack(document)
    except Exception as error:
        raise TraceFormatError(f"not a trace document ({error})") from None
    if not isinstance(decoded, dict) or not isinstance(decoded.get(layout.TRACE_ID), str):
        raise TraceFormatError("not a trace document (no trace id)")
    return decoded


def header_of(fields: dict[Any, Any]) -> dict[str, Any]:
    """What a document says of its trace, from its fields (its record buffers aside)."""
    meta = fields.get(layout.META) if isinstance(fields.get(layout.META), dict) else {}
    started = fields.get(layout.STARTED_AT)
    args = fields.get(layout.COMMAND_LINE_ARGS)
    return {
        "trace_id": fields[layout.TRACE_ID],
        "source": _text_or_none(meta.get(layout.SOURCE)),
        "version": _text_or_none(meta.get(layout.VERSION)),
        "started_at": float(started) if isinstance(started, (int, float)) else None,
        "command_line_args": [str(a) for a in args] if isinstance(args, list) else [],
        "commit": _text_or_none(fields.get(layout.COMMIT)),
    }


def _text_or_none(value: object) -> str | None:
    return value if isinstance(value, str) else None


def _implicit(name: str) -> bool:
    """A name the interpreter made rather than the code: a dunder, or one no code can spell."""
    return (name.startswith("__") and name.endswith("__")) or name.startswith(".")
