"""A stored trace indexed once for exploring it: nodes by number, each one's children, the figures
per function, and the text searched by name and by value. The explorer's server, the one-file HTML
viewer and the exports all read traces through it.

Node numbers: 0 to (threads - 1) are the threads themselves, then every call and plugin record in
the order they happened, thread by thread. The nodes' records are kept packed as MessagePack, one
after the other in one block, and unpacked only when shown; a search by value looks through that
block (and a lowercase copy of it) before it unpacks the few records that may match. So an index
holds about twice the document plus a few numbers per record, not the decoded tree.

Indexing unpacks the document one record at a time, keeps each record's bytes as they are and
takes from it only what the tree and the figures need, so no tree of decoded records is ever built.
"""

from __future__ import annotations

import array
import bisect
import contextlib
import gc
import itertools
import os
from collections.abc import Callable, Iterator
from typing import Any

import msgpack

from vexo.show import (
    Call,
    Event,
    Thread,
    Trace,
    args_line,
    decode,
    json_header,
    jsonable,
    short,
    split_path,
    trace_of,
)

__all__ = ["TraceIndex", "value_text"]

# A value shown in the detail pane is cut beyond this many characters (the full text can be
# megabytes); a node's searchable text is cut likewise.
DETAIL_CHARACTERS = 65536
SOURCE_CONTEXT = 4
_THREAD, _CALL, _EVENT = "thread", "call", "event"


