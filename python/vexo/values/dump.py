"""MessagePack dumps of arbitrary values: the arguments, return values and locals of traced frames.

The tracer calls these for every recorded call and return, so they must be cheap for the usual
small dict of plain values, and must never fail on whatever the traced program holds.

What a dump holds:

- None, bool, float, str and bytes as themselves (bytearray as bytes), int as itself when
  MessagePack can hold it (64 bits) and as its decimal text otherwise;
- list, tuple, set and frozenset as arrays, dict as a map (also for subclasses, read from the
  built-in storage only, so their own ``__iter__``, ``__len__`` or ``__getitem__`` never run);
- map keys of those scalar types as themselves, any other key as its text;
- anything else, in a safe dump (the default), without running any code of the program (see
  `vexo.values.safe`): enum members as "Class.NAME", subclasses of the scalar types as their
  value, a few known types as their text (numbers, functions, classes, modules, dates, decimals,
  paths...), and every other object as a map: "__class__" (its type's qualified name), then for
  an exception its "args", then its instance attributes from ``__dict__`` and ``__slots__``;
  map keys of other types as such a text, or "<Class>";
- anything else, in a dump that calls repr() (values "repr" and "full"), as ``repr()`` text.

Values that cannot be shown fully become texts in angle brackets: a ``repr()`` that raises, a
container or object that contains itself, nesting beyond a depth. A container with more items than
allowed keeps its first items and gets a marker: a last array item "… N more", or a map entry "…".
Texts and bytes longer than allowed are cut and end with "…".

The limits of each kind of dump are below: the default keeps a value small and useful, "full"
keeps whole values, the lightweight ones are tighter still.

The code here is the reference; the compiled module ``vexo._speedups`` writes the same bytes much
faster and is used when it imports, unless the environment sets ``VEXO_PURE_PYTHON=1``.
"""

from __future__ import annotations

from itertools import islice
from typing import NamedTuple

import msgpack

from vexo.common.compiled import compiled
from vexo.common.layout import LOCALS
from vexo.common.names import class_name, type_name
from vexo.values import scrub
from vexo.values.safe import (
    enum_text,
    fields,
    is_enum_type,
    known_text,
    plain_repr,
    shown_as_fields,
)

__all__ = [
    "FULL",
    "LIGHTWEIGHT",
    "LIGHTWEIGHT_REPR",
    "REFERENCE",
    "REPR",
    "SAFE",
    "SELF",
    "Limits",
    "ValueMemo",
    "dump_msgpack",
    "dump_msgpack_full",
    "dump_msgpack_in_trace",
    "dump_msgpack_lightweight_repr",
    "dump_msgpack_lightweight_with_repr",
    "dump_msgpack_repr",
    "dumps",
    "to_plain",
]

CUT = "…"
_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
# Decimal text of larger ints is slow to make (and refused past a size by the interpreter).
_INT_TEXT_MAX_BITS = 4096


class Limits(NamedTuple):
    max_depth: int  # containers deeper than this become a text
    max_items: int  # items kept per container
    max_nodes: int  # values kept per dump, over all containers
    max_text: int | None  # characters kept per text, None for all
    max_bytes: int | None  # bytes kept per bytes value, None for all
    safe: bool = False  # objects read without running their code, instead of calling repr()


# The default: a value's first four levels below a frame's locals, at most 50 items per
# container and 1,000 values in all. See bench/RESULTS.md for the sizes they give.
SAFE = Limits(max_depth=5, max_items=50, max_nodes=1000, max_text=1000, max_bytes=256, safe=True)
REPR = SAFE._replace(safe=False)
FULL = Limits(max_depth=32, max_items=10_000, max_nodes=100_000, max_text=None, max_bytes=None)
LIGHTWEIGHT_REPR = Limits(max_depth=4, max_items=20, max_nodes=300, max_text=120, max_bytes=64)
LIGHTWEIGHT = LIGHTWEIGHT_REPR._replace(safe=True)
# What a trace keeps of a method's `self` object, which is in the locals of every call and return
# of its methods: less than of the other values.
SELF = SAFE._replace(max_items=20, max_nodes=200)

# The MessagePack ext type of a reference to an earlier dump of the same object in the same trace:
# its data is the packed array [class name, frame id, event, field, local's name or None]. No
# value of the program is ever written as an ext type.
REFERENCE = 1
# Objects a trace remembers at most; later ones are written in full every time. (The compiled
# module has the same two numbers.)
MEMO_ENTRIES = 100_000

