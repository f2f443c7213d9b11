"""A stored trace indexed once for reading it: nodes by number, each one's children, the figures
per function, and the text searched by name and by value. `vexo show`, the explorer's server, the
one-file HTML viewer, the exports and the comparison all read traces through it.

Nodes are numbered as vexo.trace.nodes makes them: the threads, then every call and plugin record
in the order they happened, thread by thread. Their records are kept packed as MessagePack, one
after the other in one block, and unpacked only when shown; a search by value looks through that
block (and a lowercase copy of it, made by the first such search) before it unpacks the few
records that may match. So an index holds about the document (twice once searched by value) plus a
few numbers per record, not the decoded tree.

Indexing keeps each record's bytes as they are and takes from it only what the tree and the
figures need, so no tree of decoded records is ever built.
"""

from __future__ import annotations

import bisect
import contextlib
import functools
import gc
import itertools
import os
import re
from collections.abc import Callable, Iterator
from typing import Any

import msgpack

from vexo.common import layout
from vexo.trace.model import Call, Event, header_of
from vexo.trace.nodes import read_nodes
from vexo.trace.steps import group_steps
from vexo.trace.subject import subject_of
from vexo.trace.text import (
    args_line,
    json_key,
    jsonable,
    raised_text,
    short,
    split_path,
    stop_text,
)
from vexo.values.unpack import UNREADABLE_TEXT, Reference, is_unreadable, unpack

__all__ = ["TraceIndex", "value_text"]

# A value shown in the detail pane is cut beyond this many characters (the full text can be
# megabytes); a node's searchable text is cut likewise.
DETAIL_CHARACTERS = 65536
SOURCE_CONTEXT = 4
# The timeline draws the calls of each thread down to this depth, up to this many bars, and
# looks at no more than this many children of any one call: enough to see where time went.
TIMELINE_DEPTH = 6
TIMELINE_BARS = 2000
TIMELINE_CHILDREN = 500
_THREAD, _CALL, _EVENT = "thread", "call", "event"
# How a frame record's "frame_id" key is packed: each call's node is found by what follows it.
_FRAME_ID_KEY = msgpack.packb(layout.FRAME_ID)


