"""A stored trace as objects: what its document says of it, and each thread's calls and events
nested as the index nests them. `vexo show` renders its index; the objects of a thread's tree are
made only when asked for."""

from __future__ import annotations

import functools
from typing import Any

from vexo.trace.index import TraceIndex
from vexo.trace.model import Call, Event

__all__ = ["Thread", "Trace", "build_tree"]


def build_tree(document: bytes) -> Trace:
    return Trace(TraceIndex(document))


class Trace:
    def __init__(self, index: TraceIndex):
        self.index = index
        header = index.header
        self.trace_id: str = header["trace_id"]
        self.source: str | None = header["source"]
        self.version: str | None = header["version"]
        self.started_at: float | None = header["started_at"]
        self.command_line_args: list[str] = header["command_line_args"]
        self.commit: str | None = header["commit"]
        self.records: int = header["records"]

    @functools.cached_property
    def threads(self) -> list[Thread]:
        return [Thread(self.index, entry["id"]) for entry in self.index.header["threads"]]


class Thread:
    def __init__(self, index: TraceIndex, number: int):
        self.index, self.number = index, number
        entry = index.header["threads"][number]
        self.name: str = entry["name"]
        self.native_id: int | None = entry["native_id"]
        self.records: int = index.thread_records[number]

    @functools.cached_property
    def roots(self) -> list[Call | Event]:
        """The thread's calls and events, each call holding its own as children, and a
        generator's or coroutine's call its resumed steps."""
        roots: list[Call | Event] = []
        children: dict[int, list[Any]] = {self.number: roots}
        for number, _depth in self.index.walk([self.number]):
            if number in self.index.steps.records:
                continue  # what its call stands for: one of a generator's steps
            node = self.index.node(number)
            children[self.index.parent[number]].append(node)
            if isinstance(node, Call):
                children[number] = node.children
        return roots