_FALLBACK = msgpack.packb("<unserializable value>")


def dump_msgpack(value: object) -> bytes:
    """One MessagePack value for any object, bounded and without running the program's code;
    never raises for what a program holds."""
    return dumps(value, SAFE)


def dump_msgpack_repr(value: object) -> bytes:
    """Like dump_msgpack, with repr() of the objects."""
    return dumps(value, REPR)


def dump_msgpack_full(value: object) -> bytes:
    """Like dump_msgpack_repr, with whole texts and large containers."""
    return dumps(value, FULL)


def dump_msgpack_lightweight_repr(value: object) -> bytes:
    """Like dump_msgpack, with short texts and small containers (a lighter representation, still
    without running the program's code)."""
    return dumps(value, LIGHTWEIGHT)


def dump_msgpack_lightweight_with_repr(value: object) -> bytes:
    """Like dump_msgpack_lightweight_repr, with repr() of the objects."""
    return dumps(value, LIGHTWEIGHT_REPR)


def dumps(value: object, limits: Limits) -> bytes:
    return _dump_with(_Walk(limits), value)


def _dump_with(walk: _Walk, value: object) -> bytes:
    try:
        # Scrubbing reads every name and text: the walk does.
        if not scrub.enabled() and _is_plain(value, walk.limits):
            return _pack(value)
    except Exception:
        pass  # changed by another thread while it was read, or out of stack: take the long way
    try:
        return _pack(walk.top(value))
    except Exception as error:
        # Only reached when the interpreter itself gives up (out of stack or memory).
        try:
            return _pack(f"<{type_name(value)}: unserializable ({type_name(error)})>")
        except Exception:
            return _FALLBACK


def _pack(plain: object) -> bytes:
    try:
        return msgpack.packb(plain)
    except UnicodeEncodeError:
        # Lone surrogates have no UTF-8 form; keep them visible as escapes.
        return msgpack.packb(plain, unicode_errors="backslashreplace")


def _is_plain(value: object, limits: Limits) -> bool:
    """Whether the walk would give back the value unchanged (tuples aside, which MessagePack also
    writes as arrays): plain scalars in exact dicts, lists and tuples, all within the limits.

    Reading exact built-in containers runs no code of the program, and cycles end at the depth
    limit; the check is much cheaper than building the plain copy.
    """
    cls = type(value)
    if cls is dict or cls is list or cls is tuple:
        return _plain_container(value, cls, 0, limits, limits.max_nodes) >= 0
    if cls is str:
        return limits.max_text is None or len(value) <= limits.max_text
    if cls is int:
        return _INT_MIN <= value <= _INT_MAX
    return value is None or cls is bool or cls is float


def _plain_container(value, cls: type, depth: int, limits: Limits, nodes_left: int) -> int:
    """The node budget left after the plain container value, or -1 when it is not plain."""
    size = len(value)
    if depth >= limits.max_depth or size > limits.max_items or size > nodes_left:
        return -1
    nodes_left -= size
    max_text = limits.max_text
    max_bytes = limits.max_bytes
    items = value
    if cls is dict:
        for key in value:
            if type(key) is not str or (max_text is not None and len(key) > max_text):
                return -1
        items = value.values()
    for item in items:
        kind = type(item)
        if kind is str:
            if max_text is not None and len(item) > max_text:
                return -1
        elif kind is int:
            if not _INT_MIN <= item <= _INT_MAX:
                return -1
        elif kind is dict or kind is list or kind is tuple:
            nodes_left = _plain_container(item, kind, depth + 1, limits, nodes_left)
            if nodes_left < 0:
                return -1
        elif kind is bytes:
            if max_bytes is not None and len(item) > max_bytes:
                return -1
        elif not (item is None or kind is bool or kind is float):
            return -1
    return nodes_left


def to_plain(value: object, limits: Limits = FULL) -> object:
    """The value as plain None/bool/int/float/str/bytes/list/dict, ready for msgpack.packb."""
    return _Walk(limits).top(value)


