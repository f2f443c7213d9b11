"""The value dumps: plain values round-trip, hostile objects never make them fail."""

import collections
import enum
import sys
import threading
import traceback

import msgpack
import pytest

from vexo.values import dump as serialize
from vexo.values.dump import (
    FULL,
    LIGHTWEIGHT_REPR,
    dump_msgpack_full,
    dump_msgpack_lightweight_with_repr,
    to_plain,
)

DUMPS = [dump_msgpack_full, dump_msgpack_lightweight_with_repr]


def decode(data):
    assert type(data) is bytes
    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1, "a dump is exactly one MessagePack value"
    return values[0]


PLAIN = [
    None,
    True,
    False,
    0,
    -1,
    2**63 - 1,
    -(2**63),
    2**64 - 1,
    1.5,
    float("inf"),
    "",
    "héllo ✓",
    b"",
    b"\x00\xff",
    [],
    [1, "a", None],
    {},
    {"a": 1, "b": [1.0, {"c": None}]},
    {1: "int key", None: "nil key", b"k": "bytes key", 2.5: "float key", False: "bool key"},
]


@pytest.mark.parametrize("dump", DUMPS)
@pytest.mark.parametrize("value", PLAIN, ids=repr)
def test_plain_values_round_trip_exactly(dump, value):
    assert decode(dump(value)) == value
    assert dump(value) == msgpack.packb(value)


@pytest.mark.parametrize("dump", DUMPS)
def test_nan_stays_a_float(dump):
    value = decode(dump(float("nan")))
    assert value != value


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ((1, 2), [1, 2]),
        ({3}, [3]),
        (frozenset({"x"}), ["x"]),
        (bytearray(b"ab"), b"ab"),
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (collections.OrderedDict(a=1), {"a": 1}),
        (collections.defaultdict(list, b=[2]), {"b": [2]}),
        (collections.namedtuple("Point", "x y")(1, 2), [1, 2]),
        ({(1, 2): "tuple key"}, {"(1, 2)": "tuple key"}),
        ({2**70: 1}, {"1180591620717411303424": 1}),
    ],
    ids=repr,
)
def test_containers_and_big_ints(value, expected):
    assert decode(dump_msgpack_full(value)) == expected


def test_huge_int_is_named_not_printed():
    assert decode(dump_msgpack_full(2**100_000)) == "<int of 100001 bits>"


class Color(enum.IntEnum):
    RED = 1


class Thing:
    def __repr__(self):
        return "Thing()"


@pytest.mark.parametrize(
    ("value", "expected"),
    [(Thing(), "Thing()"), (Color.RED, repr(Color.RED)), (len, repr(len)), (Thing, repr(Thing))],
)
def test_other_objects_become_their_repr(value, expected):
    assert decode(dump_msgpack_full(value)) == expected


def test_lone_surrogates_are_escaped():
    assert decode(dump_msgpack_full({"s": "a\ud800"})) == {"s": "a\\ud800"}


class RaisingRepr:
    def __repr__(self):
        raise ValueError("no")


class ReprReturnsNumber:
    def __repr__(self):
        return 42


class ReprRecursion:
    def __repr__(self):
        return repr(self)


class TextSubclass(str):
    def __str__(self):
        raise AssertionError("must not be called")


class ReprReturnsSubclass:
    def __repr__(self):
        return TextSubclass("subclassed")


class CountingRepr:
    calls = 0

    def __repr__(self):
        type(self).calls += 1
        return "counted"


