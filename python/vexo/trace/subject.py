"""What a trace is of, read from its document: a test by its node id and outcome, a request by its
method, path, status code and error, else the program its source names.

A test's trace begins with its "start_test" record and ends with its "end_test" record; a
request's ends with its "end_request" record (see `vexo.recording.profiler.end_request`).
Traces stored before a request's end was recorded still read: they have no status.
"""

from __future__ import annotations

from typing import Any

from vexo.common import layout
from vexo.trace.model import Event
from vexo.trace.summary import failed, kind_of

__all__ = ["subject_lines", "subject_of", "subject_title"]


def subject_of(index: Any) -> dict[str, Any]:
    """Of a `vexo.trace.index.TraceIndex`, which asks for it as it is built: kind, name (a test's
    node id, a request's "GET /path", else the source), outcome, status (a request's code) and
    error (what escaped a request), each None when unknown; failed says whether the outcome is a
    failure."""
    source = index.header["source"]
    kind = kind_of(source)
    start = _marker(index, first=True)
    end = _marker(index, first=False)
    name = source.split(" ", 1)[1] if kind == "request" and source and " " in source else source
    outcome = status = error = None
    if kind == "test":
        name = _text(start, layout.START_TEST, layout.TEST_ID) or name
        outcome = _text(end, layout.END_TEST, layout.TEST_OUTCOME)
    elif kind == "request":
        outcome = _text(end, layout.END_REQUEST, layout.TEST_OUTCOME)
        if end is not None and end.get(layout.TYPE) == layout.END_REQUEST:
            code, text = end.get(layout.REQUEST_STATUS), end.get(layout.REQUEST_ERROR)
            status = code if isinstance(code, int) and not isinstance(code, bool) else None
            error = text if isinstance(text, str) else None
    return {
        "kind": kind,
        "name": name,
        "outcome": outcome,
        "failed": failed(outcome),
        "status": status,
        "error": error,
    }


def subject_title(subject: dict[str, Any]) -> str | None:
    """One line naming the trace's test or request and how it ended: "test_x.py::test_y
    failed", "GET /orders/7 -> 500"; None for other traces."""
    kind, name = subject["kind"], subject["name"]
    if kind == "test":
        return f"{name}  {subject['outcome'] or '?'}"
    if kind == "request":
        ended = "" if subject["status"] is None else f" -> {subject['status']}"
        if subject["error"] is not None:
            ended += f" ({subject['error']})" if ended else f" -> {subject['error']}"
        return f"{name}{ended}"
    return None


def subject_lines(subject: dict[str, Any]) -> list[str]:
    """The header lines of `vexo show` that name a test or a request."""
    title = subject_title(subject)
    if title is None:
        return []
    return [f"  {subject['kind']:<8} {title}"]


def _marker(index: Any, *, first: bool) -> dict[str, Any] | None:
    """The first (or last) record of the trace when it is a marker: one of a thread's own
    events."""
    for thread in range(len(index.header["threads"])):
        roots = index.children.get(thread)
        if roots:
            number = roots[0 if first else -1]
            if index.kind[number] == "event":
                node = index.node(number)
                if isinstance(node, Event):
                    return node.record
            return None
    return None


def _text(record: dict[str, Any] | None, marker: str, field: str) -> str | None:
    if record is not None and record.get(layout.TYPE) == marker:
        value = record.get(field)
        if isinstance(value, str):
            return value
    return None
