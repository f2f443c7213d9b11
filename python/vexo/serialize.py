"""The serializer of values that the tracer calls for arguments, return values, locals and
plugin data; written in `vexo.values.dump`."""

from vexo.values.dump import (
    FULL,
    LIGHTWEIGHT,
    LIGHTWEIGHT_REPR,
    MEMO_ENTRIES,
    REFERENCE,
    REPR,
    SAFE,
    SELF,
    Limits,
    ValueMemo,
    dump_msgpack,
    dump_msgpack_full,
    dump_msgpack_in_trace,
    dump_msgpack_lightweight_repr,
    dump_msgpack_lightweight_with_repr,
    dump_msgpack_repr,
    dumps,
    to_plain,
)
from vexo.values.scrub import scrub_text

__all__ = [
    "FULL",
    "LIGHTWEIGHT",
    "LIGHTWEIGHT_REPR",
    "Limits",
    "MEMO_ENTRIES",
    "REFERENCE",
    "REPR",
    "SAFE",
    "SELF",
    "ValueMemo",
    "dump_msgpack",
    "dump_msgpack_full",
    "dump_msgpack_in_trace",
    "dump_msgpack_lightweight_repr",
    "dump_msgpack_lightweight_with_repr",
    "dump_msgpack_repr",
    "dumps",
    "scrub_text",
    "to_plain",
]
