"""What the store reads from a trace document itself: the listing columns and the trace id.

The document's top level is read as a stream and the records are skipped over, so summarising a
large trace does not decode all of it. The reader here is the reference; the compiled module
``vexo._speedups`` reads the same facts in place when it imports (unless ``VEXO_PURE_PYTHON=1``),
and leaves to this reader any document it cannot read plainly (cut, damaged or odd).
"""

from __future__ import annotations

import io
from typing import NamedTuple

import msgpack

from vexo.common import layout
from vexo.common.compiled import compiled
from vexo.values.unpack import unpacker

__all__ = [
    "FAILED_OUTCOMES",
    "KINDS",
    "KIND_OF_WORD",
    "OUTCOMES",
    "DocumentSummary",
    "document_trace_id",
    "failed",
    "kind_of",
    "listed_source",
    "summarize_trace",
]

# What the end marker of a traced test may say about it.
OUTCOMES = frozenset({"passed", "failed", "error", "skipped"})
# A test's outcomes that count as failed; a request failed when it answered 5xx or raised.
FAILED_OUTCOMES = ("failed", "error")

# The kind of a trace, from the first word of its source.
KIND_OF_WORD = {
    "script": "script",
    "module": "module",
    "pytest": "test",
    "wsgi": "request",
    "asgi": "request",
    "django": "request",
}
# Every kind once, in the order the explorer offers them.
KINDS = tuple(dict.fromkeys(KIND_OF_WORD.values()))


def kind_of(source: str | None) -> str | None:
    """The kind of trace a source text names (None for other sources)."""
    return None if source is None else KIND_OF_WORD.get(source.split(" ", 1)[0])


def failed(outcome: str | None) -> bool:
    """Whether a stored outcome is a failure: a failed or erroneous test, a request that raised
    or answered with a server error (5xx)."""
    return outcome is not None and (
        outcome in FAILED_OUTCOMES or (len(outcome) == 3 and outcome.startswith("5"))
    )


class DocumentSummary(NamedTuple):
    """What the listing shows of a trace document, read from the document itself."""

    started_at: float | None
    source: str | None
    record_count: int | None
    outcome: str | None = None


def summarize_trace(document: bytes) -> DocumentSummary:
    """The listing columns of a trace document; None for what it does not hold or cannot give."""
    started_at, source, record_count, first, last = _document_facts(document)
    source = listed_source(source, _marker_field(first, layout.START_TEST, layout.TEST_ID))
    outcome = _marker_field(last, layout.END_TEST, layout.TEST_OUTCOME)
    if outcome not in OUTCOMES:
        outcome = _request_outcome(_marker_field(last, layout.END_REQUEST, layout.TEST_OUTCOME))
    return DocumentSummary(started_at, source, record_count, outcome)


def listed_source(source: str | None, test: str | None) -> str | None:
    """The source a trace is listed under: one trace per test, the test's node id after the
    recorded source tells the traces of one run apart."""
    return f"{source} {test}" if source is not None and test is not None else source


def _request_outcome(outcome: str | None) -> str | None:
    """A request's outcome as its end record says: its status code, or "error"."""
    if outcome == "error" or (outcome is not None and len(outcome) == 3 and outcome.isdigit()):
        return outcome
    return None


def _document_facts(document: bytes) -> tuple:
    """(started_at, source, record count, first record of interest, last one): what the listing
    is made of, as far as the document can be read. A document the store cannot read is still
    stored whole; only the listing lacks detail."""
    if compiled is not None:
        facts = compiled.summarize_document(document)
        if facts is not None:
            return facts
    return _read_document_facts(document)


def _read_document_facts(document: bytes) -> tuple:
    started_at = source = record_count = first = last = None
    try:
        unpacker = _document_reader(document)
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == layout.MAIN_RECORDS:
                count = unpacker.read_array_header()
                if count:
                    first = last = unpacker.unpack()
                    for _ in range(count - 2):
                        unpacker.skip()
                    if count > 1:
                        last = unpacker.unpack()
                record_count = (record_count or 0) + count
            elif key == layout.OTHER_RECORDS:
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # the thread id
                    record_count = (record_count or 0) + _skip_array(unpacker)
            elif key == layout.META:
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get(layout.SOURCE), str):
                    source = meta[layout.SOURCE]
            elif key == layout.STARTED_AT:
                value = unpacker.unpack()
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    started_at = float(value)
            else:
                unpacker.skip()
    except Exception:
        pass  # what was read before the damage
    return started_at, source, record_count, first, last


def document_trace_id(document: bytes) -> str | None:
    """The trace id written in a trace document (a process forked by the program has its own),
    read past the records without decoding them."""
    unpacker = _document_reader(document)
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == layout.TRACE_ID:
            value = unpacker.unpack()
            return value if isinstance(value, str) else None
        if key == layout.OTHER_RECORDS:
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()  # the thread id
                _skip_array(unpacker)
        elif key == layout.MAIN_RECORDS:
            _skip_array(unpacker)
        else:
            unpacker.skip()
    return None


def _document_reader(document: bytes) -> msgpack.Unpacker:
    """A stream over a trace document that buffers one record at a time. Fed whole, a document
    over msgpack's default buffer limit (100 MiB) could not be read at all; the limit is raised
    to the document's size, so that even one record that large can be read."""
    return unpacker(io.BytesIO(document), max_buffer_size=max(len(document), 1))


def _marker_field(record: object, marker: str, field: str) -> str | None:
    """A text field of a marker record ("start_test" first, "end_test" last in a test's trace,
    "end_request" last in a request's)."""
    if isinstance(record, dict) and record.get(layout.TYPE) == marker:
        value = record.get(field)
        if isinstance(value, str):
            return value
    return None


def _skip_array(unpacker: msgpack.Unpacker) -> int:
    count = unpacker.read_array_header()
    for _ in range(count):
        unpacker.skip()
    return count
