"""Reading stored MessagePack back: the one decoder that every reader of trace documents uses.

The serializer never writes extension types for program data, so an extension value in a document
is always vexo's own. Code 1 is a reference: an object written in full earlier in the same trace
and unchanged since in anything its dump shows, written again as the array [class qualname, frame
id, event, field, key]: "shown in full in the record of that frame at that event ("call" or
"return"), as its "arg" (key nil) or in its "locals" under that key". Any other extension, or a
code 1 whose data has not that shape, reads as UNREADABLE, an inert value that readers show as
"<unreadable value>"; so is a MessagePack timestamp, the one extension msgpack decodes itself.

This module runs only when traces are read back, never under the tracer.
"""

from __future__ import annotations

import dataclasses
from typing import IO, Any

import msgpack

from vexo.common import layout

__all__ = ["UNREADABLE", "UNREADABLE_TEXT", "Reference", "is_unreadable", "unpack", "unpacker"]

REFERENCE_CODE = 1
UNREADABLE_TEXT = "<unreadable value>"
_EVENTS = frozenset({layout.CALL, layout.RETURN})
_FIELDS = frozenset({layout.ARG, layout.LOCALS})


@dataclasses.dataclass(frozen=True)
class Reference:
    """An object shown in full at an earlier record of the same trace, unchanged since."""

    class_name: str
    frame_id: str
    event: str  # "call" or "return": which record of that frame shows it
    field: str  # "arg" (the record's "arg" value) or "locals"
    key: str | None  # the local's name, for "locals"

    @property
    def name(self) -> str:
        """The class's name without its module."""
        return self.class_name.rpartition(".")[2] or self.class_name

    def text(self, ids: bool = True) -> str:
        """A short text, "<Cart unchanged since call frm_…ZSTMV>": the end of the frame id is
        enough to find it in the trace. Without the id when two traces are compared, whose ids
        always differ."""
        where = f" {_short_id(self.frame_id)}" if ids else ""
        return f"<{self.name} unchanged since {self.event}{where}>"

    def fields(self) -> dict[str, Any]:
        return {
            "class": self.class_name,
            "frame_id": self.frame_id,
            "event": self.event,
            "field": self.field,
            "key": self.key,
        }


class _Unreadable:
    """What an extension value other than a reference reads as."""

    __slots__ = ()

    def __repr__(self) -> str:
        return UNREADABLE_TEXT

    def __reduce__(self) -> str:
        return "UNREADABLE"


UNREADABLE = _Unreadable()


def is_unreadable(value: object) -> bool:
    return value is UNREADABLE or isinstance(value, msgpack.Timestamp)


def unpack(packed: bytes | memoryview) -> Any:
    """One whole MessagePack value; texts that are not UTF-8 keep U+FFFD where they fail."""
    return msgpack.unpackb(
        packed, raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=_extension
    )


def unpacker(stream: IO[bytes] | None, max_buffer_size: int) -> msgpack.Unpacker:
    """A streaming reader that decodes as `unpack` does (fed, when `stream` is None)."""
    return msgpack.Unpacker(
        stream,
        raw=False,
        strict_map_key=False,
        unicode_errors="replace",
        ext_hook=_extension,
        max_buffer_size=max_buffer_size,
    )


def _extension(code: int, data: bytes) -> Any:
    """Never raises: msgpack would end the whole document's decoding."""
    if code != REFERENCE_CODE:
        return UNREADABLE
    try:
        fields = msgpack.unpackb(data, raw=False, ext_hook=_no_extension)
    except Exception:
        return UNREADABLE
    if not (isinstance(fields, list) and len(fields) == 5):
        return UNREADABLE
    class_name, frame_id, event, field, key = fields
    if (
        isinstance(class_name, str)
        and isinstance(frame_id, str)
        and isinstance(event, str)
        and event in _EVENTS
        and isinstance(field, str)
        and field in _FIELDS
        and (key is None or isinstance(key, str))
    ):
        return Reference(class_name, frame_id, event, field, key)
    return UNREADABLE


def _no_extension(code: int, data: bytes) -> Any:
    raise ValueError("an extension value inside a reference")


def _short_id(frame_id: str) -> str:
    """The prefix and the last characters of a long id ("frm_…ZSTMV"), which tell frames apart
    (ids begin with the time)."""
    prefix, sep, rest = frame_id.partition("_")
    if sep and len(rest) > 8 and len(prefix) <= 8:
        return f"{prefix}_…{rest[-6:]}"
    return frame_id if len(frame_id) <= 20 else frame_id[:19] + "…"
