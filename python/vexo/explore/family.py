"""A trace's family: the trace of the process that started its process, and the traces of the
processes its process started, as `vexo traces` and `vexo show` print them."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence

from vexo.db import TraceSummary

__all__ = ["family_lines", "in_family_order", "source_text", "with_family"]

_INDENT = "  "


def in_family_order(summaries: Sequence[TraceSummary]) -> list[tuple[TraceSummary, int]]:
    """The listing with each trace placed under the trace that started its process, with its
    depth there. A trace whose parent is not in the listing keeps its place, at depth 0; every
    trace appears once, even when stored links go round in a circle."""
    listed = {summary.trace_id for summary in summaries}
    children: dict[str, list[TraceSummary]] = {}
    roots = []
    for summary in summaries:
        parent = summary.parent_trace_id
        if parent in listed and parent != summary.trace_id:
            children.setdefault(parent, []).append(summary)
        else:
            roots.append(summary)
    ordered: list[tuple[TraceSummary, int]] = []
    placed: set[str] = set()
    for top in [*roots, *summaries]:  # then those on a circle of links, from their own place
        stack = [(top, 0)]
        while stack:
            summary, depth = stack.pop()
            if summary.trace_id in placed:
                continue
            placed.add(summary.trace_id)
            ordered.append((summary, depth))
            below = children.get(summary.trace_id, [])
            stack.extend((child, depth + 1) for child in reversed(below))
    return ordered


def source_text(summary: TraceSummary, depth: int, listed: set[str]) -> str:
    """The source column: indented under its parent, or naming a parent that is not listed."""
    source = summary.source or "?"
    if depth:
        return _INDENT * depth + source
    if summary.parent_trace_id and summary.parent_trace_id not in listed:
        return f"{source} (started by {summary.parent_trace_id})"
    return source


def family_lines(trace_id: str, summaries: Iterable[TraceSummary]) -> list[str]:
    """The header lines of `vexo show` that name a trace's parent and its children."""
    by_id = {summary.trace_id: summary for summary in summaries}
    shown = by_id.get(trace_id)
    lines = []
    if shown is not None and shown.parent_trace_id:
        parent = by_id.get(shown.parent_trace_id)
        where = "not stored" if parent is None else parent.source or "?"
        lines.append(f"  parent   {shown.parent_trace_id}  {where}")
    children = [s for s in by_id.values() if s.parent_trace_id == trace_id != s.trace_id]
    for child in sorted(children, key=lambda summary: summary.stored_at):
        lines.append(f"  child    {child.trace_id}  {child.source or '?'}")
    return lines


def with_family(lines: Iterable[str], family: list[str]) -> Iterator[str]:
    """The lines of `vexo show` with the family's lines at the end of the trace's header (the
    first blank line)."""
    pending = bool(family)
    for line in lines:
        if pending and not line:
            yield from family
            pending = False
        yield line
    if pending:
        yield from family