class TraceIndex:
    """The call tree of one trace, numbered, with what the explorer asks of it."""

    def __init__(self, document: bytes, progress: Callable[[int, int], None] | None = None):
        with _no_cycle_collection():
            nodes = read_nodes(document)
        if progress is not None:
            progress(len(nodes.kind), len(nodes.kind))
        self.size = len(document)
        self.thread_records = [count for _, _, count, _, _ in nodes.threads]
        self.header = {
            **header_of(nodes.fields),
            "records": sum(self.thread_records),
            "threads": [
                {"id": number, "name": name, "native_id": native_id}
                for number, (name, native_id, _, _, _) in enumerate(nodes.threads)
            ],
        }
        firsts = [float(first) for _, _, _, first, _ in nodes.threads if _is_number(first)]
        self.origin = min(firsts) if firsts else self.header["started_at"]
        for entry, (_, _, _, _, last) in zip(self.header["threads"], nodes.threads, strict=True):
            entry["end"] = self._seconds(last)
        self.kind = nodes.kind
        self.parent = nodes.parent
        self.thread = nodes.thread
        self.children = nodes.children
        self.block = nodes.block
        self.offsets = nodes.offsets
        self._name_text, self._name_starts = nodes.name_text, nodes.name_starts
        self.header["stopped"] = self._stopped()
        self.header.update(subject_of(self))  # the test or request the trace is of
        self.functions = _function_figures(nodes.callees)
        self._recursion_counted = False
        step_records = [
            n
            for n in _find(self._name_text, self._name_starts, layout.STEP, len(self.kind))
            if self.kind[n] == _EVENT
        ]
        self.steps = group_steps(self, step_records)

    def __len__(self) -> int:
        return len(self.kind)

    # Reading

    def check(self, number: int) -> None:
        if not 0 <= number < len(self.kind):
            raise LookupError(f"no node {number} in trace {self.header['trace_id']}")

    def records(self, number: int) -> Any:
        return _unpack(memoryview(self.block)[self.offsets[number] : self.offsets[number + 1]])

    def node(self, number: int) -> Call | Event:
        """A call or event node's records (not a thread's)."""
        records = self.records(number)
        return Call(*records) if self.kind[number] == _CALL else Event(records)

    def walk(
        self, threads: list[int] | None = None, steps: bool = True
    ) -> Iterator[tuple[int, int]]:
        """(node, depth) of every call and event of the threads (default: all), thread by
        thread, each before its children; a thread's own are at depth 1. Without `steps`, the
        resumed steps of a generator or coroutine are left out and their children stand at their
        depth, as if the logical call had made them."""
        of = {} if steps else self.steps.of
        for thread in range(len(self.header["threads"])) if threads is None else threads:
            stack = [(child, 1) for child in reversed(self.children.get(thread, []))]
            while stack:
                node, depth = stack.pop()
                inner = depth
                if node not in of:
                    yield node, depth
                    inner = depth + 1
                stack.extend((child, inner) for child in reversed(self.children.get(node, [])))

    def raised(self, number: int) -> dict[str, Any] | None:
        """For a call left by an exception: {"type", "message", "line"} from the exception's
        record, which follows the call among its parent's children."""
        exception = self.exception_node(self.steps.last(number))
        return None if exception is None else _raised_fields(self.node(exception).record)

    def folded(self, number: int) -> bool:
        """Whether the node is a record that its call's row shows: the exception record of the
        call before it, or a step record."""
        if self.kind[number] != _EVENT or self.parent[number] < 0:
            return False
        if number in self.steps.records:
            return True  # its call's row shows it
        siblings = self.children.get(self.parent[number], [])
        place = bisect.bisect_left(siblings, number)
        return place > 0 and self.exception_node(siblings[place - 1]) == number

    def exception_node(self, number: int) -> int | None:
        if self.kind[number] != _CALL or self.parent[number] < 0:
            return None
        siblings = self.children.get(self.parent[number], [])
        place = bisect.bisect_left(siblings, number) + 1
        if place >= len(siblings) or self.kind[siblings[place]] != _EVENT:
            return None
        record = self.records(siblings[place])
        frame_id = self._frame_id(number)
        if record.get(layout.TYPE) != layout.EXCEPTION or frame_id is None:
            return None
        return siblings[place] if record.get(layout.FRAME_ID) == frame_id else None

    def exception_path(self, number: int) -> dict[str, Any] | None:
        """For a call left by an exception: the calls the same exception left, from the one it
        was raised in out to the outermost ("frames": node, name, line each), and the recorded
        caller that caught it ("caught_in", None when it left every recorded call)."""
        raised = self.raised(number)
        if raised is None:
            return None
        same = (raised["type"], raised["message"])
        inner = number
        while True:
            below = [
                child
                for child in self.children.get(inner, [])
                if self.kind[child] == _CALL and self._same_exception(child, same)
            ]
            if not below:
                break
            inner = below[-1]
        frames = [inner]
        while self.kind[self.parent[frames[-1]]] == _CALL and self._same_exception(
            self.parent[frames[-1]], same
        ):
            frames.append(self.parent[frames[-1]])
        outer = self.parent[frames[-1]]
        caught = None
        if self.kind[outer] == _CALL and self.node(outer).ret is not None:
            # The line it reached the caller on: where the caller called the outermost frame.
            site = self.node(frames[-1]).first.get(layout.CALL_SITE)
            line = site.get(layout.CALLER_LINE) if isinstance(site, dict) else None
            caught = {**self._exception_frame(outer), "line": jsonable(line)}
        return {
            "frames": [self._exception_frame(frame) for frame in frames],
            "caught_in": caught,
        }

    def _same_exception(self, number: int, same: tuple[Any, Any]) -> bool:
        raised = self.raised(number)
        return raised is not None and (raised["type"], raised["message"]) == same

    def _exception_frame(self, number: int) -> dict[str, Any]:
        raised = self.raised(number)
        call = self.node(number)
        line = raised["line"] if raised is not None else None
        return {"node": number, "name": call.name, "file": split_path(call.path)[0], "line": line}

    def summary(self, number: int) -> dict[str, Any]:
        """What the tree shows of a node, in short texts."""
        self.check(number)
        kind = self.kind[number]
        children = self.children.get(number, ())
        entry: dict[str, Any] = {
            "id": number,
            "kind": kind,
            # A resumed step's record is its first child, shown on its row.
            "kids": len(children) - (1 if children and children[0] in self.steps.records else 0),
        }
        if kind == _THREAD:
            name, native_id = self.records(number)
            entry.update(name=str(name), native_id=native_id)
        elif kind == _EVENT:
            event = self.node(number)
            if event.type == layout.STOPPED:
                data = stop_text(event.record)
            else:
                data = " ".join(f"{key}={short(value)}" for key, value in event.data.items())
            entry.update(name=event.type, args=data, start=self._time(event.record))
            if self.folded(number):
                entry["folded"] = True  # its call's row shows it
        else:
            call = self.node(number)
            last = self.last_step(number)
            file, line = split_path(call.path)
            args = call.args
            entry.update(
                name=call.name,
                file=file,
                line=line,
                args="?" if args is None else args_line(args),
                returned=last.ret is not None,
                ret=short(last.ret.get(layout.ARG)) if last.ret is not None else None,
                raised=raised_text(self.raised(number)),
                dur=self.duration(number),
                start=self._time(call.first),
                **self.step_fields(number),
            )
        return entry

    def last_step(self, number: int) -> Call:
        """The call node, or for a generator's or coroutine's logical call its last step, whose
        return ends it."""
        return self.node(self.steps.last(number))  # type: ignore[return-value]

    def duration(self, number: int) -> float | None:
        """A call's time; a logical call's from its first entry to its last step's return."""
        call = self.node(number)
        if number not in self.steps.steps:
            return call.duration
        last = self.last_step(number)
        start = call.call.get(layout.TIMESTAMP) if call.call else None
        end = last.ret.get(layout.TIMESTAMP) if last.ret else None
        if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
            return None
        return max(float(end) - float(start), 0.0)

    def step_fields(self, number: int) -> dict[str, Any]:
        """What a call is among generator and coroutine steps: "steps" (a logical call's count),
        "step" (a resumed step's number), "task" (the asyncio task a coroutine runs as) and
        "started_from" (the node of the call a task's lane was started from)."""
        steps = self.steps
        fields: dict[str, Any] = {}
        if number in steps.steps:
            fields["steps"] = len(steps.steps[number])
        if number in steps.number:
            fields["step"] = steps.number[number]
        if number in steps.task:
            fields["task"] = steps.task[number]
        if number in steps.started_from:
            fields["started_from"] = steps.started_from[number]
        return fields

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

    def position(self, number: int) -> dict[str, Any]:
        """Where the node stands among its parent's children (a thread, among the threads): the
        tree opens its parent just far enough to show it."""
        self.check(number)
        parent = self.parent[number]
        siblings = (
            self.children.get(parent, []) if parent >= 0 else range(len(self.header["threads"]))
        )
        return {"parent": parent if parent >= 0 else None, "position": siblings.index(number)}

    def positions(self) -> list[int]:
        """Every node's position among its parent's children, for a file that carries them all."""
        positions = list(range(len(self.kind)))  # a thread's number is its place among them
        for siblings in self.children.values():
            for place, number in enumerate(siblings):
                positions[number] = place
        return positions

    def detail(self, number: int) -> dict[str, Any]:
        """Everything recorded of a node, with its values in full (up to a size per value)."""
        entry = self.summary(number)
        entry["path"] = self.path(number)
        if entry["kind"] == _THREAD:
            return entry
        if entry["kind"] == _EVENT:
            event = self.node(number)
            entry.update(
                data=_detail_value(event.data),
                frame_id=event.record.get(layout.FRAME_ID),
                thread_name=event.record.get(layout.THREAD),
                timestamp=jsonable(event.record.get(layout.TIMESTAMP)),
                call_site=self._call_site(number, event.record),
            )
            return entry
        call = self.node(number)
        first = call.first
        ended = self.last_step(number)  # a generator's or coroutine's last step ends its call
        return_line = split_path(str(ended.ret.get(layout.PATH)))[1] if ended.ret else None
        entry.update(
            qualname=first.get(layout.QUALNAME),
            co_name=first.get(layout.CO_NAME),
            frame_id=first.get(layout.FRAME_ID),
            thread_name=first.get(layout.THREAD),
            thread_native_id=first.get(layout.THREAD_NATIVE_ID),
            args=_detail_value(call.args),
            locals_at_call=_detail_value(_locals(call.call)),
            locals_at_return=_detail_value(_locals(ended.ret)),
            return_value=_detail_value(ended.ret.get(layout.ARG)) if ended.ret else None,
            return_line=return_line,
            raised_on_line=_raised_on(entry["file"], return_line, ended.ret),
            exception=self.exception_detail(number),
            called_at=jsonable(call.call.get(layout.TIMESTAMP)) if call.call else None,
            returned_at=jsonable(ended.ret.get(layout.TIMESTAMP)) if ended.ret else None,
            call_site=self._call_site(number, first),
            source=source_lines(entry["file"], entry["line"]),
            references=self._references(call),
        )
        return entry

    def exception_detail(self, number: int) -> dict[str, Any] | None:
        """For a call left by an exception: what `raised` and `exception_path` say of it."""
        raised = self.raised(number)
        if raised is None:
            return None
        return {**raised, **(self.exception_path(number) or {})}

    def _references(self, call: Call) -> list[dict[str, Any]]:
        """Each value of the call that is a reference to an earlier record: where it is shown
        ("section": "args", "locals_at_call" or "locals_at_return" under the name "local", or
        "return_value"), what it holds, and the node of the call it points to and its name."""
        found: list[tuple[str, str | None, Reference]] = []
        sections = [("args", call.args), ("locals_at_call", _locals(call.call))]
        sections.append(("locals_at_return", _locals(call.ret)))
        for section, values in sections:
            if isinstance(values, dict):
                found.extend(
                    (section, json_key(key), value)
                    for key, value in values.items()
                    if isinstance(value, Reference)
                )
        if call.ret is not None and isinstance(call.ret.get(layout.ARG), Reference):
            found.append(("return_value", None, call.ret[layout.ARG]))
        references = []
        for section, local, reference in found:
            node = self.call_of_frame(reference.frame_id)
            name = None if node is None else self.summary(node)["name"]
            references.append(
                {
                    "section": section,
                    "local": local,
                    **reference.fields(),
                    "node": node,
                    "name": name,
                }
            )
        return references

    def call_of_frame(self, frame_id: str) -> int | None:
        """The node of the call with that frame id, if the trace holds it."""
        node = self._frames.get(frame_id)
        if node is None or self._frame_id(node) == frame_id:
            return node
        # A program value made of the same bytes came first: the records that hold the id, in
        # turn.
        wanted = msgpack.packb(frame_id)
        position = self.block.find(wanted)
        while position >= 0:
            node = bisect.bisect_right(self.offsets, position) - 1
            if self.kind[node] == _CALL and self._frame_id(node) == frame_id:
                return node
            position = self.block.find(wanted, self.offsets[node + 1])
        return None

    def _frame_id(self, node: int) -> Any:
        return self.node(node).first.get(layout.FRAME_ID)

    @functools.cached_property
    def _frames(self) -> dict[str, int]:
        """The first call node where each text follows a "frame_id" key: each call's own, read
        off the block's bytes when a reference is first followed (a program value may hold such a
        key too, so a node found is checked)."""
        frames: dict[str, int] = {}
        block, offsets = self.block, self.offsets
        position = block.find(_FRAME_ID_KEY)
        while position >= 0:
            start = position + len(_FRAME_ID_KEY)
            text = _packed_text(block, start)
            if text is not None:
                node = bisect.bisect_right(offsets, position) - 1
                if self.kind[node] == _CALL:
                    frames.setdefault(text, node)
            position = block.find(_FRAME_ID_KEY, start)
        return frames

    def _stopped(self) -> dict[str, Any] | None:
        """Where recording stopped, when the trace reached its budget: the first such record."""
        for number in _find(self._name_text, self._name_starts, layout.STOPPED, len(self.kind)):
            if self.kind[number] == _EVENT:
                event = self.node(number)
                if event.type == layout.STOPPED:
                    thread = self.header["threads"][self.thread[number]]["name"]
                    return {"node": number, "thread": thread, "text": stop_text(event.record)}
        return None

    def _call_site(self, number: int, record: dict[str, Any]) -> dict[str, Any] | None:
        """The line of the calling function, and its node when the caller is in the tree."""
        site = record.get(layout.CALL_SITE)
        if not isinstance(site, dict):
            return None
        caller = site.get(layout.CALLER_FRAME_ID)
        node = self.parent[number]
        while node >= 0 and self.kind[node] == _CALL:
            if self.node(node).first.get(layout.FRAME_ID) == caller:
                break
            node = self.parent[node]
        found = node >= 0 and self.kind[node] == _CALL
        return {
            "frame_id": jsonable(caller),
            "line": jsonable(site.get(layout.CALLER_LINE)),
            "node": node if found else None,
            "name": self.summary(node)["name"] if found else None,
        }

    def _time(self, record: dict[str, Any] | None) -> float | None:
        """Seconds since the trace's first record."""
        return self._seconds(None if record is None else record.get(layout.TIMESTAMP))

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

    @functools.cached_property
    def _lowered(self) -> bytes:
        """The block in lowercase, made for the first search by value."""
        return self.block.lower()

    def _value_candidates(self, needle: str) -> Iterator[int]:
        """Nodes whose packed bytes hold the needle (the bytes hold keys and lengths too), and
        the nodes that may refer to their values (their bytes hold such a node's frame id), in
        order."""
        if "\ufffd" in needle:  # stands for bytes that were not UTF-8, which the block keeps
            yield from range(len(self.kind))
            return
        holding = set(self._holding(needle.encode("utf-8", "surrogatepass").lower()))
        referring: set[int] = set()
        for number in holding:
            frame_id = self._frame_id(number) if self.kind[number] == _CALL else None
            if isinstance(frame_id, str):
                referring.update(self._holding(frame_id.encode("utf-8", "replace").lower()))
        yield from sorted(holding | referring)

    def _holding(self, wanted: bytes) -> Iterator[int]:
        """Nodes whose lowercase packed bytes hold `wanted`."""
        position = self._lowered.find(wanted)
        while position >= 0:
            number = bisect.bisect_right(self.offsets, position) - 1
            yield number
            position = self._lowered.find(wanted, self.offsets[number + 1])

    def function_table(self) -> list[dict[str, Any]]:
        if not self._recursion_counted:
            self._recursion_counted = True
            self._leave_out_recursive_calls()
        return [
            {"name": name, "file": file, "calls": calls, "total": total, "own": own}
            for (name, file), (calls, total, own) in self.functions.items()
        ]

    def _leave_out_recursive_calls(self) -> None:
        """Takes the calls made inside a call of the same function off its total time, which
        the outermost call holds already (fib's total is then the time fib took)."""
        for thread in range(len(self.header["threads"])):
            stack: list[tuple[int, frozenset[str]]] = [
                (child, frozenset()) for child in self.children.get(thread, [])
            ]
            while stack:
                node, outer = stack.pop()
                if self.kind[node] != _CALL:
                    continue
                function = self.searchable("name", node).rpartition(":")[0]
                if function in outer:
                    call = self.node(node)
                    figures = self.functions.get((call.name, split_path(call.path)[0]))
                    if figures is not None and call.duration is not None:
                        figures[1] -= call.duration
                else:
                    outer = outer | {function}
                stack.extend((child, outer) for child in self.children.get(node, []))

    def timeline(self) -> dict[str, Any]:
        """Each thread's calls as bars nested by depth, with their start and duration in seconds
        from the trace's start, and the end of the latest."""
        lanes = []
        end = 0.0
        for thread in self.header["threads"]:
            # An asyncio task's coroutine has a lane of its own, under its thread's.
            children = self.children.get(thread["id"], [])
            tasks = [n for n in children if n in self.steps.started_from]
            sections = [(thread["name"], [n for n in children if n not in self.steps.started_from])]
            sections += [(f"{thread['name']} · task {self.steps.task[n]}", [n]) for n in tasks]
            for name, tops in sections:
                bars: list[dict[str, Any]] = []
                self._bars(tops, 0, bars)
                end = max([end, *(bar["start"] + (bar["dur"] or 0) for bar in bars)])
                lanes.append({"thread": name, "bars": bars})
        return {"end": end, "lanes": lanes}

    def _bars(self, children: list[int], depth: int, bars: list[dict[str, Any]]) -> None:
        if depth > TIMELINE_DEPTH or len(bars) > TIMELINE_BARS:
            return
        for child in children[:TIMELINE_CHILDREN]:
            if self.kind[child] != _CALL:
                continue
            summary = self.summary(child)
            if summary["start"] is None:
                continue
            bar = {key: summary[key] for key in ("id", "name", "start", "dur")}
            bars.append({**bar, "depth": depth})
            if summary["kids"]:
                self._bars(self.children[child], depth + 1, bars)

    def calls_in_order(self, threads: list[int] | None = None) -> Iterator[tuple[int, int]]:
        """(node, depth) of every call of the threads (default: all), as `walk` gives them."""
        return ((node, depth) for node, depth in self.walk(threads) if self.kind[node] == _CALL)

    def searchable(self, by: str, number: int) -> str:
        """The text a search by "name" or "value" looks into for one node, in lowercase."""
        if by == "name":
            starts = self._name_starts
            end = starts[number + 1] - 1 if number + 1 < len(starts) else len(self._name_text)
            return self._name_text[starts[number] : end]
        if self.kind[number] == _THREAD:
            return ""
        if self.kind[number] == _EVENT:
            return value_text(self.node(number).data).lower()
        call = self.node(number)
        values = [call.args, _locals(call.call), _locals(call.ret)]
        if call.ret is not None:
            values.append(call.ret.get(layout.ARG))
        return "\n".join(value_text(self._resolved(value)) for value in values).lower()

    def _resolved(self, value: Any) -> Any:
        """The value with the references at its top (itself, or a local's value) replaced by
        the values they refer to, where the trace holds them."""
        if isinstance(value, Reference):
            return self.referred(value)
        if isinstance(value, dict) and any(isinstance(v, Reference) for v in value.values()):
            return {
                k: self.referred(v) if isinstance(v, Reference) else v for k, v in value.items()
            }
        return value

    def referred(self, reference: Reference) -> Any:
        """The value the reference stands for, where the trace holds it; else the reference."""
        node = self.call_of_frame(reference.frame_id)
        if node is None:
            return reference
        call = self.node(node)
        record = call.call if reference.event == "call" else call.ret
        value = None if record is None else record.get(reference.field)
        if reference.field == "locals":
            value = value.get(reference.key) if isinstance(value, dict) else None
        return reference if value is None or isinstance(value, Reference) else value


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


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float))


