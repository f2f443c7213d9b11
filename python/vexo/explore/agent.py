"""What `vexo mcp` answers a coding agent, as JSON-ready data: the stored traces, the story of a
failure, values searched for, one call's values in full, and a failed test beside its last passing
run. Each answer is read as `vexo traces`, `vexo show` and `vexo compare` read the store, and
kept within a budget of bytes with a cursor for the rest.

The program's values are data: they sit in fields of their own (short texts as `vexo show`
prints them, or whole as JSON where asked for) and never inside a sentence of ours, so text in a
value cannot pass for the answer's own words. Messages of errors name only what the client gave.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any

from vexo import db
from vexo.common import layout
from vexo.explore.compare import compare
from vexo.explore.serve import TraceCache
from vexo.store.locations import shown
from vexo.trace.index import TraceIndex
from vexo.trace.model import Call
from vexo.trace.render import referred_values
from vexo.trace.summary import KINDS, OUTCOMES, failed, kind_of
from vexo.trace.text import json_key, jsonable, short, split_path

__all__ = [
    "DEFAULT_BYTES",
    "Unanswerable",
    "call_values",
    "compared_with_last_passing",
    "failure_story",
    "searched_values",
    "trace_list",
]

DEFAULT_BYTES = 20000
SMALLEST_BUDGET = 256
# How many of the calls a frame made before the exception passed through it are told: the
# last ones, enough to see what led there.
CALLS_BEFORE = 5
# At most this many traces are listed, or searched, per question.
MOST_TRACES = 1000
# A search across traces looks into this many of the newest by default, and keeps at most this
# many matches to page through.
SEARCHED_TRACES = 20
MATCHES_KEPT = 500


class Unanswerable(Exception):
    """A question that cannot be answered (a bad id, filter, cursor or budget), in one line."""


# Listing


def trace_list(
    location: str,
    *,
    run: str | None = None,
    kind: str | None = None,
    outcome: str | None = None,
    failed_only: bool = False,
    test: str | None = None,
    limit: int = 20,
    cursor: str | None = None,
    max_bytes: int = DEFAULT_BYTES,
) -> dict[str, Any]:
    """The stored traces that pass the filters, newest first, as `vexo traces` lists them."""
    if kind is not None and kind not in KINDS:
        raise Unanswerable(f"kind must be one of {', '.join(KINDS)}")
    if outcome is not None and not _is_outcome(outcome):
        raise Unanswerable(
            "outcome must be passed, failed, error or skipped (a test's), or a status code"
        )
    _check_count("limit", limit, MOST_TRACES)
    start = _offset(cursor)
    run_id = db.asked_run_id(location, run)
    filters = {
        "run_id": run_id, "kind": kind, "outcome": outcome, "failed": failed_only, "test": test,
    }  # fmt: skip
    total = db.count_traces(location, **filters)
    if total == 0 and run_id is not None and db.count_traces(location, run_id=run_id) == 0:
        raise Unanswerable(f"no traces of run {run_id} in {shown(location)}")
    rows = db.list_traces(location, limit=limit, offset=start, **filters)
    head = {"total": total, "run_id": run_id}
    return _page(head, "traces", [_listed(row) for row in rows], start, total, max_bytes)


def _is_outcome(outcome: str) -> bool:
    return outcome in OUTCOMES or (len(outcome) == 3 and outcome.isdigit())


def _listed(row: db.TraceSummary) -> dict[str, Any]:
    kind = kind_of(row.source)
    name = row.source.split(" ", 1)[1] if kind == "test" and row.source else row.source
    return {
        "trace_id": row.trace_id,
        "stored_at": row.stored_at,
        "kind": kind,
        "name": name,
        "source": row.source,
        "outcome": row.outcome,
        "failed": failed(row.outcome),
        "records": row.record_count,
        "size": row.size,
        "run_id": row.run_id,
        "parent_trace_id": row.parent_trace_id,
    }


# A failure's story


def failure_story(
    location: str,
    trace_id: str | None = None,
    *,
    cursor: str | None = None,
    max_bytes: int = DEFAULT_BYTES,
) -> dict[str, Any]:
    """What happened in a failed test or request (default: the newest): the exception, the
    frames it left from where it was raised outwards, each with its arguments and the calls it
    made just before."""
    trace_id, index = _trace(location, trace_id, last_failed=True)
    escaped = _escaped_call(index)
    path = None if escaped is None else index.exception_path(escaped)
    frames = [] if path is None else [frame["node"] for frame in path["frames"]]
    exception = None if not frames else index.raised(frames[0])
    resolve = referred_values(index)
    items = []
    for place, frame in enumerate(frames):
        inner = frames[place - 1] if place else None
        entry = _call_fields(index, frame, resolve)
        entry["passed_on_line"] = path["frames"][place]["line"] if path else None
        entry["calls_before"] = [
            _call_fields(index, node, resolve) for node in _calls_before(index, frame, inner)
        ]
        items.append(entry)
    head = {
        "trace": _subject(index),
        "exception": exception,
        "caught_in": None if path is None else path["caught_in"],
    }
    return _paged(head, "frames", items, cursor, max_bytes)


def _escaped_call(index: TraceIndex) -> int | None:
    """The outermost call that the trace's failure left: the last of the threads' own calls
    left by an exception, the main thread's first."""
    for thread in range(len(index.header["threads"])):
        for node in reversed(index.children.get(thread, [])):
            if index.kind[node] == "call" and index.raised(node) is not None:
                return node
    return None


