"""A stored trace indexed once for exploring it: nodes by number, each one's children, the figures
per function, and the text searched by name and by value. The explorer's server, the one-file HTML
viewer and the exports all read traces through it.

Node numbers: 0 to (threads - 1) are the threads themselves, then every call and plugin record in
the order they happened, thread by thread. The nodes' records are kept packed as MessagePack, one
after the other in one block, and unpacked only when shown; a search by value looks through that
block (and a lowercase copy of it) before it unpacks the few records that may match. So an index
holds about twice the document plus a few numbers per record, not the decoded tree.
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
    Trace,
    args_line,
    build_tree,
    json_header,
    jsonable,
    short,
    split_path,
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
        trace = build_tree(document)
        self.size = len(document)
        self.header = _header(trace)
        self.origin = _origin(trace)
        self.kind: list[str] = []
        self.parent: list[int] = []
        self.thread: list[int] = []
        self.children: dict[int, list[int]] = {}
        packed: list[bytes] = []
        self._pack = packed.append
        self._names: list[str] = []
        self.functions: dict[tuple[str, str], list[float]] = {}
        self._inner: dict[int, float] = {}  # time spent in each call's child calls
        self._own: list[tuple[list[float], int]] = []
        for number, thread in enumerate(trace.threads):
            self._add(_THREAD, -1, number, _pack([thread.name, thread.native_id]))
            self._names.append("")
        for number, thread in enumerate(trace.threads):
            self._add_thread(number, thread.roots, progress, trace.records)
            self.header["threads"][number]["end"] = self._time(self._last_record(thread.roots))
        del trace
        for figures, number in self._own:
            figures[2] = max(figures[2] - self._inner.get(number, 0.0), 0.0)
        del self._own, self._inner
        self._name_text, self._name_starts = _joined(self._names)
        self.offsets = array.array("q", itertools.accumulate((len(p) for p in packed), initial=0))
        self.block = b"".join(packed)
        self._lowered = self.block.lower()
        del self._names, self._pack, packed

    def __len__(self) -> int:
        return len(self.kind)

    # Building

    def _add(self, kind: str, parent: int, thread: int, packed: bytes) -> int:
        number = len(self.kind)
        self.kind.append(kind)
        self.parent.append(parent)
        self.thread.append(thread)
        self._pack(packed)
        if parent >= 0:
            self.children.setdefault(parent, []).append(number)
        return number

    def _add_thread(
        self,
        thread: int,
        roots: list[Call | Event],
        progress: Callable[[int, int], None] | None,
        records: int,
    ) -> None:
        # Walked with an explicit stack: deep recursion in the trace must not exhaust ours.
        stack: list[tuple[Iterator[Call | Event], int]] = [(iter(roots), thread)]
        while stack:
            nodes, parent = stack[-1]
            node = next(nodes, None)
            if node is None:
                stack.pop()
                continue
            number = self._add_node(node, parent, thread)
            if progress is not None and number % 10000 == 0:
                progress(number, records)
            if isinstance(node, Call) and node.children:
                stack.append((iter(node.children), number))

    def _add_node(self, node: Call | Event, parent: int, thread: int) -> int:
        if isinstance(node, Event):
            self._names.append(node.type.lower())
            return self._add(_EVENT, parent, thread, _pack(node.record))
        self._names.append(f"{node.name}\t{node.path}".lower())
        number = self._add(_CALL, parent, thread, _pack([node.call, node.ret]))
        duration = node.duration or 0.0
        self._inner[parent] = self._inner.get(parent, 0.0) + duration
        file, _ = split_path(node.path)
        figures = self.functions.setdefault((node.name, file), [0, 0.0, 0.0])
        figures[0] += 1
        figures[1] += duration
        # Own time: the call's time less its children's, taken off once they are all added.
        figures[2] += duration
        self._own.append((figures, number))
        return number

    @staticmethod
    def _last_record(roots: list[Call | Event]) -> dict[str, Any] | None:
        """The thread's last record: the return of its last call, or the deepest last one."""
        nodes = roots
        while nodes:
            node = nodes[-1]
            if isinstance(node, Event):
                return node.record
            if node.ret is not None or not node.children:
                return node.ret or node.call
            nodes = node.children
        return None

    # Reading

    def check(self, number: int) -> None:
        if not 0 <= number < len(self.kind):
            raise LookupError(f"no node {number} in trace {self.header['trace_id']}")

    def records(self, number: int) -> Any:
        view = memoryview(self.block)[self.offsets[number] : self.offsets[number + 1]]
        return msgpack.unpackb(view, raw=False, strict_map_key=False)

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
        value = None if record is None else record.get("timestamp")
        if not isinstance(value, (int, float)) or self.origin is None:
            return None
        return float(value) - self.origin

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
        """Records whose packed bytes hold the needle are candidates (the bytes hold keys and
        lengths too); a candidate is found when its values, unpacked, hold it."""
        if not needle:
            return
        wanted = needle.encode("utf-8", "surrogatepass").lower()
        position = self._lowered.find(wanted)
        while position >= 0 and limit > 0:
            number = bisect.bisect_right(self.offsets, position) - 1
            if needle in self.searchable("value", number):
                yield number
                limit -= 1
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


def _header(trace: Trace) -> dict[str, Any]:
    threads = [
        {"id": number, "name": thread.name, "native_id": thread.native_id}
        for number, thread in enumerate(trace.threads)
    ]
    return {**json_header(trace), "threads": threads}


def _origin(trace: Trace) -> float | None:
    """The time of the trace's first record, which the tree's times count from."""
    firsts = []
    for thread in trace.threads:
        if thread.roots:
            root = thread.roots[0]
            record = root.record if isinstance(root, Event) else root.first
            stamp = record.get("timestamp")
            if isinstance(stamp, (int, float)):
                firsts.append(float(stamp))
    return min(firsts) if firsts else trace.started_at


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
