"""The indexing pass of every reader of a trace: a trace document read once, its records grouped by
the thread that made them and nested into numbered nodes, each node's records kept packed.

Node numbers: 0 to (threads - 1) are the threads themselves, then every call and plugin record in
the order they happened, thread by thread (so a node's descendants follow it). A call opens a node
that the calls and events after it nest under until its return (matched by frame id) closes it.

The pass here is the reference; the compiled module vexo._speedups does the same pass over the
document's bytes, without unpacking each record into Python objects, and gives the same nodes.
"""

from __future__ import annotations

import array
import dataclasses
from collections.abc import Callable
from typing import Any

import msgpack

from vexo.common import layout
from vexo.common.compiled import compiled
from vexo.trace.model import decode
from vexo.values.unpack import unpack, unpacker

__all__ = ["Nodes", "read_nodes"]

_THREAD, _CALL, _EVENT = "thread", "call", "event"
_ARRAYS = frozenset(range(0x90, 0xA0)) | {0xDC, 0xDD}
_MAPS = frozenset(range(0x80, 0x90)) | {0xDE, 0xDF}


@dataclasses.dataclass
class Nodes:
    fields: dict[Any, Any]  # the document's fields but its record buffers
    # Per thread, in node order: (name, native id or None, records, first and last timestamps).
    threads: list[tuple[str, int | None, int, Any, Any]]
    kind: list[str]  # per node: "thread", "call" or "event"
    parent: list[int]  # -1 for a thread
    thread: list[int]
    children: dict[int, list[int]]
    block: bytes  # each node's packed records, one after the other; a call's as [call, return]
    offsets: array.array  # where each node's records start in the block, and the block's end
    # Each node's "qualified name\tfile:line" (event: its type) in lowercase, joined by NUL.
    name_text: str
    name_starts: array.array
    # (qualified name, "file:line", calls, total time, own time) of each function and line.
    callees: list[tuple[str, str, int, float, float]]


def read_nodes(document: bytes) -> Nodes:
    try:
        fields, found = _index_document(document, _unpack)
        if not isinstance(fields.get(layout.TRACE_ID), str):
            raise ValueError("not a trace document")
    except Exception:
        decode(document)  # raises the error that says what is wrong with the document
        raise
    threads, (kind, parent, thread, children), (block, offsets), (names, starts), callees = found
    return Nodes(
        fields, threads, kind, parent, thread, children, block, _int64s(offsets), names,
        _int64s(starts), callees,
    )  # fmt: skip


def _index_document(document: bytes, unpack: Callable[[bytes], Any]) -> tuple[dict, Any]:
    """The document's fields but its record buffers, and (threads, (kind, parent, thread,
    children), (block, offsets), (name text, starts), callees) of the records in the buffers.
    (`unpack` serves the compiled pass, which makes only scalars itself.)"""
    fields, buffers = _fields_and_buffers(document)
    return fields, _Builder(document, buffers, fields.get(layout.MAIN_THREAD_ID)).result()


def _fields_and_buffers(document: bytes) -> tuple[dict[Any, Any], list[tuple[Any, int, int]]]:
    """The document's fields, and where its record buffers are: (thread, start, end) of each,
    the main thread's buffer first."""
    reader = unpacker(None, max_buffer_size=max(len(document), 1))
    reader.feed(document)
    fields: dict[Any, Any] = {}
    main: list[tuple[int, int]] = []
    others: list[tuple[Any, int, int]] = []
    for _ in range(reader.read_map_header()):
        key = reader.unpack()
        if key == layout.MAIN_RECORDS:
            main = _spans(reader, document)
        elif key == layout.OTHER_RECORDS:
            others = []
            if document[reader.tell()] in _MAPS:
                for _ in range(reader.read_map_header()):
                    thread = reader.unpack()
                    others.extend((thread, *span) for span in _spans(reader, document))
            else:
                reader.skip()
        else:
            fields[key] = reader.unpack()
    if reader.tell() != len(document):
        raise ValueError("not a whole trace document")
    return fields, [(fields.get(layout.MAIN_THREAD_ID), *span) for span in main] + others


