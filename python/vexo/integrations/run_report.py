"""A test run's report for CI (`pytest --vexo-report`, `--vexo-summary`): the traces of its failed
tests as one HTML file, the one-file explorer, and a short Markdown summary for a CI job's summary
page telling of each failed test its exception, where it was raised and the calls that led there.

Every recorded text in the summary (node ids too: a parametrized test's id holds its values) goes
into code spans and code blocks fenced longer than any run of backticks it holds, so no value can
become markup, a link or an image on the page that shows it.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

from vexo.db import count_traces, list_traces, load_trace
from vexo.explore.html import render_html
from vexo.trace.index import TraceIndex
from vexo.trace.render import referred_values
from vexo.trace.text import node_text, raised_text

__all__ = ["run_traces", "summary_markdown", "write_file", "html_report"]

# What the summary tells at most: failed tests in full, frames of one exception's path, earlier
# calls under each frame.
_TESTS_TOLD = 20
_FRAMES_TOLD = 8
_CALLS_BEFORE = 3
_INDENT = "  "


def run_traces(db_path: str, run_id: str, everything: bool, timeout: float) -> list[TraceIndex]:
    """The traces of the run's failed and erroring tests (or of all its tests), in the order the
    tests ended."""
    summaries = list_traces(
        db_path, run_id=run_id, kind="test", failed=not everything, timeout=timeout
    )
    return [
        TraceIndex(load_trace(db_path, summary.trace_id, timeout=timeout))
        for summary in reversed(summaries)  # listed newest first
    ]


def html_report(traces: list[TraceIndex]) -> str:
    return render_html(traces)[0]


def summary_markdown(traces: list[TraceIndex], db_path: str, run_id: str, timeout: float) -> str:
    failed = [index for index in traces if index.header["failed"]]
    tests = count_traces(db_path, run_id=run_id, kind="test", timeout=timeout)
    if not failed:
        return f"## vexo: all {tests} traced tests passed\n"
    lines = [f"## vexo: {len(failed)} of {tests} traced tests failed", ""]
    for index in failed[:_TESTS_TOLD]:
        lines += _test_story(index)
    if len(failed) > _TESTS_TOLD:
        lines.append(f"... and {len(failed) - _TESTS_TOLD} more failed tests: see the report.")
    return "\n".join(lines) + "\n"


def _test_story(index: TraceIndex) -> list[str]:
    header = index.header
    title = f"### {_code_span(header['name'] or '?')} {header['outcome'] or '?'}"
    escaped = _escaping_call(index)
    if escaped is None:
        body = ["(no exception was recorded in this test's calls)"]
    else:
        body = _exception_lines(index, escaped)
    return [title, "", *_code_block(body), "", f"trace {_code_span(header['trace_id'])}", ""]


def _escaping_call(index: TraceIndex) -> int | None:
    """The last call left by an exception that no recorded caller caught: the test's failure."""
    found = None
    for number, _depth in index.walk():
        if index.raised(number) is not None:
            path = index.exception_path(number)
            if path is not None and path["caught_in"] is None:
                found = number
    return found


def _exception_lines(index: TraceIndex, escaped: int) -> list[str]:
    path = index.exception_path(escaped)
    assert path is not None
    frames = path["frames"]  # innermost first
    inner = frames[0]
    where = f"{inner['file']} line {inner['line']}" if inner["line"] else inner["file"]
    lines = [
        raised_text(index.raised(escaped)) or "exception",
        f"{_INDENT}raised in {inner['name']}, {where}",
        "",
        "the calls that led there:",
    ]
    chain = [frame["node"] for frame in reversed(frames)][-_FRAMES_TOLD:]
    resolve = referred_values(index)
    for depth, number in enumerate(chain):
        lines.append(_INDENT * depth + node_text(index.node(number), resolve, index.raised(number)))
        following = chain[depth + 1] if depth + 1 < len(chain) else None
        earlier = _calls_before(index, number, following)
        if len(earlier) > _CALLS_BEFORE:
            lines.append(_INDENT * (depth + 1) + f"... {len(earlier) - _CALLS_BEFORE} calls")
        for call in earlier[-_CALLS_BEFORE:]:
            text = node_text(index.node(call), resolve, index.raised(call))
            lines.append(_INDENT * (depth + 1) + text)
    return lines


def _calls_before(index: TraceIndex, number: int, following: int | None) -> list[int]:
    """The calls `number` made before it called `following` (all of them without one)."""
    children = index.children.get(number, [])
    if following is not None:
        children = children[: children.index(following)]
    return [child for child in children if index.kind[child] == "call"]


def _code_span(text: str) -> str:
    text = re.sub(r"\s+", " ", text)
    ticks = "`" * (_longest_backtick_run(text) + 1)
    return f"{ticks} {text} {ticks}"


def _code_block(lines: list[str]) -> list[str]:
    fence = "`" * max(3, _longest_backtick_run("\n".join(lines)) + 1)
    return [fence + "text", *lines, fence]


def _longest_backtick_run(text: str) -> int:
    return max(map(len, re.findall("`+", text)), default=0)


def write_file(path: Path, text: str) -> None:
    """Writes the whole text or, failing, leaves no file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".partial")
    try:
        partial.write_text(text, encoding="utf-8")
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
