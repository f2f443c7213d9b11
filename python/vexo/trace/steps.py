"""Generators and coroutines as one call each, and asyncio tasks as lanes of their own.

The interpreter resumes a generator's or coroutine's frame many times, and each resumption is
recorded as a call of its own. The step record that follows a resumed step's call record names
the call of its first step; here each resumed step is moved under that first step, which then
stands for the logical call, from its first entry to its last step's return. A coroutine that an
asyncio task runs as its own (its step record names the task) becomes a lane of its thread,
remembered with the call it was started from. The stored records stay as they are: only the
index's parents and children change.
"""

from __future__ import annotations

import dataclasses
from typing import Any

from vexo.common import layout

__all__ = ["Steps", "group_steps"]


@dataclasses.dataclass
class Steps:
    of: dict[int, int] = dataclasses.field(default_factory=dict)  # resumed step -> logical call
    number: dict[int, int] = dataclasses.field(default_factory=dict)  # resumed step -> its number
    steps: dict[int, list[int]] = dataclasses.field(default_factory=dict)  # logical call -> steps
    task: dict[int, str] = dataclasses.field(default_factory=dict)  # task's coroutine -> name
    started_from: dict[int, int] = dataclasses.field(default_factory=dict)  # lane -> its caller
    records: set[int] = dataclasses.field(default_factory=set)  # the step records' nodes

    def last(self, number: int) -> int:
        """The last step of a logical call (the call itself when it has one step)."""
        steps = self.steps.get(number)
        return steps[-1] if steps else number


def group_steps(index: Any, step_records: list[int]) -> Steps:
    """Regroups the nodes of a vexo.trace.index.TraceIndex (which calls this as it is made) by
    the step records among `step_records`."""
    found = Steps()
    moves: list[tuple[int, int]] = []  # (node, new parent), in node order
    for record_node in step_records:
        record = index.records(record_node)
        if not isinstance(record, dict) or record.get(layout.TYPE) != layout.STEP:
            continue
        found.records.add(record_node)
        step = index.parent[record_node]
        task = record.get(layout.TASK)
        if isinstance(task, str):
            found.task[step] = task
        first = record.get(layout.FIRST_FRAME_ID)
        number = record.get(layout.STEP_NUMBER)
        if not isinstance(first, str) or not isinstance(number, int) or number < 2:
            continue
        logical = index.call_of_frame(first)
        if logical is None or logical >= step or index.thread[logical] != index.thread[step]:
            continue  # its first step is not in this trace: the step stands alone
        found.of[step] = logical
        found.number[step] = number
        found.steps.setdefault(logical, [logical]).append(step)
        moves.append((step, logical))
        exception = index.exception_node(step)
        if exception is not None:
            moves.append((exception, logical))
    for logical in found.task:
        if logical not in found.of:
            found.started_from[logical] = index.parent[logical]
            moves.append((logical, index.thread[logical]))
    _move(index, moves)
    return found


def _move(index: Any, moves: list[tuple[int, int]]) -> None:
    """Gives each node its new parent, keeping every list of children in node order."""
    if not moves:
        return
    leaving: dict[int, set[int]] = {}
    arriving: dict[int, list[int]] = {}
    for node, parent in moves:
        leaving.setdefault(index.parent[node], set()).add(node)
        arriving.setdefault(parent, []).append(node)
        index.parent[node] = parent
    for parent, nodes in leaving.items():
        index.children[parent] = [n for n in index.children[parent] if n not in nodes]
    for parent, nodes in arriving.items():
        index.children[parent] = sorted(index.children.get(parent, []) + nodes)