class _Walk:
    __slots__ = ("limits", "nodes_left", "open_ids")

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self.nodes_left = limits.max_nodes
        self.open_ids: set[int] = set()

    def top(self, value: object) -> object:
        return self.value(value, 0)

    def value(self, value: object, depth: int) -> object:
        cls = type(value)
        if cls is str:
            return self.text(value)
        if value is None or cls is bool or cls is float:
            return value
        if cls is int:
            return value if _INT_MIN <= value <= _INT_MAX else _int_text(value)
        if cls is dict or cls is list or cls is tuple:
            return self.container(value, cls, depth)
        if cls is bytes:
            return self.binary(value)
        if cls is bytearray:
            return self.byte_array(value)
        if self.limits.safe:
            return self.safe_object(value, cls, depth)
        try:
            base = _container_base(cls)
        except Exception:
            base = None
        if base is not None:
            return self.container(value, base, depth)
        try:
            text = repr(value)
        except Exception as error:
            return _repr_failed(value, error)
        if type(text) is not str:
            text = str.__str__(text)  # a str subclass: its characters, none of its methods
        return self.text(text)

    def safe_object(self, value: object, cls: type, depth: int) -> object:
        if is_enum_type(cls):
            text = enum_text(value, cls)
            if text is not None:
                return self.text(text)
        if issubclass(cls, str):
            return self.text(str.__str__(value))
        if issubclass(cls, int):
            return self.value(int.__int__(value), depth)
        if issubclass(cls, float):
            return float.__float__(value)
        if issubclass(cls, bytes):
            return self.binary(bytes.__getitem__(value, _ALL))
        if issubclass(cls, bytearray):
            return self.byte_array(value)
        base = _container_base(cls)
        if base is not None:
            return self.container(value, base, depth)
        text = known_text(value, cls, safe_repr)
        if text is not None:
            return self.text(text)
        return self.container(value, _OBJECT, depth)

    def text(self, text: str) -> str:
        limit = self.limits.max_text
        if scrub.enabled():
            return self.scrubbed_text(text, limit)
        return self.cut(text)

    def cut(self, text: str) -> str:
        limit = self.limits.max_text
        if limit is not None and len(text) > limit:
            return text[: limit - 1] + CUT
        return text

    def scrubbed_text(self, text: str, limit: int | None) -> str:
        """The text's kept part, its secrets replaced (read a little beyond it, so that a secret
        the limit cuts is still recognised whole)."""
        window = text if limit is None else text[: limit + scrub.SCRUB_MARGIN]
        result = scrub.scrub_text(window)
        if result is window:
            return self.cut(text)  # nothing replaced: as without scrubbing
        if limit is not None and (len(text) > limit or len(result) > limit):
            return result[: limit - 1] + CUT
        return result

    def binary(self, data: bytes) -> bytes | str:
        limit = self.limits.max_bytes
        if limit is not None and len(data) > limit:
            return _cut_bytes(data[:limit], len(data))
        return data

    def byte_array(self, value: bytearray) -> bytes | str:
        # Only the part that is kept is copied: the program's array may hold megabytes.
        limit = self.limits.max_bytes
        size = bytearray.__len__(value)
        if limit is not None and size > limit:
            return _cut_bytes(bytes(bytearray.__getitem__(value, slice(0, limit))), size)
        return bytes(bytearray.__getitem__(value, _ALL))

    def container(self, value: object, base: type, depth: int) -> object:
        if depth >= self.limits.max_depth:
            return f"<{type_name(value)}: nested too deep>"
        key = id(value)
        if key in self.open_ids:
            return f"<{type_name(value)}: cycle>"
        self.open_ids.add(key)
        try:
            if base is dict:
                return self.mapping(value, depth + 1)
            if base is _OBJECT:
                return self.instance(value, depth + 1)
            return self.sequence(value, base, depth + 1)
        except RecursionError:
            return f"<{type_name(value)}: nested too deep>"
        except Exception as error:
            # Another thread or a repr() changed the container while it was read.
            return f"<{type_name(value)}: unreadable ({type_name(error)})>"
        finally:
            self.open_ids.discard(key)

    def quota(self, size: int) -> int:
        """How many of `size` items one container keeps, taken from the dump's node budget."""
        kept = min(size, self.limits.max_items, self.nodes_left)
        self.nodes_left -= kept
        return kept

    def mapping(self, value: dict, depth: int) -> dict:
        size = dict.__len__(value)
        kept = self.quota(size)
        items = dict.items(value)
        if kept < size:
            items = islice(items, kept)
        max_text = self.limits.max_text
        scrubbing = scrub.enabled()
        result = {}
        # Plain keys and values are handled inline: most dumps are small dicts of them.
        for name, item in items:
            key = name
            if type(key) is not str or (max_text is not None and len(key) > max_text):
                key = self.key(key)
            cls = type(item)
            if scrubbing and scrub.secret_name(name):
                item = self.text(scrub.marker(item))
            elif cls is str:
                if scrubbing:
                    item = self.text(item)
                elif max_text is not None and len(item) > max_text:
                    item = item[: max_text - 1] + CUT
            elif cls is int:
                if not _INT_MIN <= item <= _INT_MAX:
                    item = _int_text(item)
            elif not (item is None or cls is bool or cls is float):
                item = self.entry_value(name, item, depth)
            result[key] = item
        if kept < size:
            result[CUT] = f"{size - kept} more"
        return result

    def entry_value(self, name: object, item: object, depth: int) -> object:
        """The plain form of a dict's value that is not a plain scalar."""
        return self.value(item, depth)

    def instance(self, value: object, depth: int) -> dict:
        cls = type(value)
        pairs = fields(value, cls)
        size = len(pairs)
        kept = self.quota(size)
        result = {"__class__": self.text(class_name(cls))}
        for key, item in islice(pairs, kept):
            if scrub.secret_name(key):
                result[self.key(key)] = self.text(scrub.marker(item))
            else:
                result[self.key(key)] = self.value(item, depth)
        if kept < size:
            result[CUT] = f"{size - kept} more"
        return result

    def sequence(self, value: object, base: type, depth: int) -> list:
        size = base.__len__(value)
        kept = self.quota(size)
        items = base.__iter__(value)
        if kept < size:
            items = islice(items, kept)
        max_text = self.limits.max_text
        scrubbing = scrub.enabled()
        result = []
        append = result.append
        for item in items:
            cls = type(item)
            if cls is str:
                if scrubbing:
                    item = self.text(item)
                elif max_text is not None and len(item) > max_text:
                    item = item[: max_text - 1] + CUT
            elif cls is int:
                if not _INT_MIN <= item <= _INT_MAX:
                    item = _int_text(item)
            elif not (item is None or cls is bool or cls is float):
                item = self.value(item, depth)
            append(item)
        if kept < size:
            append(f"{CUT} {size - kept} more")
        return result

    def key(self, key: object) -> object:
        # A key is a name, cut but never scrubbed: the value under it is.
        cls = type(key)
        if cls is str:
            return self.cut(key)
        if key is None or cls is bool or cls is float:
            return key
        if cls is int:
            return key if _INT_MIN <= key <= _INT_MAX else _int_text(key)
        if cls is bytes:
            return self.binary(key)
        if self.limits.safe:
            return self.cut(_safe_key_text(key, cls))
        return self.cut(safe_repr(key))


