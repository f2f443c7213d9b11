"""A trace's calls, events and values as short text and as JSON-ready data, for `vexo show`,
the explorer, export and compare."""

from __future__ import annotations

import datetime
import math
import re
from collections.abc import Callable
from typing import Any

from vexo.common import layout
from vexo.trace.model import Call, Event
from vexo.values.unpack import UNREADABLE_TEXT, Reference, is_unreadable

__all__ = [
    "args_line",
    "duration_text",
    "json_key",
    "jsonable",
    "node_text",
    "raised_text",
    "short",
    "size_text",
    "split_path",
    "stop_text",
    "time_text",
]

# repr() of an object whose class keeps object's: "<module.Name object at 0x7f...>".
_DEFAULT_REPR = re.compile(r"<(?:[\w.]+\.)?(\w+) object at 0x[0-9a-fA-F]+>")
_LINE_BREAKS = re.compile(r"\s*\n\s*")
_VALUE_WIDTH = 60
_ARGS_WIDTH = 120
_ITEMS_SHOWN = 5
_DEPTH_SHOWN = 2


def node_text(
    node: Call | Event,
    resolve: Callable[[Any], Any] = lambda value: value,
    raised: dict[str, Any] | None = None,
    *,
    last: Call | None = None,
    duration: float | None = None,
    steps: int = 0,
    step: int = 0,
    task: str | None = None,
    started_from: int | None = None,
) -> str:
    """One line for the node; `resolve` gives the values that references stand for; `raised`
    is the exception that left the call, if one did. A generator's or coroutine's logical call
    shows its last step's outcome (`last`), its time from first entry to that (`duration`) and
    its count of `steps`; a resumed `step` its number; a task's coroutine the `task`'s name."""
    if isinstance(node, Event) and node.type == layout.STOPPED:
        return f"-- recording stopped: {stop_text(node.record)}"
    if isinstance(node, Event):
        data = " ".join(f"{key}={short(value)}" for key, value in node.data.items())
        return f"* {node.type}" + (f" {data}" if data else "")
    ends = last or node
    args = node.args
    args_text = "?" if args is None else args_line({k: resolve(v) for k, v in args.items()})
    if raised is not None:
        outcome = f"!! {raised_text(raised)}"
    elif ends.ret is None:
        outcome = "-> (no return recorded)"
    else:
        outcome = f"-> {short(resolve(ends.ret.get('arg')))}"
    duration = node.duration if last is None else duration
    timing = [] if duration is None else [duration_text(duration)]
    if steps > 1:
        timing.insert(0, f"{steps} steps")
    timing_text = f"  [{', '.join(timing)}]" if timing else ""
    prefix = f"task {task}: " if task else f"step {step}: " if step else ""
    return f"{prefix}{node.name}({args_text}) {outcome}  {node.path}{timing_text}"


def raised_text(raised: dict[str, Any] | None) -> str | None:
    """The exception as "Type: message", or its type alone when it has no message."""
    if raised is None:
        return None
    name = raised.get("type") or "exception"
    message = raised.get("message")
    if not message:
        return str(name)
    # One line: pytest's assertion messages, for one, run over several.
    one_line = _LINE_BREAKS.sub(" ", message.strip())
    return f"{name}: {_cut(one_line, _ARGS_WIDTH)}"


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