def _calls_before(index: TraceIndex, frame: int, inner: int | None) -> list[int]:
    """The last calls the frame made before it called `inner` (or, where the exception was
    raised, before it ended), in the order made."""
    calls = [node for node in index.children.get(frame, []) if index.kind[node] == "call"]
    if inner is not None and inner in calls:
        calls = calls[: calls.index(inner)]
    return calls[-CALLS_BEFORE:]


def _call_fields(index: TraceIndex, node: int, resolve: Callable[[Any], Any]) -> dict[str, Any]:
    """One call in short: where it is, and its values as `vexo show` prints them."""
    call = index.node(node)
    assert isinstance(call, Call)
    file, line = split_path(call.path)
    raised = index.raised(node)
    ret = None
    if call.ret is not None and raised is None:
        ret = short(resolve(call.ret.get(layout.ARG)))
    return {
        "node": node,
        "name": call.name,
        "file": file,
        "line": line,
        "args": None if call.args is None else _short_values(call.args, resolve),
        "returned": call.ret is not None and raised is None,
        "return": ret,
        "raised": raised,
    }


def _short_values(values: dict[Any, Any], resolve: Callable[[Any], Any]) -> dict[str, str]:
    return {json_key(key): short(resolve(value)) for key, value in values.items()}


_SUBJECT_FIELDS = (
    "trace_id", "kind", "name", "outcome", "failed", "status", "error", "source", "started_at",
    "commit", "records",
)  # fmt: skip


def _subject(index: TraceIndex) -> dict[str, Any]:
    """What the trace is of and how it ended."""
    return {key: index.header[key] for key in _SUBJECT_FIELDS}


# Search


def searched_values(
    location: str,
    text: str,
    trace_id: str | None = None,
    *,
    traces: int = SEARCHED_TRACES,
    cursor: str | None = None,
    max_bytes: int = DEFAULT_BYTES,
) -> dict[str, Any]:
    """The calls whose arguments, locals or return value hold the text (ignoring case), in one
    trace or in the newest `traces` stored."""
    if not text:
        raise Unanswerable("text must not be empty")
    _check_count("traces", traces, MOST_TRACES)
    if trace_id is not None:
        ids = [db.full_trace_id(location, trace_id)]
    else:
        ids = [row.trace_id for row in db.list_traces(location, limit=traces)]
    matches: list[dict[str, Any]] = []
    for searched in ids:
        index = _index(location, searched)
        resolve = referred_values(index)
        found = index.search(text, by="value", limit=MATCHES_KEPT - len(matches))
        for result in found["results"]:
            if result.get("folded"):
                continue  # an exception's record, which its call's entry shows
            if index.kind[result["id"]] == "call":
                matches.append({"trace_id": searched, **_call_fields(index, result["id"], resolve)})
            else:
                event = {"node": result["id"], "kind": "event", "name": result["name"]}
                matches.append({"trace_id": searched, **event})
        if len(matches) >= MATCHES_KEPT:
            break
    head = {"text": text, "traces_searched": len(ids), "cut": len(matches) >= MATCHES_KEPT}
    return _paged(head, "matches", matches, cursor, max_bytes)


# One call


def call_values(
    location: str,
    trace_id: str,
    node: int,
    *,
    cursor: str | None = None,
    max_bytes: int = DEFAULT_BYTES,
) -> dict[str, Any]:
    """Everything recorded of one call (or event), its values whole, one per entry: the
    arguments, the locals when it ended, and its return value."""
    trace_id, index = _trace(location, trace_id)
    if not 0 <= node < len(index) or index.kind[node] == "thread":
        raise Unanswerable(f"no call or event {node} in trace {trace_id}")
    resolve = referred_values(index)
    record = index.node(node)
    head: dict[str, Any] = {"trace_id": trace_id, "node": node, "path": index.path(node)}
    if isinstance(record, Call):
        file, line = split_path(record.path)
        exception = index.exception_detail(node)
        returned = record.ret is not None and exception is None
        head.update(name=record.name, file=file, line=line, returned=returned)
        head["exception"] = exception
        # The arguments are the locals it was entered with.
        values = _entries("args", record.args, resolve)
        values += _entries("locals_at_return", _locals(record.ret), resolve)
        if returned:
            value = jsonable(resolve(record.ret.get(layout.ARG)))
            values.append({"section": "return", "name": None, "value": value})
    else:
        head.update(name=record.type, kind="event")
        values = _entries("data", record.data, resolve)
    return _paged(head, "values", values, cursor, max_bytes)


