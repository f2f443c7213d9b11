"""A call tree as text (`vexo show`) and as JSON-ready data (`vexo show --json`, the explorer).

The tree is walked in the trace's index, one node's records unpacked at a time, so showing a
trace holds no more than the index does.
"""

from __future__ import annotations

import datetime
import json
import math
import re
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from vexo.trace import layout
from vexo.trace.model import Call, Event
from vexo.values.unpack import UNREADABLE_TEXT, Reference, is_unreadable

if TYPE_CHECKING:
    from vexo.trace.index import TraceIndex
    from vexo.trace.tree import Trace

__all__ = [
    "args_line",
    "dump_json",
    "duration_text",
    "json_key",
    "jsonable",
    "node_text",
    "render_text",
    "short",
    "size_text",
    "split_path",
    "stop_text",
    "time_text",
    "to_json",
]

# repr() of an object whose class keeps object's: "<module.Name object at 0x7f...>".
_DEFAULT_REPR = re.compile(r"<(?:[\w.]+\.)?(\w+) object at 0x[0-9a-fA-F]+>")
_INDENT = "  "
_VALUE_WIDTH = 60
_ARGS_WIDTH = 120
_ITEMS_SHOWN = 5
_DEPTH_SHOWN = 2


def render_text(trace: Trace) -> Iterator[str]:
    """The trace as lines of text: a header, then each thread's call tree."""
    yield f"trace {trace.trace_id}"
    if trace.source:
        yield f"  source   {trace.source}"
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
        for number, depth in index.walk([thread["id"]]):
            yield _INDENT * depth + node_text(index.node(number), resolve)


def referred_values(index: TraceIndex) -> Callable[[Any], Any]:
    """A function that gives, for a reference to an earlier record of the trace, the value that
    record shows (the same, since the object did not change); any other value as it is."""
    return lambda value: index.referred(value) if isinstance(value, Reference) else value


def node_text(node: Call | Event, resolve: Callable[[Any], Any] = lambda value: value) -> str:
    """One line for the node; `resolve` gives the values that references stand for."""
    if isinstance(node, Event) and node.type == layout.STOPPED:
        return f"-- recording stopped: {stop_text(node.record)}"
    if isinstance(node, Event):
        data = " ".join(f"{key}={short(value)}" for key, value in node.data.items())
        return f"* {node.type}" + (f" {data}" if data else "")
    args = node.args
    args_text = "?" if args is None else args_line({k: resolve(v) for k, v in args.items()})
    if node.ret is None:
        outcome = "-> (no return recorded)"
    else:
        outcome = f"-> {short(resolve(node.ret.get('arg')))}"
    duration = node.duration
    timing = "" if duration is None else f"  [{duration_text(duration)}]"
    return f"{node.name}({args_text}) {outcome}  {node.path}{timing}"


def stop_text(record: dict[str, Any]) -> str:
    """Why recording stopped, in words."""
    reason, limit = record.get(layout.STOP_REASON), record.get(layout.STOP_LIMIT)
    if reason != layout.BUDGET_REASON:
        return f"{short(reason)}; later calls are not recorded"
    if isinstance(limit, int) and not isinstance(limit, bool) and limit > 0:
        return f"the trace reached its budget of {size_text(limit)}; later calls are not recorded"
    return "the trace reached its budget; later calls are not recorded"


