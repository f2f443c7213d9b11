"""Two traces side by side: their calls aligned in order, the first point where the sequences of
calls part, and the values that differ at calls that match."""

from __future__ import annotations

import difflib
from typing import Any

from vexo.common import layout
from vexo.trace.index import TraceIndex
from vexo.trace.subject import subject_title
from vexo.trace.text import args_line, raised_text, short

__all__ = ["compare", "compare_lines"]

# Aligning is quadratic at worst: beyond this many calls per trace the rest is left out (and said).
CALLS_COMPARED = 20000
ROWS_SHOWN = 3000
DIFFERENCES_SHOWN = 500


def compare(left: TraceIndex, right: TraceIndex) -> dict[str, Any]:
    every = [list(index.calls_in_order()) for index in (left, right)]
    calls = [sequence[:CALLS_COMPARED] for sequence in every]
    keys = [
        [(depth, _name(index, node)) for node, depth in sequence]
        for index, sequence in zip((left, right), calls, strict=True)
    ]
    first = next(
        (i for i, (a, b) in enumerate(zip(keys[0], keys[1], strict=False)) if a != b),
        None if len(keys[0]) == len(keys[1]) else min(len(keys[0]), len(keys[1])),
    )
    matcher = difflib.SequenceMatcher(None, keys[0], keys[1], autojunk=False)
    rows: list[dict[str, Any]] = []
    differences: list[dict[str, Any]] = []
    for tag, a_start, a_end, b_start, b_end in matcher.get_opcodes():
        for offset in range(max(a_end - a_start, b_end - b_start)):
            a = a_start + offset if a_start + offset < a_end else None
            b = b_start + offset if b_start + offset < b_end else None
            row = _row(tag, left, calls[0], a, right, calls[1], b)
            if tag == "equal" and row["left"]["text"] != row["right"]["text"]:
                row["tag"] = "values"
                if len(differences) < DIFFERENCES_SHOWN:
                    differences.append(row)
            if len(rows) < ROWS_SHOWN:
                rows.append(row)
    return {
        "left": left.header,
        "right": right.header,
        "first_difference": first,
        "rows": rows,
        "value_differences": differences,
        "calls": [len(sequence) for sequence in every],
        "cut": any(len(sequence) > CALLS_COMPARED for sequence in every),
    }


def compare_lines(compared: dict[str, Any]) -> list[str]:
    """What `compare` found, as lines of text for `vexo compare`."""
    lines = []
    for side, calls in zip(("left", "right"), compared["calls"], strict=True):
        header = compared[side]
        title = subject_title(header) or header["source"] or "?"
        lines.append(f"{side:<6} {header['trace_id']}  {title}  ({calls} calls)")
    first = compared["first_difference"]
    rows = compared["rows"]
    if first is None:
        lines.append("The calls are the same in both traces.")
    else:
        lines.append(f"The calls part at call {first + 1}:")
        if first < len(rows):
            lines.extend(_row_lines(rows[first]))
    if compared["cut"]:
        lines.append("Only the first calls of each trace were compared.")
    differences = compared["value_differences"]
    lines.append(f"Values that differ at matching calls ({len(differences)}):")
    for row in differences:
        lines.extend(_row_lines(row))
    return lines


def _row_lines(row: dict[str, Any]) -> list[str]:
    return [
        f"  {side:<6} "
        + ("-" if row[side] is None else f"{row[side]['name']}  {row[side]['text']}")
        for side in ("left", "right")
    ]


def _name(index: TraceIndex, node: int) -> str:
    return index.summary(node)["name"]


def _row(
    tag: str,
    left: TraceIndex,
    left_calls: list[tuple[int, int]],
    a: int | None,
    right: TraceIndex,
    right_calls: list[tuple[int, int]],
    b: int | None,
) -> dict[str, Any]:
    return {
        "tag": tag,
        "position": a if a is not None else b,
        "left": _side(left, left_calls, a),
        "right": _side(right, right_calls, b),
    }


def _side(index: TraceIndex, calls: list[tuple[int, int]], position: int | None) -> Any:
    if position is None:
        return None
    node, depth = calls[position]
    summary = index.summary(node)
    return {
        "id": node,
        "depth": depth,
        "name": summary["name"],
        "args": summary["args"],
        "ret": summary["ret"],
        "raised": summary["raised"],
        "text": _compared_text(index, node),
    }


def _compared_text(index: TraceIndex, node: int) -> str:
    """The call's arguments and return value as compared: as the tree shows them, but with
    references to earlier records without their frame ids, which differ from trace to trace (a
    reference and a full dump of the same object still differ)."""
    call = index.node(node)
    args = "?" if call.args is None else args_line(call.args, ids=False)
    raised = index.raised(node)
    if raised is not None:
        return f"{args} !! {raised_text(raised)}"
    ret = short(call.ret.get(layout.ARG), ids=False) if call.ret is not None else None
    return f"{args} -> {ret}"