def _spans(reader: msgpack.Unpacker, document: bytes) -> list[tuple[int, int]]:
    """Where the next value is, when it is an array (of records)."""
    start = reader.tell()
    reader.skip()
    return [(start, reader.tell())] if document[start] in _ARRAYS else []


_unpack = unpack


def _int64s(packed: bytes | array.array) -> array.array:
    if isinstance(packed, array.array):
        return packed
    numbers = array.array("q")
    numbers.frombytes(packed)
    return numbers


_MISSING = object()


class _Builder:
    def __init__(self, document: bytes, buffers: list[tuple[Any, int, int]], main: Any):
        self.kind: list[str] = []
        self.parent: list[int] = []
        self.thread: list[int] = []
        self.children: dict[int, list[int]] = {}
        self.parts: list[Any] = []  # packed thread or event record, or a call's [call, return]
        self.names: list[str] = []
        self.ends: list[Any] = []  # the timestamp of each node's last record
        self.durations: list[float] = []
        self.callee: list[int] = []
        self.callees: list[list[Any]] = []  # [name, path, calls, total, own]
        self.numbers: dict[tuple[str, str], int] = {}
        grouped = [
            (name, key if isinstance(key, int) else None, entries)
            for key, (name, entries) in _grouped(document, buffers, main).items()
        ]
        for thread, (name, native_id, _) in enumerate(grouped):
            self._add(_THREAD, -1, thread, _pack([name, native_id]), "", None)
        self.threads = []
        for thread, (name, native_id, entries) in enumerate(grouped):
            self._add_thread(thread, entries)
            self.threads.append((name, native_id, len(entries), entries[0][6], self._last(thread)))
        self._add_figures()

    def result(self) -> tuple[Any, ...]:
        packed = [p if isinstance(p, bytes) else _joined_call(*p) for p in self.parts]
        offsets = array.array("q", [0])
        for part in packed:
            offsets.append(offsets[-1] + len(part))
        starts = array.array("q")
        position = 0
        for name in self.names:
            starts.append(position)
            position += len(name) + 1
        return (
            self.threads,
            (self.kind, self.parent, self.thread, self.children),
            (b"".join(packed), offsets),
            ("\0".join(self.names), starts),
            [tuple(callee) for callee in self.callees],
        )

    def _add(self, kind: str, parent: int, thread: int, parts: Any, name: str, end: Any) -> int:
        number = len(self.kind)
        self.kind.append(kind)
        self.parent.append(parent)
        self.thread.append(thread)
        self.parts.append(parts)
        self.names.append(name)
        self.ends.append(end)
        self.durations.append(0.0)
        self.callee.append(-1)
        if parent >= 0:
            self.children.setdefault(parent, []).append(number)
        return number

    def _add_thread(self, thread: int, entries: list[_Entry]) -> None:
        open_calls: list[tuple[Any, Any, int]] = []  # (frame id, timestamp, node)
        for _, _, raw, is_frame, is_call, frame_id, stamp, name, path in entries:
            parent = open_calls[-1][2] if open_calls else thread
            if not is_frame:
                self._add(_EVENT, parent, thread, raw, name, stamp)
            elif is_call:
                number = self._add_call(parent, thread, [raw, None], name, path, stamp)
                open_calls.append((frame_id, stamp, number))
            elif not self._close(open_calls, raw, frame_id, stamp):
                name, path = _function_name(_unpack(raw))
                self._add_call(parent, thread, [None, raw], name, path, stamp)

    def _add_call(
        self, parent: int, thread: int, parts: list[Any], name: str, path: str, stamp: Any
    ) -> int:
        callee = self.numbers.get((name, path))
        if callee is None:  # the first call of this function from this line
            callee = self.numbers[name, path] = len(self.callees)
            self.callees.append([name, path, 0, 0.0, 0.0])
        number = self._add(_CALL, parent, thread, parts, f"{name}\t{path}".lower(), stamp)
        self.callee[number] = callee
        return number

    def _close(
        self, open_calls: list[tuple[Any, Any, int]], raw: bytes, frame_id: Any, stamp: Any
    ) -> bool:
        for depth in range(len(open_calls) - 1, -1, -1):
            if open_calls[depth][0] == frame_id:
                _, start, number = open_calls[depth]
                self.parts[number][1] = raw
                self.ends[number] = stamp
                self.durations[number] = _duration(start, stamp)
                # Calls above it lost their returns (the trace was cut in between).
                del open_calls[depth:]
                return True
        return False

    def _add_figures(self) -> None:
        """Calls, total and own time per callee, summed in node order. Own time: the call's
        time less its child calls', taken off once all are added."""
        inner = [0.0] * len(self.kind)
        calls = [(n, self.callees[c]) for n, c in enumerate(self.callee) if c >= 0]
        for number, entry in calls:
            duration = self.durations[number]
            entry[2] += 1
            entry[3] += duration
            entry[4] += duration
            inner[self.parent[number]] += duration
        for number, entry in calls:
            entry[4] = max(entry[4] - inner[number], 0.0)

    def _last(self, thread: int) -> Any:
        """The timestamp of the thread's last record: the return of its last call, or of the
        deepest last one."""
        children = self.children.get(thread)
        while children:
            node = children[-1]
            parts = self.parts[node]
            if self.kind[node] == _EVENT or parts[1] is not None or node not in self.children:
                return self.ends[node]
            children = self.children[node]
        return None


