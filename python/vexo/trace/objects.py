"""Following one object through a trace: every call where it was an argument, a local or the
return value, in order, with what it held there.

Where the trace wrote an object in full at such a place, its "__class__" entry carries the number
the trace gave it (vexo.values.unpack.ClassName), the same for as long as the object lived; where
the object had not changed since, the place holds a reference to that earlier dump instead. So an
object's places are its dumps with its number and the references to those dumps. Both are found
in the index's packed records by their bytes first, then checked unpacked.
"""

from __future__ import annotations

import bisect
from collections.abc import Iterator
from typing import Any

import msgpack

from vexo.common import layout
from vexo.trace.model import Call
from vexo.trace.text import short
from vexo.values.unpack import ClassName, Reference

__all__ = ["numbered_values", "object_places"]

# (event, field, key): where a value sits in a call's records.
_Place = tuple[str, str, Any]


def numbered_values(index: Any, number: int) -> list[dict[str, Any]]:
    """The values of a call node that are numbered objects: {"event", "field", "key", "number",
    "class", "state", "changed"} each, a reference taken for the dump it refers to."""
    found = []
    call = index.node(number)
    for (event, field, key), value in _places(call):
        changed = not isinstance(value, Reference)
        if not changed:
            value = index.referred(value)
        name = _class_name(value)
        if name is not None:
            found.append(
                {"event": event, "field": field, "key": key, "number": name.number,
                 "class": str(name), "state": short(value), "changed": changed,
                 "at": _moment(call, event)}
            )  # fmt: skip
    return found


def object_places(index: Any, number: int, class_name: str) -> list[dict[str, Any]]:
    """Every place of the trace where the object of that number and class was, in the order they
    happened: {"node", "name", "event", "field", "key", "where", "number", "class", "state",
    "changed", "at"} each; "changed" is false where it was unchanged since its last dump, "at" is
    the time of the record."""
    written: dict[_Place, int] = {}  # the places of its dumps, by frame id, to their nodes
    places: list[tuple[int, _Place, Any, bool]] = []
    wanted = b"\x92" + msgpack.packb(class_name) + msgpack.packb(number)
    for node in _holding(index, wanted):
        call = index.node(node)
        frame_id = call.first.get(layout.FRAME_ID)
        for place, value in _places(call):
            name = _class_name(value)
            if name is not None and name.number == number and name == class_name:
                places.append((node, place, value, True))
                written[(frame_id, place[0], place[1], place[2])] = node
    frame_ids = {key[0] for key in written if isinstance(key[0], str)}
    for node in sorted({n for f in frame_ids for n in _holding(index, msgpack.packb(f))}):
        for place, value in _places(index.node(node)):
            if isinstance(value, Reference) and _target(value) in written:
                places.append((node, place, index.referred(value), False))
    entries = [_entry(index, *entry) for entry in places]
    # In the order they happened: a call's return comes after the calls it made.
    entries.sort(key=lambda entry: (entry["at"] is None, entry["at"] or 0.0, entry["node"]))
    return entries


def _moment(call: Call, event: str) -> float | None:
    """When the call's record of that event was made."""
    record = call.call if event == layout.CALL else call.ret
    stamp = None if record is None else record.get(layout.TIMESTAMP)
    return float(stamp) if isinstance(stamp, (int, float)) else None


def _places(call: Call) -> Iterator[tuple[_Place, Any]]:
    """The values at a call's places: its locals at call and at return, its return value."""
    for event, record in ((layout.CALL, call.call), (layout.RETURN, call.ret)):
        values = None if record is None else record.get(layout.LOCALS)
        if isinstance(values, dict):
            for key, value in values.items():
                yield (event, layout.LOCALS, key), value
    if call.ret is not None:
        yield (layout.RETURN, layout.ARG, None), call.ret.get(layout.ARG)


def _class_name(value: Any) -> ClassName | None:
    name = value.get("__class__") if isinstance(value, dict) else None
    return name if isinstance(name, ClassName) else None


def _target(reference: Reference) -> tuple[str, str, str, Any]:
    return (reference.frame_id, reference.event, reference.field, reference.key)


def _holding(index: Any, wanted: bytes) -> Iterator[int]:
    """The call nodes whose packed records hold `wanted`, each once, in order."""
    position = index.block.find(wanted)
    while position >= 0:
        node = bisect.bisect_right(index.offsets, position) - 1
        if index.kind[node] == "call":
            yield node
        position = index.block.find(wanted, index.offsets[node + 1])


def _entry(index: Any, node: int, place: _Place, value: Any, changed: bool) -> dict[str, Any]:
    event, field, key = place
    if field == layout.ARG:
        where = "return value"
    elif event == layout.CALL:
        where = f"argument {key}"
    else:
        where = f"local {key} at return"
    name = _class_name(value)
    call = index.node(node)
    return {
        "node": node,
        "name": call.name,
        "event": event,
        "field": field,
        "key": key,
        "where": where,
        "number": None if name is None else name.number,
        "class": None if name is None else str(name),
        "state": short(value),
        "changed": changed,
        "at": _moment(call, event),
    }