def size_text(count: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if count >= 1 << shift:
            return f"{count / (1 << shift):.4g} {unit}"
    return f"{count} bytes"


def args_line(args: dict[str, Any], ids: bool = True) -> str:
    text = ", ".join(f"{key}={short(value, ids=ids)}" for key, value in args.items())
    return _cut(text, _ARGS_WIDTH)


def short(value: object, width: int = _VALUE_WIDTH, ids: bool = True) -> str:
    """A value in at most `width` characters, for reading rather than for parsing. Without
    `ids`, references leave out the frame id they point to (for comparing two traces)."""
    return _cut(_compact(value, 0, ids), width)


def _compact(value: object, depth: int, ids: bool = True) -> str:
    if isinstance(value, Reference):
        return value.text(ids)
    if is_unreadable(value):
        return UNREADABLE_TEXT
    if isinstance(value, str):
        match = _DEFAULT_REPR.fullmatch(value)
        # Objects without a repr of their own are stored as their default repr text.
        return f"<{match.group(1)}>" if match else repr(value)
    if isinstance(value, (list, tuple)):
        if depth >= _DEPTH_SHOWN and value:
            return "[...]"
        items = [_compact(item, depth + 1, ids) for item in value[:_ITEMS_SHOWN]]
        if len(value) > _ITEMS_SHOWN:
            items.append("...")
        return "[" + ", ".join(items) + "]"
    if isinstance(value, dict) and _is_object(value):
        return _object_compact(value, depth, ids)
    if isinstance(value, dict):
        if depth >= _DEPTH_SHOWN and value:
            return "{...}"
        entries = [
            f"{_compact(key, depth + 1, ids)}: {_compact(item, depth + 1, ids)}"
            for key, item in list(value.items())[:_ITEMS_SHOWN]
        ]
        if len(value) > _ITEMS_SHOWN:
            entries.append("...")
        return "{" + ", ".join(entries) + "}"
    return repr(value)


def _is_object(value: dict) -> bool:
    """Whether the map is an object as the default dump stores it: "__class__" first."""
    return next(iter(value), None) == "__class__" and isinstance(value["__class__"], str)


def _object_compact(value: dict[str, Any], depth: int, ids: bool) -> str:
    """Name(attribute=value, ...), with the class's name without its module."""
    name = value["__class__"].rpartition(".")[2]
    fields = list(value.items())[1:]
    if depth >= _DEPTH_SHOWN and fields:
        return f"{name}(...)"
    shown = [f"{key}={_compact(item, depth + 1, ids)}" for key, item in fields[:_ITEMS_SHOWN]]
    if len(fields) > _ITEMS_SHOWN:
        shown.append("...")
    return f"{name}({', '.join(shown)})"


def _cut(text: str, width: int) -> str:
    return text if len(text) <= width else text[: max(width - 3, 0)] + "..."


def duration_text(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def time_text(timestamp: float) -> str:
    moment = datetime.datetime.fromtimestamp(timestamp)
    return moment.strftime("%Y-%m-%d %H:%M:%S")


# JSON


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
        while len(written) > depth:
            written.pop()
            write("]}")  # a call's "children" list, and the call
        text = (", " if written[-1] else "") + json.dumps(_json_node(index.node(number)))
        written[-1] = True
        if index.children.get(number):
            write(text[: -len("]}")])  # leaves the node's "children" list open
            written.append(False)
        else:
            write(text)
    write("]}" * (len(written) - 1) + "]")


_HEADER_FIELDS = (
    "trace_id", "source", "version", "started_at", "command_line_args", "commit", "records",
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
        del targets[depth:]
        entry = _json_node(index.node(number))
        targets[-1].append(entry)
        if index.children.get(number):
            targets.append(entry["children"])
    return result


def _json_node(node: Call | Event) -> dict[str, Any]:
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
        "return": jsonable(node.ret.get(layout.ARG)) if node.ret is not None else None,
        "returned": node.ret is not None,
        "start": jsonable(node.call.get(layout.TIMESTAMP)) if node.call is not None else None,
        "end": jsonable(node.ret.get(layout.TIMESTAMP)) if node.ret is not None else None,
        "duration": node.duration,
        "call_site": jsonable(first.get(layout.CALL_SITE)),
        "children": [],
    }


def split_path(path: str) -> tuple[str, int | None]:
    """("file", line) of a "file:line" text."""
    file, sep, line = path.rpartition(":")
    if sep and line.isdigit():
        return file, int(line)
    return path, None


def jsonable(value: object) -> Any:
    """The decoded value with what JSON cannot hold turned into text: bytes, keys that are not
    texts, and floats that are not finite. A reference is {"__ref__": {"class", "frame_id",
    "event", "field", "key"}}."""
    if isinstance(value, Reference):
        return {"__ref__": value.fields()}
    if is_unreadable(value):
        return UNREADABLE_TEXT
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, bytes):
        return repr(value)
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    if isinstance(value, dict):
        return {json_key(key): jsonable(item) for key, item in value.items()}
    return value


def json_key(key: object) -> str:
    return key if isinstance(key, str) else _compact(key, 0)