# thread id, thread name, packed record, frame?, call?, frame id, timestamp, name, path
_Entry = tuple[Any, Any, bytes, bool, bool, Any, Any, str, str]


def _grouped(
    document: bytes, buffers: list[tuple[Any, int, int]], main: Any
) -> dict[Any, tuple[str, list[_Entry]]]:
    """The records by the thread that made them, with its name, the main thread first. Without
    "threading" all threads share one buffer, so the grouping goes by each record's own thread
    id."""
    grouped: dict[Any, list[_Entry]] = {}
    names: dict[Any, str] = {}
    for buffer_thread, start, end in buffers:
        for entry in _records(document[start:end]):
            thread = buffer_thread if entry[0] is _MISSING else entry[0]
            grouped.setdefault(thread, []).append(entry)
            if thread not in names and isinstance(entry[1], str):
                names[thread] = entry[1]
    order = sorted(grouped, key=lambda thread: thread != main)  # stable: main first
    return {thread: (names.get(thread, "?"), grouped[thread]) for thread in order}


def _records(packed: bytes) -> list[_Entry]:
    """A buffer's records (maps; anything else in it is passed over)."""
    reader = unpacker(None, max_buffer_size=len(packed))
    reader.feed(packed)
    records: list[_Entry] = []
    for _ in range(reader.read_array_header()):
        start = reader.tell()
        if packed[start] in _MAPS:
            records.append(_entry(reader.unpack(), packed[start : reader.tell()]))
        else:
            reader.skip()
    return records


def _entry(record: dict[str, Any], raw: bytes) -> _Entry:
    get = record.get
    head = (get(layout.THREAD_NATIVE_ID, _MISSING), get(layout.THREAD), raw)
    if get(layout.TYPE) != layout.FRAME:
        return (*head, False, False, None, get(layout.TIMESTAMP), str(get(layout.TYPE)).lower(), "")
    frame_id, stamp = get(layout.FRAME_ID), get(layout.TIMESTAMP)
    if get(layout.EVENT) != layout.CALL:  # a return is named only when no call of it is open
        return (*head, True, False, frame_id, stamp, "", "")
    return (*head, True, True, frame_id, stamp, *_function_name(record))


def _function_name(record: dict[str, Any]) -> tuple[str, str]:
    """(qualified name, "file:line") of a call or return record."""
    name = record.get(layout.QUALNAME) or record.get(layout.CO_NAME) or "?"
    return str(name), str(record.get(layout.PATH) or "?")


def _duration(start: Any, end: Any) -> float:
    if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
        return 0.0
    return max(end - start, 0.0) or 0.0


def _joined_call(call: bytes | None, ret: bytes | None) -> bytes:
    """A call's packed records as the array [call, return], nil for a missing one."""
    return b"\x92" + (call or b"\xc0") + (ret or b"\xc0")


def _pack(value: Any) -> bytes:
    return msgpack.packb(value, use_bin_type=True)


python_index_document = _index_document
if compiled is not None:
    _index_document = compiled.index_document  # noqa: F811