class TraceIndex:
    """The call tree of one trace, numbered, with what the explorer asks of it."""

    def __init__(self, document: bytes, progress: Callable[[int, int], None] | None = None):
        with _no_cycle_collection():
            self._build(document, progress)

    def _build(self, document: bytes, progress: Callable[[int, int], None] | None) -> None:
        trace, entries = _scan(document)
        self.size = len(document)
        self.header = _header(trace)
        self.origin = _origin(trace, entries)
        self.kind: list[str] = []
        self.parent: list[int] = []
        self.thread: list[int] = []
        self.children: dict[int, list[int]] = {}
        # Per node: the packed thread or event record, or a call's [call, return] records.
        self._parts: list[Any] = []
        self._names: list[str] = []
        self._ends: list[Any] = []  # the timestamp of each node's last record
        self._durations = array.array("d")
        self._figures: list[list[float] | None] = []  # each call's entry in self.functions
        self.functions: dict[tuple[str, str], list[float]] = {}
        # (name text, figures) by (name, "file:line"), looked up once per function and line
        self._callees: dict[tuple[str, str], tuple[str, list[float]]] = {}
        for number, thread in enumerate(trace.threads):
            self._add(_THREAD, -1, number, _pack([thread.name, thread.native_id]), "", None)
        for number, thread_entries in enumerate(entries):
            self._add_thread(number, thread_entries, progress, trace.records)
            self.header["threads"][number]["end"] = self._seconds(self._last_stamp(number))
        del trace, entries
        self._add_figures()
        self._name_text, self._name_starts = _joined(self._names)
        packed = [p if isinstance(p, bytes) else _joined_call(*p) for p in self._parts]
        self.offsets = array.array("q", itertools.accumulate((len(p) for p in packed), initial=0))
        self.block = b"".join(packed)
        self._lowered = self.block.lower()
        del (
            self._names,
            self._parts,
            self._ends,
            self._durations,
            self._figures,
            self._callees,
            packed,
        )

    def __len__(self) -> int:
        return len(self.kind)

    # Building

    def _add(self, kind: str, parent: int, thread: int, parts: Any, name: str, end: Any) -> int:
        number = len(self.kind)
        self.kind.append(kind)
        self.parent.append(parent)
        self.thread.append(thread)
        self._parts.append(parts)
        self._names.append(name)
        self._ends.append(end)
        self._durations.append(0.0)
        self._figures.append(None)
        if parent >= 0:
            self.children.setdefault(parent, []).append(number)
        return number

    def _add_thread(
        self,
        thread: int,
        entries: list[_Entry],
        progress: Callable[[int, int], None] | None,
        records: int,
    ) -> None:
        """The thread's records in order: a call opens a node that the calls and events after
        it nest under until its return (matched by frame id) closes it."""
        open_calls: list[tuple[Any, Any, int]] = []  # (frame id, timestamp, node)
        for _, _, raw, is_frame, is_call, frame_id, stamp, name, path in entries:
            parent = open_calls[-1][2] if open_calls else thread
            if not is_frame:
                number = self._add(_EVENT, parent, thread, raw, name, stamp)
            elif is_call:
                number = self._add_call(parent, thread, [raw, None], name, path, stamp)
                open_calls.append((frame_id, stamp, number))
            else:
                number = self._close(open_calls, raw, frame_id, stamp)
                if number < 0:
                    name, path = _function_name(_unpack(raw))
                    number = self._add_call(parent, thread, [None, raw], name, path, stamp)
                else:
                    continue
            if progress is not None and number % 10000 == 0:
                progress(number, records)

    def _add_call(
        self, parent: int, thread: int, parts: list[Any], name: str, path: str, stamp: Any
    ) -> int:
        callee = self._callees.get((name, path))
        if callee is None:  # the first call of this function from this line
            figures = self.functions.setdefault((name, split_path(path)[0]), [0, 0.0, 0.0])
            callee = self._callees[name, path] = (f"{name}\t{path}".lower(), figures)
        number = self._add(_CALL, parent, thread, parts, callee[0], stamp)
        self._figures[number] = callee[1]
        return number

    def _close(
        self, open_calls: list[tuple[Any, Any, int]], raw: bytes, frame_id: Any, stamp: Any
    ) -> int:
        """Pairs a return with its open call: the call's node, or -1 when none is open."""
        for depth in range(len(open_calls) - 1, -1, -1):
            if open_calls[depth][0] == frame_id:
                _, start, number = open_calls[depth]
                self._parts[number][1] = raw
                self._ends[number] = stamp
                self._durations[number] = _duration(start, stamp)
                # Calls above it lost their returns (the trace was cut in between).
                del open_calls[depth:]
                return number
        return -1

    def _add_figures(self) -> None:
        """Calls, total and own time per function, summed in node order. Own time: the call's
        time less its child calls', taken off once all are added."""
        inner = array.array("d", bytes(8 * len(self.kind)))
        calls = [(n, entry) for n, entry in enumerate(self._figures) if entry is not None]
        for number, entry in calls:
            duration = self._durations[number]
            entry[0] += 1
            entry[1] += duration
            entry[2] += duration
            inner[self.parent[number]] += duration
        for number, entry in calls:
            entry[2] = max(entry[2] - inner[number], 0.0)

    def _last_stamp(self, thread: int) -> Any:
        """The timestamp of the thread's last record: the return of its last call, or of the
        deepest last one."""
        children = self.children.get(thread)
        while children:
            node = children[-1]
            parts = self._parts[node]
            if self.kind[node] == _EVENT or parts[1] is not None or node not in self.children:
                return self._ends[node]
            children = self.children[node]
        return None

    # Reading

    def check(self, number: int) -> None:
        if not 0 <= number < len(self.kind):
            raise LookupError(f"no node {number} in trace {self.header['trace_id']}")

    def records(self, number: int) -> Any:
        return _unpack(memoryview(self.block)[self.offsets[number] : self.offsets[number + 1]])

    def summary(self, number: int) -> dict[str, Any]:
        """What the tree shows of a node, in short texts."""
        self.check(number)
        kind = self.kind[number]
        entry: dict[str, Any] = {
            "id": number,
            "kind": kind,
            "kids": len(self.children.get(number, ())),
        }
        if kind == _THREAD:
            name, native_id = self.records(number)
            entry.update(name=str(name), native_id=native_id)
        elif kind == _EVENT:
            event = Event(self.records(number))
            data = " ".join(f"{key}={short(value)}" for key, value in event.data.items())
            entry.update(name=event.type, args=data, start=self._time(event.record))
        else:
            call = Call(*self.records(number))
            file, line = split_path(call.path)
            args = call.args
            entry.update(
                name=call.name,
                file=file,
                line=line,
                args="?" if args is None else args_line(args),
                returned=call.ret is not None,
                ret=short(call.ret.get("arg")) if call.ret is not None else None,
                dur=call.duration,
                start=self._time(call.first),
            )
        return entry

    def children_page(self, number: int, offset: int = 0, limit: int = 200) -> dict[str, Any]:
        self.check(number)
        children = self.children.get(number, [])
        page = children[max(offset, 0) : max(offset, 0) + max(limit, 0)]
        return {"total": len(children), "offset": offset, "nodes": [self.summary(n) for n in page]}

    def path(self, number: int) -> list[int]:
        """The node's ancestors from its thread down, then the node itself."""
        self.check(number)
        path = [number]
        while self.parent[path[-1]] >= 0:
            path.append(self.parent[path[-1]])
        return path[::-1]

    def detail(self, number: int) -> dict[str, Any]:
        """Everything recorded of a node, with its values in full (up to a size per value)."""
        entry = self.summary(number)
        entry["path"] = self.path(number)
        if entry["kind"] == _THREAD:
            return entry
        if entry["kind"] == _EVENT:
            event = Event(self.records(number))
            entry.update(
                data=_detail_value(event.data),
                frame_id=event.record.get("frame_id"),
                thread_name=event.record.get("thread"),
                timestamp=jsonable(event.record.get("timestamp")),
                call_site=self._call_site(number, event.record),
            )
            return entry
        call = Call(*self.records(number))
        first = call.first
        entry.update(
            qualname=first.get("qualname"),
            co_name=first.get("co_name"),
            frame_id=first.get("frame_id"),
            thread_name=first.get("thread"),
            thread_native_id=first.get("thread_native_id"),
            args=_detail_value(call.args),
            locals_at_call=_detail_value(_locals(call.call)),
            locals_at_return=_detail_value(_locals(call.ret)),
            return_value=_detail_value(call.ret.get("arg")) if call.ret is not None else None,
            return_line=split_path(str(call.ret.get("path")))[1] if call.ret else None,
            called_at=jsonable(call.call.get("timestamp")) if call.call else None,
            returned_at=jsonable(call.ret.get("timestamp")) if call.ret else None,
            call_site=self._call_site(number, first),
            source=source_lines(entry["file"], entry["line"]),
        )
        return entry

    def _call_site(self, number: int, record: dict[str, Any]) -> dict[str, Any] | None:
        """The line of the calling function, and its node when the caller is in the tree."""
        site = record.get("user_code_call_site")
        if not isinstance(site, dict):
            return None
        caller = site.get("call_frame_id")
        node = self.parent[number]
        while node >= 0 and self.kind[node] == _CALL:
            if Call(*self.records(node)).first.get("frame_id") == caller:
                break
            node = self.parent[node]
        found = node >= 0 and self.kind[node] == _CALL
        return {
            "frame_id": jsonable(caller),
            "line": jsonable(site.get("line_number")),
            "node": node if found else None,
            "name": self.summary(node)["name"] if found else None,
        }

    def _time(self, record: dict[str, Any] | None) -> float | None:
        """Seconds since the trace's first record."""
        return self._seconds(None if record is None else record.get("timestamp"))

    def _seconds(self, stamp: Any) -> float | None:
        if not isinstance(stamp, (int, float)) or self.origin is None:
            return None
        return float(stamp) - self.origin

    # Search and figures

    def search(self, text: str, by: str = "name", limit: int = 200) -> dict[str, Any]:
        """Nodes whose qualified name or file ("name"), or whose arguments, locals or return
        value ("value") contain the text, ignoring case; each result with its path."""
        if by == "name":
            found = list(_find(self._name_text, self._name_starts, text.lower(), limit + 1))
        elif by == "value":
            found = list(self._find_value(text.lower(), limit + 1))
        else:
            raise ValueError(f"search by 'name' or 'value', not {by!r}")
        results = [{**self.summary(n), "path": self.path(n)} for n in found[:limit]]
        return {"query": text, "by": by, "results": results, "more": len(found) > limit}

    def _find_value(self, needle: str, limit: int) -> Iterator[int]:
        """Nodes whose values, unpacked, hold the needle."""
        if not needle:
            return
        found = (n for n in self._value_candidates(needle) if needle in self.searchable("value", n))
        yield from itertools.islice(found, limit)

    def _value_candidates(self, needle: str) -> Iterator[int]:
        """Nodes whose packed bytes hold the needle (the bytes hold keys and lengths too)."""
        if "\ufffd" in needle:  # stands for bytes that were not UTF-8, which the block keeps
            yield from range(len(self.kind))
            return
        wanted = needle.encode("utf-8", "surrogatepass").lower()
        position = self._lowered.find(wanted)
        while position >= 0:
            number = bisect.bisect_right(self.offsets, position) - 1
            yield number
            position = self._lowered.find(wanted, self.offsets[number + 1])

    def function_table(self) -> list[dict[str, Any]]:
        return [
            {"name": name, "file": file, "calls": calls, "total": total, "own": own}
            for (name, file), (calls, total, own) in self.functions.items()
        ]

    def calls_in_order(self, threads: list[int] | None = None) -> Iterator[tuple[int, int]]:
        """(node, depth) of every call of the threads (default: all), thread by thread, each
        before its children."""
        for thread in range(len(self.header["threads"])) if threads is None else threads:
            stack = [(child, 1) for child in reversed(self.children.get(thread, []))]
            while stack:
                node, depth = stack.pop()
                if self.kind[node] == _CALL:
                    yield node, depth
                stack.extend((child, depth + 1) for child in reversed(self.children.get(node, [])))

    def searchable(self, by: str, number: int) -> str:
        """The text a search by "name" or "value" looks into for one node, in lowercase."""
        if by == "name":
            starts = self._name_starts
            end = starts[number + 1] - 1 if number + 1 < len(starts) else len(self._name_text)
            return self._name_text[starts[number] : end]
        if self.kind[number] == _THREAD:
            return ""
        if self.kind[number] == _EVENT:
            return value_text(Event(self.records(number)).data).lower()
        call = Call(*self.records(number))
        values = [call.args, _locals(call.call), _locals(call.ret)]
        if call.ret is not None:
            values.append(call.ret.get("arg"))
        return "\n".join(value_text(value) for value in values).lower()