_unpack = unpack


def _packed_text(block: bytes, start: int) -> str | None:
    """The str value packed at `start`, if one is."""
    code = block[start] if start < len(block) else 0
    if 0xA0 <= code <= 0xBF:
        begin, length = start + 1, code & 0x1F
    elif 0xD9 <= code <= 0xDB:
        width = 1 << (code - 0xD9)
        begin, length = (
            start + 1 + width,
            int.from_bytes(block[start + 1 : start + 1 + width], "big"),
        )
    else:
        return None
    return block[begin : begin + length].decode("utf-8", "replace")


def _locals(record: dict[str, Any] | None) -> Any:
    return None if record is None else record.get(layout.LOCALS)


def value_text(value: Any) -> str:
    """The texts inside a value, one per line: keys, strings and the repr of the rest; of a
    reference, its class's name alone (its frame id is none of the program's text)."""
    parts: list[str] = []
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, Reference):
            parts.append(item.class_name)
        elif is_unreadable(item):
            parts.append(UNREADABLE_TEXT)
        elif isinstance(item, dict):
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


def _raised_fields(record: dict[str, Any]) -> dict[str, Any]:
    line = record.get(layout.EXCEPTION_LINE)
    return {
        "type": _text_or_none(record.get(layout.EXCEPTION_TYPE)),
        "message": _text_or_none(record.get(layout.EXCEPTION_MESSAGE)),
        "line": line if isinstance(line, int) and not isinstance(line, bool) else None,
    }


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) else None


