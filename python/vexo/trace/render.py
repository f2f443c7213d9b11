"""A whole trace as text (`vexo show`) and as JSON (`vexo show --json`).

The tree is walked in the trace's index, one node's records unpacked at a time, so showing a
trace holds no more than the index does.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from vexo.common import layout
from vexo.trace.model import Event
from vexo.trace.subject import subject_lines
from vexo.trace.text import jsonable, node_text, split_path, time_text
from vexo.values.unpack import Reference

if TYPE_CHECKING:
    from vexo.trace.index import TraceIndex
    from vexo.trace.tree import Trace

__all__ = ["dump_json", "referred_values", "render_text", "to_json"]

_INDENT = "  "


def render_text(trace: Trace, steps: bool = False) -> Iterator[str]:
    """The trace as lines of text: a header, then each thread's call tree, with a generator or
    coroutine as one call, and each of its resumed steps too with `steps`."""
    yield f"trace {trace.trace_id}"
    if trace.source:
        yield f"  source   {trace.source}"
    yield from subject_lines(trace.index.header)
    if trace.started_at is not None:
        yield f"  started  {time_text(trace.started_at)}"
    if trace.command_line_args:
        yield f"  command  {' '.join(trace.command_line_args)}"
    if trace.commit:
        yield f"  commit   {trace.commit}"
    yield f"  records  {trace.records}"
    index = trace.index
    resolve = referred_values(index)
    threads = index.header["threads"]
    if not threads:
        yield ""
        yield "(no records)"
    for thread in threads:
        yield ""
        native = "" if thread["native_id"] is None else f" (native id {thread['native_id']})"
        yield f"thread {thread['name']}{native}"
        for number, depth in index.walk([thread["id"]], steps=steps):
            if not index.folded(number):
                yield _INDENT * depth + _line(index, number, resolve)


def _line(index: TraceIndex, number: int, resolve: Callable[[Any], Any]) -> str:
    node = index.node(number)
    if isinstance(node, Event):
        return node_text(node, resolve)
    return node_text(
        node,
        resolve,
        index.raised(number),
        last=index.last_step(number),
        duration=index.duration(number),
        **index.step_fields(number),
    )


def referred_values(index: TraceIndex) -> Callable[[Any], Any]:
    """A function that gives, for a reference to an earlier record of the trace, the value that
    record shows (the same, since the object did not change); any other value as it is."""
    return lambda value: index.referred(value) if isinstance(value, Reference) else value


def to_json(trace: Trace) -> dict[str, Any]:
    """The trace as JSON-ready data: the same tree, with the values in full."""
    index = trace.index
    return {
        **_json_header(index),
        "threads": [
            {**_json_thread(index, thread), "calls": _json_nodes(index, thread)}
            for thread in range(len(index.header["threads"]))
        ],
    }


def dump_json(trace: Trace, write: Callable[[str], Any]) -> None:
    """Writes what `to_json` gives as JSON text, however deep the calls nest (the json module
    would recurse once per level)."""
    index = trace.index
    write(json.dumps(_json_header(index))[:-1] + ', "threads": [')
    for thread in range(len(index.header["threads"])):
        text = json.dumps(_json_thread(index, thread))[:-1]
        write((", " if thread else "") + text + ', "calls": ')
        _dump_nodes(index, thread, write)
        write("}")
    write("]}")


def _dump_nodes(index: TraceIndex, thread: int, write: Callable[[str], Any]) -> None:
    write("[")
    written = [False]  # per open list, outermost first: whether it holds a node yet
    for number, depth in index.walk([thread]):
        if index.folded(number):
            continue
        while len(written) > depth:
            written.pop()
            write("]}")  # a call's "children" list, and the call
        text = (", " if written[-1] else "") + json.dumps(_json_node(index, number))
        written[-1] = True
        if index.children.get(number):
            write(text[: -len("]}")])  # leaves the node's "children" list open
            written.append(False)
        else:
            write(text)
    write("]}" * (len(written) - 1) + "]")


_HEADER_FIELDS = (
    "trace_id", "source", "version", "started_at", "command_line_args", "commit", "records",
    "kind", "name", "outcome", "failed", "status", "error",
)  # fmt: skip


def _json_header(index: TraceIndex) -> dict[str, Any]:
    return {key: index.header[key] for key in _HEADER_FIELDS}


def _json_thread(index: TraceIndex, thread: int) -> dict[str, Any]:
    entry = index.header["threads"][thread]
    return {
        "name": entry["name"],
        "native_id": entry["native_id"],
        "records": index.thread_records[thread],
    }


def _json_nodes(index: TraceIndex, thread: int) -> list[dict[str, Any]]:
    result: list[dict[str, Any]] = []
    targets = [result]  # per open level, outermost first: the list its nodes go into
    for number, depth in index.walk([thread]):
        if index.folded(number):
            continue
        del targets[depth:]
        entry = _json_node(index, number)
        targets[-1].append(entry)
        if index.children.get(number):
            targets.append(entry["children"])
    return result


def _json_node(index: TraceIndex, number: int) -> dict[str, Any]:
    node = index.node(number)
    if isinstance(node, Event):
        record = node.record
        return {
            "kind": "event",
            "type": node.type,
            "frame_id": record.get(layout.FRAME_ID),
            "timestamp": jsonable(record.get(layout.TIMESTAMP)),
            "call_site": jsonable(record.get(layout.CALL_SITE)),
            "data": jsonable(node.data),
        }
    first = node.first
    last = index.last_step(number)
    file, line = split_path(node.path)
    return {
        "kind": "call",
        "name": node.name,
        "qualname": first.get(layout.QUALNAME),
        "co_name": first.get(layout.CO_NAME),
        "file": file,
        "line": line,
        "frame_id": first.get(layout.FRAME_ID),
        "args": jsonable(node.args),
        "return": jsonable(last.ret.get(layout.ARG)) if last.ret is not None else None,
        "returned": last.ret is not None,
        "raised": index.raised(number),
        **index.step_fields(number),
        "start": jsonable(node.call.get(layout.TIMESTAMP)) if node.call is not None else None,
        "end": jsonable(last.ret.get(layout.TIMESTAMP)) if last.ret is not None else None,
        "duration": index.duration(number),
        "call_site": jsonable(first.get(layout.CALL_SITE)),
        "children": [],
    }