@contextlib.contextmanager
def _no_cycle_collection() -> Iterator[None]:
    """Building makes millions of objects and no cycles: the collector, which would walk them
    over and over, is held off meanwhile (it halves the time)."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


# Reading the document: each record is unpacked on its own, keeps its packed bytes and gives the
# few fields the tree needs; its values stay packed until its node is shown or searched.

# thread id, thread name, packed record, frame?, call?, frame id, timestamp, name, path
_Entry = tuple[Any, Any, bytes, bool, bool, Any, Any, str, str]
_ARRAYS = frozenset(range(0x90, 0xA0)) | {0xDC, 0xDD}
_MAPS = frozenset(range(0x80, 0x90)) | {0xDE, 0xDF}


def _scan(document: bytes) -> tuple[Trace, list[list[_Entry]]]:
    """The trace's header fields and threads, and each thread's records in order."""
    try:
        return _read(document)
    except Exception:
        decode(document)  # raises the error that says what is wrong with the document
        raise


def _read(document: bytes) -> tuple[Trace, list[list[_Entry]]]:
    unpacker = msgpack.Unpacker(
        raw=False,
        strict_map_key=False,
        unicode_errors="replace",
        max_buffer_size=max(len(document), 1),
    )
    unpacker.feed(document)
    fields: dict[Any, Any] = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            fields[key] = _records(unpacker, document)
        elif key == "frames":
            fields[key] = _thread_buffers(unpacker, document)
        else:
            fields[key] = unpacker.unpack()
    if unpacker.tell() != len(document) or not isinstance(fields.get("trace_id"), str):
        raise ValueError("not a whole trace document")
    grouped = _grouped(fields).items()
    threads = [
        Thread(name, native_id if isinstance(native_id, int) else None, [], len(entries))
        for native_id, (name, entries) in grouped
    ]
    return trace_of(fields, threads), [entries for _, (_, entries) in grouped]


def _records(unpacker: msgpack.Unpacker, document: bytes) -> list[_Entry] | None:
    """A buffer's records, each with the thread that made it (missing when it does not say)."""
    if document[unpacker.tell()] not in _ARRAYS:
        unpacker.skip()
        return None
    records: list[_Entry] = []
    add, tell, unpack = records.append, unpacker.tell, unpacker.unpack
    for _ in range(unpacker.read_array_header()):
        start = tell()
        if document[start] in _MAPS:
            add(_entry(unpack(), document[start : tell()]))
        else:
            unpacker.skip()
    return records