def _raised_on(file: str, line: int | None, ret: dict[str, Any] | None) -> int | None:
    """The line when the frame ended on a raise statement: by the exception it raised. A return
    record looks the same whether the frame returned None or ended by an exception, and keeps no
    exception, so the line's source is what tells; an exception passing up from a callee goes
    unseen."""
    if ret is None or ret.get(layout.ARG) is not None:
        return None
    around = source_lines(file, line)
    if around is None or line is None:
        return None
    text = around["lines"][line - around["first"]].lstrip()
    return line if re.match(r"raise\b", text) else None


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


def _function_figures(callees: list[tuple[str, str, int, float, float]]) -> dict[Any, list[Any]]:
    """[calls, total, own] per (function, file). A generator or coroutine resumed starts again at
    the line it stopped at, past its first line: only what starts at its first line is a call."""
    figures: dict[tuple[str, str], list[Any]] = {}
    first_lines: dict[tuple[str, str], int] = {}
    for name, path, calls, total, own in callees:
        file, line = split_path(path)
        key = (name, file)
        entry = figures.setdefault(key, [0, 0.0, 0.0])
        entry[1] += total
        entry[2] += own
        line = line or 0
        first = first_lines.get(key)
        if first is None or line < first:
            first_lines[key] = line
            entry[0] = calls
        elif line == first:
            entry[0] += calls
    return figures