def _locals(record: dict[str, Any] | None) -> Any:
    return None if record is None else record.get(layout.LOCALS)


def _entries(section: str, values: Any, resolve: Callable[[Any], Any]) -> list[dict[str, Any]]:
    if not isinstance(values, dict):
        return []
    return [
        {"section": section, "name": json_key(key), "value": jsonable(resolve(value))}
        for key, value in values.items()
    ]


# Comparison


def compared_with_last_passing(
    location: str,
    trace_id: str | None = None,
    *,
    cursor: str | None = None,
    max_bytes: int = DEFAULT_BYTES,
) -> dict[str, Any]:
    """A failed test or request (default: the newest) beside the newest passing run of the same
    one stored before it, as `vexo compare --last-passing` gives it: where their calls part, and
    the values that differ at matching calls."""
    left_id, left = _trace(location, trace_id, last_failed=True)
    passing = db.last_passing(location, left_id)
    if passing is None:
        raise Unanswerable(f"no passing run of the trace {left_id} stored before it")
    _, right = _trace(location, passing.trace_id)
    compared = compare(left, right)
    first = compared["first_difference"]
    rows = compared["rows"]
    head = {
        "left": _subject(left),
        "right": _subject(right),
        "calls": compared["calls"],
        "cut": compared["cut"],
        "first_difference": None if first is None else {
            "position": first,
            "row": rows[first] if first < len(rows) else None,
        },
    }  # fmt: skip
    differences = compared["value_differences"]
    return _paged(head, "value_differences", differences, cursor, max_bytes)


# Reading traces


def _trace(
    location: str, trace_id: str | None, *, last_failed: bool = False
) -> tuple[str, TraceIndex]:
    """(id, index) of the trace asked for, as `vexo show` takes it."""
    trace_id = db.asked_trace_id(location, trace_id, last_failed=last_failed)
    return trace_id, _index(location, trace_id)


def _index(location: str, trace_id: str) -> TraceIndex:
    """The trace's index, built once while the explorer's budget keeps it: an agent pages
    through one trace after another."""
    cache = _caches.get(location)
    if cache is None:
        cache = _caches.setdefault(location, TraceCache(location, build=_read_index))
    return cache.get(trace_id)


def _read_index(location: str, trace_id: str) -> TraceIndex:
    return TraceIndex(db.load_trace(location, trace_id))


_caches: dict[str, TraceCache] = {}


# Budgets and cursors


def _paged(
    head: dict[str, Any], key: str, items: list[Any], cursor: str | None, max_bytes: int
) -> dict[str, Any]:
    """The head with as many of the items from the cursor on as fit in `max_bytes`."""
    offset = _offset(cursor)
    return _page(head, key, items[offset:], offset, len(items), max_bytes)


def _page(
    head: dict[str, Any], key: str, page: list[Any], start: int, total: int, max_bytes: int
) -> dict[str, Any]:
    """The head with as many items of the page (those from `start` on of `total`) as fit in
    `max_bytes`, the answer taken as compact UTF-8 JSON, and the cursor of the next ones (None
    when none is left)."""
    if max_bytes < SMALLEST_BUDGET:
        raise Unanswerable(f"max_bytes must be at least {SMALLEST_BUDGET}")
    answer = {**head, key: [], "next_cursor": str(total)}
    size = _size(answer) + 1  # the cursor may be null instead, one character longer
    if size > max_bytes:
        raise Unanswerable(f"max_bytes {max_bytes} is too small: the answer needs {size}")
    taken = []
    for item in page:
        item_size = _size(item) + 1  # and its comma
        if size + item_size > max_bytes:
            if not taken:
                raise Unanswerable(
                    f"max_bytes {max_bytes} is too small: the next of the {key} needs"
                    f" {size + item_size}"
                )
            break
        taken.append(item)
        size += item_size
    following = start + len(taken)
    answer[key] = taken
    answer["next_cursor"] = str(following) if following < total else None
    return answer


def _size(value: Any) -> int:
    return len(json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode())


def _offset(cursor: str | None) -> int:
    if cursor is None:
        return 0
    if not cursor.isdigit():
        raise Unanswerable("cursor must be a next_cursor given by an earlier answer")
    return int(cursor)


def _check_count(name: str, value: int, most: int) -> None:
    if not 1 <= value <= most:
        raise Unanswerable(f"{name} must be from 1 to {most}")