class Hostile:
    """Every hook a careless serializer might call raises."""

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    def __hash__(self):
        return 1

    def __len__(self):
        raise AssertionError("__len__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getattr__(self, name):
        raise AssertionError(f"attribute {name} read")

    def __repr__(self):
        return "Hostile()"


class HostileDict(dict):
    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __len__(self):
        raise AssertionError("__len__ called")

    def items(self):
        raise AssertionError("items called")

    def keys(self):
        raise AssertionError("keys called")


class HostileList(list):
    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __len__(self):
        raise AssertionError("__len__ called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ called")


class HostileSet(set):
    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __len__(self):
        raise AssertionError("__len__ called")


class LyingClass:
    @property
    def __class__(self):
        raise AssertionError("__class__ read")

    def __repr__(self):
        return "liar"


@pytest.mark.parametrize("dump", DUMPS)
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (RaisingRepr(), "<test_serialize.RaisingRepr: repr failed (ValueError)>"),
        (ReprReturnsNumber(), "<test_serialize.ReprReturnsNumber: repr failed (TypeError)>"),
        (ReprRecursion(), "<test_serialize.ReprRecursion: repr failed (RecursionError)>"),
        (ReprReturnsSubclass(), "subclassed"),
        ([Hostile()], ["Hostile()"]),
        ({Hostile(): Hostile()}, {"Hostile()": "Hostile()"}),
        (HostileDict(a=1), {"a": 1}),
        (HostileList([1, 2]), [1, 2]),
        (HostileSet([7]), [7]),
        (LyingClass(), "liar"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_hostile_objects(dump, value, expected):
    assert decode(dump(value)) == expected


def test_repr_is_called_once_per_object():
    CountingRepr.calls = 0
    value = {"a": CountingRepr(), "b": [CountingRepr()]}
    decode(dump_msgpack_full(value))
    assert CountingRepr.calls == 2


class CountingRaisingRepr:
    calls = 0

    def __repr__(self):
        type(self).calls += 1
        raise ValueError("no")


@pytest.mark.parametrize("dump", DUMPS)
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [v], lambda v: {"k": v}, lambda v: {v: 1}])
def test_a_failing_repr_is_called_once(dump, wrap):
    CountingRaisingRepr.calls = 0
    decode(dump(wrap(CountingRaisingRepr())))
    assert CountingRaisingRepr.calls == 1


@pytest.mark.parametrize("dump", DUMPS)
def test_cycles_become_placeholders(dump):
    items = [1]
    items.append(items)
    mapping = {"x": 1}
    mapping["self"] = mapping
    both = {"list": items, "dict": mapping}
    assert decode(dump(items)) == [1, "<list: cycle>"]
    assert decode(dump(mapping)) == {"x": 1, "self": "<dict: cycle>"}
    assert decode(dump(both)) == {
        "list": [1, "<list: cycle>"],
        "dict": {"x": 1, "self": "<dict: cycle>"},
    }


def test_shared_objects_are_not_cycles():
    shared = [1]
    assert decode(dump_msgpack_full([shared, shared])) == [[1], [1]]


def nested(depth):
    value = "bottom"
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("dump", "limits"),
    [(dump_msgpack_full, FULL), (dump_msgpack_lightweight_with_repr, LIGHTWEIGHT_REPR)],
)
def test_deep_nesting_is_cut_at_the_depth_limit(dump, limits):
    assert decode(dump(nested(limits.max_depth))) == nested(limits.max_depth)
    value = decode(dump(nested(limits.max_depth + 1)))
    for _ in range(limits.max_depth):
        assert isinstance(value, list) and len(value) == 1
        value = value[0]
    assert value == "<list: nested too deep>"


@pytest.mark.parametrize("dump", DUMPS)
def test_nesting_far_beyond_the_recursion_limit(dump):
    value = decode(dump(nested(100_000)))
    assert isinstance(value, list)


@pytest.mark.parametrize("dump", DUMPS)
def test_dump_at_every_stack_depth_near_the_limit(dump):
    """Once a dump has started it returns bytes, however little stack is left (only the call
    itself can be refused, before any of the dump's code runs)."""
    value = {"a": [[Thing(), RaisingRepr()]], "b": 1, "c": {"d": (1, 2)}}
    outcomes = []

    def recurse():
        try:
            recurse()
        except RecursionError:
            pass
        try:
            outcomes.append(decode(dump(value)))
        except RecursionError as error:
            inside = [
                frame.f_code.co_filename
                for frame, _ in traceback.walk_tb(error.__traceback__)
                if frame.f_code.co_filename == serialize.__file__
            ]
            assert not inside, "a dump that had started raised"
            outcomes.append(None)

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(250)
    try:
        recurse()
    finally:
        sys.setrecursionlimit(limit)
    assert outcomes[-1] == to_plain(value)
    assert any(isinstance(outcome, str) for outcome in outcomes), "never ran short of stack"