def _thread_buffers(unpacker: msgpack.Unpacker, document: bytes) -> dict[Any, Any] | None:
    if document[unpacker.tell()] not in _MAPS:
        unpacker.skip()
        return None
    buffers = []
    for _ in range(unpacker.read_map_header()):
        buffers.append((unpacker.unpack(), _records(unpacker, document)))
    return dict(buffers)


_MISSING = object()


def _entry(record: dict[str, Any], raw: bytes) -> _Entry:
    get = record.get
    head = (get("thread_native_id", _MISSING), get("thread"), raw)
    if get("type") != "frame":
        return (*head, False, False, None, get("timestamp"), str(get("type")).lower(), "")
    if get("event") != "call":  # a return is named only when no call of it is open (rare)
        return (*head, True, False, get("frame_id"), get("timestamp"), "", "")
    return (*head, True, True, get("frame_id"), get("timestamp"), *_function_name(record))


def _function_name(record: dict[str, Any]) -> tuple[str, str]:
    """(qualified name, "file:line") of a call or return record."""
    name = record.get("qualname") or record.get("co_name") or "?"
    return str(name), str(record.get("path") or "?")


def _grouped(fields: dict[Any, Any]) -> dict[Any, tuple[str, list[_Entry]]]:
    """The records by the thread that made them, with its name, the main thread first. Without
    "threading" all threads share one buffer, so the grouping goes by each record's own thread
    id."""
    buffers: list[tuple[Any, Any]] = []
    if isinstance(fields.get("frames_of_interest"), list):
        buffers.append((fields.get("main_thread_id"), fields["frames_of_interest"]))
    if isinstance(fields.get("frames"), dict):
        buffers.extend(fields["frames"].items())
    grouped: dict[Any, list[_Entry]] = {}
    names: dict[Any, str] = {}
    for buffer_thread, records in buffers:
        if not isinstance(records, list):
            continue
        for entry in records:
            thread = buffer_thread if entry[0] is _MISSING else entry[0]
            grouped.setdefault(thread, []).append(entry)
            if thread not in names and isinstance(entry[1], str):
                names[thread] = entry[1]
    main = fields.get("main_thread_id")
    order = sorted(grouped, key=lambda thread: thread != main)  # stable: main first
    return {thread: (names.get(thread, "?"), grouped[thread]) for thread in order}