def _safe_key_text(key: object, cls: type) -> str:
    if plain_repr(key):
        return safe_repr(key)
    if is_enum_type(cls):
        text = enum_text(key, cls)
        if text is not None:
            return text
    if issubclass(cls, str):
        return str.__str__(key)
    if issubclass(cls, int):
        return _int_text(int.__int__(key))
    if issubclass(cls, float):
        return float.__repr__(key)
    if issubclass(cls, bytes):
        return bytes.__repr__(key)
    text = known_text(key, cls, safe_repr)
    return f"<{class_name(cls)}>" if text is None else text


_ALL = slice(None)
_OBJECT = object  # the base of a value shown as an object's fields
_CONTAINER_BASES = (dict, list, tuple, set, frozenset)


def _container_base(cls: type) -> type | None:
    if cls is set or cls is frozenset:
        return cls
    if not issubclass(cls, _CONTAINER_BASES):
        return None
    for base in _CONTAINER_BASES:
        if issubclass(cls, base):
            return base
    return None


def _cut_bytes(prefix: bytes, size: int) -> str:
    return f"{prefix!r}{CUT} ({size} bytes)"


def _int_text(value: int) -> str:
    if value.bit_length() > _INT_TEXT_MAX_BITS:
        return f"<int of {value.bit_length()} bits>"
    return int.__repr__(value)


def safe_repr(value: object) -> str:
    """repr(value), or a text naming its type when that repr raises or is not a text."""
    try:
        text = repr(value)
    except Exception as error:
        return _repr_failed(value, error)
    if type(text) is not str:
        # A str subclass: keep its characters without calling its methods.
        text = str.__str__(text)
    return text


def _repr_failed(value: object, error: Exception) -> str:
    return f"<{type_name(value)}: repr failed ({type_name(error)})>"