@pytest.mark.parametrize("container", [list, tuple, set, frozenset])
def test_huge_containers_keep_the_first_items(container):
    size = LIGHTWEIGHT_REPR.max_items + 5
    value = decode(dump_msgpack_lightweight_with_repr(container(range(size))))
    assert len(value) == LIGHTWEIGHT_REPR.max_items + 1
    assert value[-1] == "… 5 more"
    if container in (list, tuple):
        assert value[:-1] == list(range(LIGHTWEIGHT_REPR.max_items))


def test_huge_dict_gets_a_marker_entry():
    size = FULL.max_items + 3
    value = decode(dump_msgpack_full({f"k{i}": i for i in range(size)}))
    assert len(value) == FULL.max_items + 1
    assert value["…"] == "3 more"
    assert value["k0"] == 0 and f"k{FULL.max_items}" not in value


def test_node_budget_bounds_the_whole_dump():
    rows = FULL.max_nodes // FULL.max_items + 5
    plain = to_plain([list(range(FULL.max_items)) for _ in range(rows)], FULL)
    left = FULL.max_nodes - rows  # the outer list takes its share first
    full_rows, rest = divmod(left, FULL.max_items)
    assert all(row == list(range(FULL.max_items)) for row in plain[:full_rows])
    assert plain[full_rows] == [*range(rest), f"… {FULL.max_items - rest} more"]
    assert all(row == [f"… {FULL.max_items} more"] for row in plain[full_rows + 1 :])


def test_lightweight_cuts_texts_bytes_and_reprs():
    limit = LIGHTWEIGHT_REPR.max_text
    text = decode(dump_msgpack_lightweight_with_repr("x" * (limit + 10)))
    assert len(text) == limit and text.endswith("…")
    assert decode(dump_msgpack_lightweight_with_repr("y" * limit)) == "y" * limit

    class LongRepr:
        def __repr__(self):
            return "r" * 1000

    assert decode(dump_msgpack_lightweight_with_repr(LongRepr())) == "r" * (limit - 1) + "…"
    cut_bytes = decode(dump_msgpack_lightweight_with_repr(b"z" * 1000))
    assert cut_bytes.endswith("… (1000 bytes)")
    assert decode(dump_msgpack_lightweight_with_repr({"k" * 1000: 1})) == {
        "k" * (limit - 1) + "…": 1
    }


def test_full_dump_keeps_long_texts():
    assert decode(dump_msgpack_full("x" * 100_000)) == "x" * 100_000


def test_dict_changed_by_a_repr_while_dumped():
    target = {}

    class Mutator:
        def __repr__(self):
            target["new"] = 1
            return "mutator"

    target.update(a=Mutator(), b=2)
    value = decode(dump_msgpack_full(target))
    assert value == "<dict: unreadable (RuntimeError)>"


def test_concurrent_mutation_never_raises():
    shared = {"n": 0, "items": list(range(50))}
    stop = threading.Event()

    def mutate():
        count = 0
        while not stop.is_set():
            count += 1
            shared["items"].append(Thing())
            if count % 50 in shared:
                del shared[count % 50]  # changes the dict's size under the dump
            else:
                shared[count % 50] = [count]
            if len(shared["items"]) > 200:
                shared["items"] = list(range(50))

    thread = threading.Thread(target=mutate)
    thread.start()
    try:
        for _ in range(500):
            decode(dump_msgpack_full(shared))
            decode(dump_msgpack_lightweight_with_repr(shared))
    finally:
        stop.set()
        thread.join(timeout=10)


def test_plain_fast_path_matches_the_walk():
    value = {"a": 1, "t": (1, 2), "l": [b"x", {"k": None}], "f": 1.5}
    assert serialize._is_plain(value, FULL)
    assert dump_msgpack_full(value) == msgpack.packb(to_plain(value, FULL))
    assert not serialize._is_plain({"s": {1}}, FULL)
    assert not serialize._is_plain({1: 2}, FULL)
    assert not serialize._is_plain(nested(FULL.max_depth + 1), FULL)