def _header(trace: Trace) -> dict[str, Any]:
    threads = [
        {"id": number, "name": thread.name, "native_id": thread.native_id}
        for number, thread in enumerate(trace.threads)
    ]
    return {**json_header(trace), "threads": threads}


def _origin(trace: Trace, entries: list[list[_Entry]]) -> float | None:
    """The time of the trace's first record, which the tree's times count from."""
    firsts = [float(e[0][6]) for e in entries if e and isinstance(e[0][6], (int, float))]
    return min(firsts) if firsts else trace.started_at


def _duration(start: Any, end: Any) -> float:
    if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
        return 0.0
    return max(end - start, 0.0) or 0.0


def _joined_call(call: bytes | None, ret: bytes | None) -> bytes:
    """A call's packed records as the array [call, return], nil for a missing one."""
    return b"\x92" + (call or b"\xc0") + (ret or b"\xc0")


def _unpack(packed: bytes | memoryview) -> Any:
    return msgpack.unpackb(packed, raw=False, strict_map_key=False, unicode_errors="replace")


def _pack(value: Any) -> bytes:
    return msgpack.packb(value, use_bin_type=True)


def _locals(record: dict[str, Any] | None) -> Any:
    return None if record is None else record.get("locals")


def value_text(value: Any) -> str:
    """The texts inside a value, one per line: keys, strings and the repr of the rest."""
    parts: list[str] = []
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            for key, inner in item.items():
                stack.append(inner)
                stack.append(key)
        elif isinstance(item, (list, tuple)):
            stack.extend(reversed(item))
        elif isinstance(item, str):
            parts.append(item)
        elif item is not None:
            parts.append(repr(item))
    return "\n".join(parts)


def _joined(texts: list[str]) -> tuple[str, list[int]]:
    """All texts in one string, separated by NUL, with where each starts."""
    starts = []
    position = 0
    for text in texts:
        starts.append(position)
        position += len(text) + 1
    return "\0".join(texts), starts


def _find(haystack: str, starts: list[int], needle: str, limit: int) -> Iterator[int]:
    """The numbers of the texts that contain the needle, at most `limit` of them."""
    if not needle:
        return
    position = haystack.find(needle)
    while position >= 0 and limit > 0:
        number = bisect.bisect_right(starts, position) - 1
        yield number
        limit -= 1
        following = starts[number + 1] if number + 1 < len(starts) else len(haystack)
        position = haystack.find(needle, following)


def _detail_value(value: Any) -> Any:
    """The value as JSON-ready data, with long texts cut and the cut said."""
    value = jsonable(value)
    if isinstance(value, str):
        if len(value) > DETAIL_CHARACTERS:
            return value[:DETAIL_CHARACTERS] + f"... ({len(value) - DETAIL_CHARACTERS} more)"
        return value
    if isinstance(value, list):
        return [_detail_value(item) for item in value]
    if isinstance(value, dict):
        return {key: _detail_value(item) for key, item in value.items()}
    return value


def source_lines(file: str | None, line: int | None) -> dict[str, Any] | None:
    """The lines around `line` of the file, when it still exists."""
    if not file or line is None or not os.path.isfile(file):
        return None
    first = max(line - SOURCE_CONTEXT, 1)
    try:
        with open(file, encoding="utf-8", errors="replace") as source:
            lines = list(itertools.islice(source, first - 1, line + SOURCE_CONTEXT))
    except OSError:
        return None
    if not lines:
        return None
    return {"first": first, "line": line, "lines": [text.rstrip("\n") for text in lines]}
