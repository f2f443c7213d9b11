"""`vexo scrub`: the traces already stored, rewritten with the current scrub rules.

Each document is read back, its values under secrets' names replaced by markers and its texts
scrubbed (see `vexo.values.scrub`), and written again in place of the stored one. A batch of
traces is replaced in one transaction, once their scrubbed copies are made: an interrupted run
leaves every trace either as it was or scrubbed, and running again finishes the work (a marker is
never scrubbed twice). Traces with nothing to replace are left as they are.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

import msgpack

from vexo.store import open_store
from vexo.store.base import DEFAULT_TIMEOUT, TraceQuery
from vexo.store.codec import DEFAULT_CODEC, compress_all, decompress
from vexo.store.rows import COLUMNS
from vexo.store.writer import current_writer
from vexo.values import scrub

__all__ = ["Scrubbed", "scrub_document", "scrub_store"]

_ROWS_PER_BATCH = 200
_ID = COLUMNS.index("trace_id")
_SIZE = COLUMNS.index("size")
_CODEC = COLUMNS.index("codec")
_DOCUMENT = COLUMNS.index("msgpack")
_MARKER_START = "[scrubbed: "
_CLASS = "__class__"


@dataclasses.dataclass(frozen=True)
class Scrubbed:
    traces: int  # traces read
    rewritten: int  # traces written again
    values: int  # values and texts replaced

    def __str__(self) -> str:
        return (
            f"scrubbed {self.values} values in {self.rewritten} of {self.traces} traces"
            if self.values
            else f"nothing to scrub in {self.traces} traces"
        )


def scrub_store(
    location: str,
    *,
    timeout: float = DEFAULT_TIMEOUT,
    progress: Callable[[int, int], None] | None = None,
) -> Scrubbed:
    """Rewrites every trace of the store at `location` that holds something to scrub."""
    current_writer().flush()  # this process's own saves first
    store = open_store(location, timeout)
    store.prepare()
    total = store.count(TraceQuery())
    writing = store.writing()
    read = rewritten = replaced = 0
    try:
        after = ""
        while rows := store.rows(after=after, limit=_ROWS_PER_BATCH):
            changed, count = _scrubbed_rows(rows)
            if changed:
                writing.write(changed, replace=True)
            read += len(rows)
            rewritten += len(changed)
            replaced += count
            after = rows[-1][_ID]
            if progress is not None:
                progress(read, total)
    finally:
        writing.close()
    return Scrubbed(read, rewritten, replaced)


def _scrubbed_rows(rows: list[tuple]) -> tuple[list[tuple], int]:
    changed: list[list] = []
    documents: list[bytes] = []
    count = 0
    for row in rows:
        document = decompress(row[_DOCUMENT], row[_CODEC], row[_ID])
        scrubbed, replaced = scrub_document(document)
        if replaced:
            changed.append(list(row))
            documents.append(scrubbed)
            count += replaced
    for row, document, stored in zip(changed, documents, compress_all(documents), strict=True):
        row[_SIZE], row[_CODEC], row[_DOCUMENT] = len(document), DEFAULT_CODEC, stored
    return [tuple(row) for row in changed], count


def scrub_document(document: bytes) -> tuple[bytes, int]:
    """The trace document with the current rules applied, and how many values they replaced."""
    plain = msgpack.unpackb(
        document, raw=False, strict_map_key=False, unicode_errors="surrogateescape"
    )
    cleaner = _Cleaner()
    result = cleaner.value(plain)
    if not cleaner.replaced:
        return document, 0
    return msgpack.packb(result, unicode_errors="surrogateescape"), cleaner.replaced


class _Cleaner:
    __slots__ = ("replaced",)

    def __init__(self) -> None:
        self.replaced = 0

    def value(self, value: object) -> object:
        # Documents nest a few levels of maps and lists; values in them at most the dump's depth.
        if type(value) is str:
            scrubbed = scrub.scrub_text(value)
            if scrubbed != value:
                self.replaced += 1
            return scrubbed
        if type(value) is list:
            return [self.value(item) for item in value]
        if type(value) is dict:
            return {key: self.entry(key, item) for key, item in value.items()}
        return value

    def entry(self, key: object, item: object) -> object:
        if not scrub.secret_name(key) or _is_marker(item) or isinstance(item, msgpack.ExtType):
            return self.value(item)
        self.replaced += 1
        if type(item) is dict and type(item.get(_CLASS)) is str:
            return f"{_MARKER_START}{item[_CLASS]}]"  # an object shown as its fields
        return scrub.marker(item)


def _is_marker(value: object) -> bool:
    return type(value) is str and value.startswith(_MARKER_START) and value.endswith("]")
