"""`vexo export`: a trace as Chrome Trace Event JSON (for Perfetto and chrome://tracing) or as a
speedscope file with one evented profile per thread.

Both are written as a stream of events, never held whole. Times are microseconds since the
trace's first record.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from vexo.common import layout
from vexo.trace.index import TraceIndex
from vexo.trace.model import Call, Event
from vexo.trace.text import raised_text, short
from vexo.version import __version__

__all__ = ["FORMATS", "write_chrome", "write_speedscope"]

_PID = 1
_TEXT_WIDTH = 200


def write_chrome(index: TraceIndex, out: TextIO, progress: Callable[[int, int], None]) -> None:
    """One complete ("X") event per call with its arguments, return value and locals as short
    text, an instant event per plugin record, and the threads' names as metadata events."""
    out.write('{"displayTimeUnit": "ms", "traceEvents": [\n')
    events = _chrome_events(index, progress)
    out.write(json.dumps(_chrome_metadata("process_name", 0, f"vexo {index.header['source']}")))
    for event in events:
        out.write(",\n" + json.dumps(event))
    out.write("\n]}\n")


def _chrome_metadata(name: str, tid: int, value: str) -> dict[str, Any]:
    return {"name": name, "ph": "M", "pid": _PID, "tid": tid, "args": {"name": value}}


def _chrome_events(index: TraceIndex, progress: Callable[[int, int], None]) -> Iterator[Any]:
    done = 0
    for thread in index.header["threads"]:
        tid = _tid(thread)
        yield _chrome_metadata("thread_name", tid, thread["name"])
        yield {
            **_chrome_metadata("thread_sort_index", tid, ""),
            "args": {"sort_index": thread["id"]},
        }
        end = _thread_end(index, thread["id"])
        for node, _depth in index.walk([thread["id"]]):
            done += 1
            progress(done, len(index))
            if index.folded(node):
                continue  # the exception record its call's span shows
            found = index.node(node)
            if isinstance(found, Event):
                yield _chrome_instant(index, found, tid)
            elif (span := _chrome_span(index, found, tid, end, index.raised(node))) is not None:
                yield span


def _chrome_instant(index: TraceIndex, event: Event, tid: int) -> dict[str, Any]:
    return {
        "name": event.type,
        "ph": "i",
        "s": "g" if event.type == layout.STOPPED else "t",  # it concerns every thread
        "ts": _micros(index, event.record.get(layout.TIMESTAMP)),
        "pid": _PID,
        "tid": tid,
        "args": {key: short(value, _TEXT_WIDTH) for key, value in event.data.items()},
    }


def _chrome_span(
    index: TraceIndex, call: Call, tid: int, end: float | None, raised: dict[str, Any] | None
) -> dict[str, Any] | None:
    """A call's complete event, from its call to its return or else to its thread's end."""
    start = _micros(index, call.call.get(layout.TIMESTAMP)) if call.call else None
    if start is None:
        return None  # a return whose call came before the trace: no span to draw
    stop = _micros(index, call.ret.get(layout.TIMESTAMP)) if call.ret else end
    return {
        "name": call.name,
        "cat": "call",
        "ph": "X",
        "ts": start,
        "dur": max((stop if stop is not None else start) - start, 0.0),
        "pid": _PID,
        "tid": tid,
        "args": _chrome_args(call, raised),
    }


def _chrome_args(call: Call, raised: dict[str, Any] | None) -> dict[str, Any]:
    args = call.args or {}
    entry: dict[str, Any] = {
        "location": call.path,
        "frame_id": call.first.get(layout.FRAME_ID),
        "args": {str(key): short(value, _TEXT_WIDTH) for key, value in args.items()},
    }
    if call.ret is not None:
        entry["return"] = short(call.ret.get(layout.ARG), _TEXT_WIDTH)
        values = call.ret.get(layout.LOCALS)
        if isinstance(values, dict):
            entry["locals"] = {str(key): short(value, _TEXT_WIDTH) for key, value in values.items()}
    else:
        entry["return"] = "(no return recorded)"
    if raised is not None:
        del entry["return"]
        entry["raised"] = raised_text(raised)
        entry["raised_from_line"] = raised["line"]
    return entry


def write_speedscope(index: TraceIndex, out: TextIO, progress: Callable[[int, int], None]) -> None:
    """speedscope's file format: shared frames, and per thread an evented profile whose open and
    close events balance and never go back in time."""
    frames: dict[tuple[str, str, int | None], int] = {}
    profiles = [
        _speedscope_profile(index, thread, frames, progress) for thread in index.header["threads"]
    ]
    document = {
        "$schema": "https://www.speedscope.app/file-format-schema.json",
        "name": f"{index.header['source'] or 'trace'} {index.header['trace_id']}",
        "exporter": f"vexo {__version__}",
        "activeProfileIndex": 0,
        "shared": {
            "frames": [
                {"name": name, "file": file, "line": line} if line else {"name": name, "file": file}
                for name, file, line in frames
            ]
        },
        "profiles": profiles,
    }
    json.dump(document, out)
    out.write("\n")


def _speedscope_profile(
    index: TraceIndex,
    thread: dict[str, Any],
    frames: dict[tuple[str, str, int | None], int],
    progress: Callable[[int, int], None],
) -> dict[str, Any]:
    events: list[dict[str, Any]] = []
    open_calls: list[tuple[int, int, float]] = []  # (depth, frame, when it returned)
    clock = 0.0
    end = _thread_end(index, thread["id"]) or 0.0

    def close_down_to(depth: int) -> None:
        nonlocal clock
        while open_calls and open_calls[-1][0] >= depth:
            _, frame, stop = open_calls.pop()
            clock = max(clock, stop)
            events.append({"type": "C", "frame": frame, "at": clock})

    for done, (node, depth) in enumerate(index.calls_in_order([thread["id"]])):
        progress(done, len(index))
        summary = index.summary(node)
        if summary["start"] is None:
            continue
        close_down_to(depth)
        start = summary["start"] * 1e6
        clock = max(clock, start)
        # A call left by an exception is a frame of its own, named with the exception.
        name = summary["name"] + (f" !! {summary['raised']}" if summary.get("raised") else "")
        frame = frames.setdefault((name, summary["file"], summary["line"]), len(frames))
        stop = start + summary["dur"] * 1e6 if summary["dur"] is not None else end
        events.append({"type": "O", "frame": frame, "at": clock})
        open_calls.append((depth, frame, stop))
    close_down_to(0)
    return {
        "type": "evented",
        "name": f"thread {thread['name']}",
        "unit": "microseconds",
        "startValue": events[0]["at"] if events else 0,
        "endValue": clock,
        "events": events,
    }


FORMATS = {"chrome": write_chrome, "speedscope": write_speedscope}


def _thread_end(index: TraceIndex, thread: int) -> float | None:
    """The time of the thread's last record: where calls that never returned end."""
    end = index.header["threads"][thread]["end"]
    return None if end is None else end * 1e6


def _micros(index: TraceIndex, timestamp: Any) -> float | None:
    if not isinstance(timestamp, (int, float)) or index.origin is None:
        return None
    return (float(timestamp) - index.origin) * 1e6


def _tid(thread: dict[str, Any]) -> int:
    native = thread.get("native_id")
    return native if isinstance(native, int) else thread["id"]