class ValueMemo:
    """The objects one trace has written in full, by id, class, depth and limits: the dump each
    would have alone there (which tells whether it changed), and the reference to the place where
    it was written. The tracer makes a new one for every trace, so that no reference leads out of
    its trace. Nothing of the objects is held: a weak reference would show in an object's
    __weakref__. So an object born where a dead one of the same class lived, showing exactly the
    same, is taken for it; its dump would be the same bytes."""

    __slots__ = ("entries",)

    def __init__(self) -> None:
        self.entries: dict[tuple[int, int, int, bool], tuple[bytes, msgpack.ExtType]] = {}


_Memo = ValueMemo  # the reference's own, also once the compiled one stands in its place


def dump_msgpack_in_trace(
    value: object, memo: ValueMemo, frame_id: str | None, event: str, field: str
) -> bytes:
    """Like dump_msgpack, for the "arg" or "locals" value (`field`) of the record of a frame's
    `event` in the trace that `memo` belongs to. An object shown as its fields (the value itself,
    or a local) that the trace has already written in full, and whose dump would be the same now,
    is written as a reference to that place; a local named "self" keeps less of itself (SELF)."""
    return _dump_with(_TraceWalk(memo, frame_id, event, field), value)


class _TraceWalk(_Walk):
    __slots__ = ("event", "field", "frame_id", "memo")

    def __init__(self, memo: ValueMemo, frame_id: str | None, event: str, field: str) -> None:
        super().__init__(SAFE)
        if type(memo) is not _Memo:
            raise TypeError("memo must be a vexo.values.dump.ValueMemo")
        self.memo = memo
        self.frame_id = frame_id
        self.event = event
        self.field = field

    def top(self, value: object) -> object:
        if self.field == LOCALS and type(value) is dict:
            return self.value(value, 0)
        return self.remembered(None, value, 0)

    def entry_value(self, name: object, item: object, depth: int) -> object:
        if depth == 1 and self.field == LOCALS and type(name) is str:
            return self.remembered(name, item, depth)
        return self.value(item, depth)

    def remembered(self, name: str | None, value: object, depth: int) -> object:
        cls = type(value)
        if value is None or not shown_as_fields(cls):
            return self.value(value, depth)
        limits = SELF if name == "self" else SAFE
        before = _alone(value, limits, depth)
        entries = self.memo.entries
        # Its dump differs with its depth and its limits: one place remembered for each.
        key = (id(value), id(cls), depth, limits is SELF)
        found = entries.get(key)
        if found is not None and found[0] == before:
            return found[1]
        plain = self.within(limits, value, depth)
        if self.frame_id is not None and (found is not None or len(entries) < MEMO_ENTRIES):
            place = [class_name(cls), self.frame_id, self.event, self.field, name]
            reference = msgpack.ExtType(REFERENCE, msgpack.packb(place))
            # A dump no longer than a reference to it is written again each time.
            shorter = len(_pack(plain)) <= len(msgpack.packb(reference))
            if not shorter and _alone(value, limits, depth) == before:
                entries[key] = (before, reference)
            elif found is not None:
                del entries[key]
        return plain

    def within(self, limits: Limits, value: object, depth: int) -> object:
        """The value walked with the limits of its own, its values taken from the dump's."""
        outer, outer_left = self.limits, self.nodes_left
        self.limits = limits
        self.nodes_left = start = min(outer_left, limits.max_nodes)
        try:
            return self.value(value, depth)
        finally:
            self.limits = outer
            self.nodes_left = outer_left - (start - self.nodes_left)


def _alone(value: object, limits: Limits, depth: int) -> bytes:
    """The value's dump as it would be at `depth` of a dump of its own."""
    return _pack(_Walk(limits).value(value, depth))


_python_dumps = dumps
_python_in_trace = (ValueMemo, dump_msgpack_in_trace)
if compiled is not None:
    # The dumpers are what the tracer calls twice per event: compiled callables, no Python frame.
    dumps = compiled.dumps
    dump_msgpack = compiled.dumper(SAFE)
    dump_msgpack_repr = compiled.dumper(REPR)
    dump_msgpack_full = compiled.dumper(FULL)
    dump_msgpack_lightweight_repr = compiled.dumper(LIGHTWEIGHT)
    dump_msgpack_lightweight_with_repr = compiled.dumper(LIGHTWEIGHT_REPR)
    ValueMemo = compiled.ValueMemo  # noqa: F811
    dump_msgpack_in_trace = compiled.trace_dumper(SAFE, SELF)
