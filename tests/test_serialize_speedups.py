"""The compiled dumps write exactly the bytes of the Python walk, for every kind of value."""

import collections
import datetime
import enum
import os
import random
import subprocess
import sys
import weakref
from pathlib import Path

import msgpack
import pytest

from vexo import _speedups
from vexo.values import dump as serialize
from vexo.values.dump import FULL, LIGHTWEIGHT, LIGHTWEIGHT_REPR, SAFE, Limits

reference = serialize._python_dumps
compiled = _speedups.dumps

LIMITS = [FULL, LIGHTWEIGHT_REPR, SAFE]
LIMIT_NAMES = ["full", "lightweight", "safe", "zero", "tiny", "tiny safe", "huge items"]
ODD_LIMITS = [
    Limits(max_depth=0, max_items=0, max_nodes=0, max_text=0, max_bytes=0),
    Limits(max_depth=2, max_items=3, max_nodes=5, max_text=1, max_bytes=1, safe=True),
    Limits(max_depth=2, max_items=3, max_nodes=5, max_text=1, max_bytes=1),
    Limits(max_depth=3, max_items=2**70, max_nodes=7, max_text=2, max_bytes=None),
]


def assert_same(make, limits):
    """`make` builds the value afresh for each implementation: some values change when shown."""
    expected = reference(make(), limits)
    got = compiled(make(), limits)
    assert got == expected
    msgpack.unpackb(got, strict_map_key=False)  # one well-formed value


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    def __repr__(self):
        return "Text!"


class Number(int):
    pass


class Real(float):
    pass


class Shown:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Reentrant:
    """Dumps another value while being shown."""

    def __repr__(self):
        return serialize.dump_msgpack({"inner": [1, "x" * 40]}).hex()


class CustomError(Exception):
    pass


class Failing:
    def __init__(self, error):
        self.error = error

    def __repr__(self):
        raise self.error


class ReprIsNotText:
    def __repr__(self):
        return b"bytes"


class ReprIsTextSubclass:
    def __repr__(self):
        return Text("from a subclass")


class FormattedName(str):
    def __format__(self, spec):
        return "formatted"


class OddName:
    def __repr__(self):
        raise ValueError


OddName.__qualname__ = FormattedName("Odd.Name")


class NumberModule:
    __module__ = 5

    def __repr__(self):
        raise ValueError


class SurrogateName:
    def __repr__(self):
        raise ValueError


SurrogateName.__qualname__ = "Sur\udc80"
Anonymous = {}
exec("Nameless = type('Nameless', (), {'__repr__': lambda self: 1 / 0})", Anonymous)  # noqa: S102


class HostileList(list):
    def __iter__(self):
        raise AssertionError

    def __len__(self):
        raise AssertionError


class HostileDict(dict):
    def items(self):
        raise AssertionError

    def __iter__(self):
        raise AssertionError


class Frozen(frozenset):
    pass


Point = collections.namedtuple("Point", "x y")


class Fields:
    """Shown by a safe dump as its attributes, one of them named like the class's entry."""

    __slots__ = ("filled", "empty", "__dict__")

    def __init__(self):
        self.filled = [1, "x" * 40]
        self.__dict__.update({"__class__": 1, 7: Color.RED, "long" * 40: b"z" * 300})


class LyingMeta(type):
    def __repr__(cls):
        raise ValueError


class Lying(metaclass=LyingMeta):
    __dict__ = property(lambda self: 1 / 0)
    __class__ = property(lambda self: int)


class HostileKey:
    def __hash__(self):
        return 1


EXTRA_OBJECTS = [
    Fields(),
    Lying(),
    Lying,
    CustomError("bad", 3),
    collections,
    datetime.date(2026, 1, 2),
    datetime.datetime(2026, 1, 2, tzinfo=datetime.timezone.utc),
    Fields.__init__,
    Fields().__init__,
    HostileKey(),
    frozenset({(1, "a"), 2.5}),
    (1, HostileKey()),
]

INTS = [0, 1, -1, 31, -32, -33, 127, 128, -128, -129, 255, 256, 65535, 65536, -32768, -32769]
INTS += [2**31, -(2**31) - 1, 2**32, 2**63 - 1, -(2**63), 2**64 - 1, 2**64, -(2**63) - 1]
INTS += [2**4096 - 1, 2**4096, -(2**5000), True, False]
FLOATS = [0.0, -0.0, 1.5, float("nan"), float("inf"), float("-inf"), 1e308, 5e-324]
TEXTS = ["", "a", "héllo ✓", "😀", "\ud800", "a\udfffb", "…", "(1, 2)", "18446744073709551616"]
TEXTS += ["x" * n for n in (31, 32, 119, 120, 121, 255, 256, 65535, 65536)]
BYTES = [b"", b"\x00\xff", b"z" * 63, b"z" * 64, b"z" * 65, b"y" * 256, b"w" * 65536]
OBJECTS = [
    Color.RED,
    Text("sub"),
    Number(5),
    Real(2.5),
    Shown("x" * 500),
    Shown("a\ud800"),
    Failing(ValueError()),
    Failing(CustomError()),
    Failing(RecursionError()),
    ReprIsNotText(),
    ReprIsTextSubclass(),
    OddName(),
    NumberModule(),
    SurrogateName(),
    Anonymous["Nameless"](),
    Reentrant(),
    len,
    object,
    Ellipsis,
    range(3),
    1 + 2j,
    *EXTRA_OBJECTS,
]


def scalar(rng):
    kind = rng.randrange(8)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice(INTS) if rng.random() < 0.7 else rng.getrandbits(rng.randrange(1, 90))
    if kind == 2:
        return rng.choice(FLOATS) if rng.random() < 0.5 else rng.uniform(-1e6, 1e6)
    if kind == 3:
        return rng.choice(TEXTS)
    if kind == 4:
        length = rng.choice([0, 5, 31, 32, 130, 300])
        return "".join(rng.choice("ab\u00e9\u2713\U0001f600\ud800 ") for _ in range(length))
    if kind == 5:
        data = rng.choice(BYTES)
        return bytearray(data) if rng.random() < 0.3 else data
    return rng.choice(OBJECTS)


def is_hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def key(rng):
    value = scalar(rng)
    if not is_hashable(value):
        return repr(value)
    return value if rng.random() < 0.6 else rng.choice([(1, 2), frozenset({3}), "…", "(1, 2)"])


def container(rng, depth):
    size = rng.choice([0, 1, 2, 3, 15, 16, 21])
    items = [make(rng, depth + 1) for _ in range(size)]
    kind = rng.randrange(9)
    if kind == 0:
        return {key(rng): item for item in items}
    if kind == 1:
        return collections.OrderedDict((key(rng), item) for item in items)
    if kind == 2:
        return HostileDict({key(rng): item for item in items})
    if kind == 3:
        return tuple(items)
    if kind == 4:
        return HostileList(items)
    if kind == 5:
        return Point(items, depth)
    hashable = [item for item in items if is_hashable(item)]
    if kind == 6:
        return set(hashable)
    if kind == 7:
        return Frozen(hashable)
    return items


def make(rng, depth=0):
    if rng.random() < 0.5 / (depth + 1):
        return container(rng, depth)
    return scalar(rng)


@pytest.mark.parametrize("limits", LIMITS + ODD_LIMITS, ids=LIMIT_NAMES)
@pytest.mark.parametrize("seed", range(40))
def test_generated_corpus(seed, limits):
    rng = random.Random(seed)
    values = [make(rng) for _ in range(40)]
    for value in values:
        assert_same(lambda value=value: value, limits)


@pytest.mark.parametrize("limits", LIMITS, ids=LIMIT_NAMES[:3])
@pytest.mark.parametrize(
    "value", INTS + FLOATS + TEXTS + BYTES + OBJECTS, ids=lambda v: type(v).__name__
)
def test_every_scalar_alone_in_a_list_and_as_a_key(value, limits):
    assert_same(lambda: value, limits)
    assert_same(lambda: [value, value], limits)
    if is_hashable(value):
        assert_same(lambda: {value: value, "k": 1}, limits)


def nested(depth, leaf="bottom", box=list):
    for _ in range(depth):
        leaf = box([leaf])
    return leaf


def cycles():
    items = [1]
    items.append(items)
    mapping = {"x": items}
    mapping["self"] = mapping
    shared = [2]
    return [items, mapping, [shared, shared], HostileList([items])]


SHAPES = {
    "deep lists": lambda: nested(40),
    "deep dicts": lambda: nested(40, box=lambda item: {"k": item}),
    "deep tuples at the limit": lambda: nested(32, box=tuple),
    "cycles": cycles,
    "long list": lambda: list(range(10_005)),
    "long set": lambda: set(range(10_003)),
    "long dict": lambda: {f"k{i}": i for i in range(10_003)},
    "node budget": lambda: [list(range(10_000)) for _ in range(12)],
    "long texts": lambda: {"t" * 200: "v" * 200, "u" * 200: b"b" * 100},
    "keys that become equal": lambda: {
        (1, 2): 1,
        "(1, 2)": 2,
        2**70: 3,
        "1180591620717411303424": 4,
    },
    "cut keys that become equal": lambda: {"k" * 130: 1, "k" * 140: 2, "j": 3, b"q" * 70: 4},
    "marker key in a cut dict": lambda: {"…": "own", **{f"k{i}": i for i in range(30)}},
    "marker key past the cut": lambda: {**{f"k{i}": i for i in range(30)}, "…": "own"},
    "float and nan keys": lambda: {float("nan"): 1, float("nan"): 2, 0.0: 3, None: 4, True: 5},
    "subclass keys": lambda: {Color.RED: 1, Number(1): 2, Text("a"): 3, Real(1.0): 4},
}


@pytest.mark.parametrize("limits", LIMITS + ODD_LIMITS, ids=LIMIT_NAMES)
@pytest.mark.parametrize("make_value", SHAPES.values(), ids=SHAPES.keys())
def test_shapes(make_value, limits):
    assert_same(make_value, limits)


class Mutator:
    """Changes the container it sits in when shown."""

    def __init__(self, target, change):
        self.target = target
        self.change = change

    def __repr__(self):
        self.change(self.target)
        return "mutated"


def dict_growing():
    target = {"a": 1}
    target["m"] = Mutator(target, lambda d: d.update(new=1))
    target["b"] = 2
    return target


def dict_same_size_new_key():
    target = {"a": None, "b": 1, "c": 2}
    target["a"] = Mutator(target, lambda d: (d.pop("b"), d.update(z=[3])))
    return target


def dict_readded_key():
    target = {"a": None, "b": 1}
    target["a"] = Mutator(target, lambda d: (d.pop("a"), d.update(a=5)))
    return target


def dict_changed_by_a_key():
    target = {"a": 1}
    target[Mutator(target, lambda d: d.pop("a"))] = 2
    target["b"] = 3
    return target


def dict_growing_at_its_last_kept_item():
    target = {f"k{i}": i for i in range(LIGHTWEIGHT.max_items - 1)}
    target["last"] = Mutator(target, lambda d: d.update(new=1))
    target.update({f"j{i}": i for i in range(5)})
    return target


def list_growing(cut):
    target = [0]
    target.append(Mutator(target, lambda items: items.extend([1, 2]) if len(items) < 6 else None))
    return target * (30 if cut else 1)


def list_shrinking():
    target = [Mutator(None, None), 1, 2, 3]
    target[0].target = target
    target[0].change = lambda items: items.clear()
    return target


def set_changing():
    target = {1, 2}
    target.add(Mutator(target, lambda items: items.add(99)))
    return target


MUTATIONS = {
    "dict grows": dict_growing,
    "dict swaps a key": dict_same_size_new_key,
    "dict re-adds a key": dict_readded_key,
    "dict changed by a key": dict_changed_by_a_key,
    "cut dict grows after its last kept item": dict_growing_at_its_last_kept_item,
    "list grows": lambda: list_growing(False),
    "cut list grows": lambda: list_growing(True),
    "list shrinks": list_shrinking,
    "set changes": set_changing,
}


# The dumps that call repr(): a safe dump runs none of the mutators.
@pytest.mark.parametrize("limits", LIMITS[:2], ids=LIMIT_NAMES[:2])
@pytest.mark.parametrize("make_value", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_containers_changed_by_a_repr(make_value, limits):
    assert_same(make_value, limits)
    assert_same(lambda: {"outer": [make_value()]}, limits)


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("dump", [reference, compiled])
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [v], lambda v: {v: 1}], ids=str)
def test_base_exceptions_from_a_repr_are_not_swallowed(dump, wrap):
    with pytest.raises(Interrupt):
        dump(wrap(Failing(Interrupt())), FULL)


@pytest.mark.skipif(not hasattr(sys, "set_int_max_str_digits"), reason="no digit limit")
@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [v], lambda v: {v: 1}], ids=str)
def test_int_refused_by_the_digit_limit(wrap):
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)
    try:
        assert_same(lambda: wrap(3**2000), FULL)
    finally:
        sys.set_int_max_str_digits(limit)


def test_deep_limits_with_a_raised_recursion_limit():
    deep = Limits(max_depth=400, max_items=10, max_nodes=1000, max_text=None, max_bytes=None)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(3000)
    try:
        assert_same(lambda: nested(399), deep)
        assert_same(lambda: nested(401, leaf=[]), deep)
    finally:
        sys.setrecursionlimit(limit)


def test_dumpers_bind_their_limits_and_dumps_takes_keywords():
    value = {"t": "x" * 500, "l": list(range(30))}
    for limits in LIMITS:
        expected = reference(value, limits)
        assert _speedups.dumper(limits)(value) == expected
        assert compiled(value=value, limits=limits) == expected


@pytest.mark.parametrize(
    ("limits", "error"),
    [
        ((1, 2, 3), TypeError),
        ((1, 2, 3, None, "x"), TypeError),
        ((None, 2, 3, None, None), TypeError),
        ((1, -2, 3, None, None), ValueError),
        ((1, 2, 3, -(2**70), None), ValueError),
        ([1, 2, 3, None, None], TypeError),
    ],
)
def test_limits_are_checked(limits, error):
    with pytest.raises(error):
        compiled(1, limits)
    with pytest.raises(error):
        _speedups.dumper(limits)


def run_python(code, pure):
    env = {**os.environ, "VEXO_PURE_PYTHON": "1" if pure else "0"}
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize("pure", [True, False])
def test_environment_chooses_the_implementation(pure):
    code = (
        "from vexo.values import dump as serialize\n"
        "print(serialize.dumps is serialize._python_dumps,"
        " type(serialize.dump_msgpack).__name__)"
    )
    result = run_python(code, pure)
    assert result.returncode == 0, result.stderr
    expected = "True function" if pure else "False builtin_function_or_method"
    assert result.stdout.split() == expected.split()


@pytest.mark.parametrize("pure", [True, False], ids=["python", "compiled"])
def test_the_serializer_suite_passes_with_each_implementation(pure):
    suite = Path(__file__).with_name("test_serialize.py")
    env = {**os.environ, "VEXO_PURE_PYTHON": "1" if pure else "0"}
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(suite)],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


# Values of frame records in one trace: objects written once, then referred to.

IN_TRACE = {
    "python": serialize._python_in_trace,
    "compiled": (_speedups.ValueMemo, serialize.dump_msgpack_in_trace),
}


class Account:
    def __init__(self, owner, entries=100):
        self.owner = owner
        self.entries = list(range(entries))
        self.tags = {"vip": True}


class Slotted:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


def place_of(data):
    assert isinstance(data, msgpack.ExtType) and data.code == serialize.REFERENCE
    return msgpack.unpackb(data.data)


@pytest.fixture(params=list(IN_TRACE))
def in_trace(request):
    memo_type, dump = IN_TRACE[request.param]
    memo = [memo_type()]

    def dump_locals(values, frame_id="frm_1", event="call", field="locals"):
        return msgpack.unpackb(dump(values, memo[0], frame_id, event, field), strict_map_key=False)

    dump_locals.new_trace = lambda: memo.__setitem__(0, memo_type())
    return dump_locals


def test_an_unchanged_object_refers_to_its_first_dump(in_trace):
    account = Account("ada")
    first = in_trace({"self": account, "n": 1}, "frm_A", "call")
    assert first["self"]["owner"] == "ada" and first["n"] == 1
    # `self` keeps less of itself than the other values.
    assert len(first["self"]["entries"]) == serialize.SELF.max_items + 1
    again = in_trace({"self": account, "n": 2}, "frm_A", "return")
    assert place_of(again["self"]) == ["test_serialize_speedups.Account", "frm_A", "call",
                                       "locals", "self"]  # fmt: skip
    assert again["n"] == 2
    returned = in_trace(account, "frm_B", "return", "arg")
    assert returned["owner"] == "ada"  # another depth, another dump
    assert place_of(in_trace(account, "frm_C", "return", "arg"))[1:] == ["frm_B", "return", "arg",
                                                                        None]  # fmt: skip
    # An object whose dump is no longer than a reference is written whole every time.
    tiny = Slotted(1)
    for frame_id in ("frm_E", "frm_F"):
        assert in_trace({"tiny": tiny}, frame_id)["tiny"] == {
            "__class__": "test_serialize_speedups.Slotted", "value": 1}  # fmt: skip
    # None is itself, every time.
    assert in_trace(None, "frm_C", "return", "arg") is None
    assert in_trace(None, "frm_D", "return", "arg") is None


@pytest.mark.parametrize(
    "change",
    [
        lambda a: setattr(a, "owner", "bob"),
        lambda a: a.entries.__setitem__(3, -3),  # in place, same size
        lambda a: a.tags.update(vip=False),
        lambda a: a.entries.append(1),
        lambda a: setattr(a, "extra", 1.5),
    ],
    ids=["attribute", "item in place", "nested dict", "size", "new attribute"],
)
def test_a_changed_object_is_written_again(in_trace, change):
    account = Account("ada")
    in_trace({"self": account}, "frm_A")
    change(account)
    assert isinstance(in_trace({"self": account}, "frm_B")["self"], dict)
    assert place_of(in_trace({"self": account}, "frm_C")["self"])[1] == "frm_B"


def test_references_never_lead_to_another_value_or_trace(in_trace):
    # An object of the same class born where a dead one that the trace wrote lived (the
    # allocator gives the place freed last to the next object of its size), showing otherwise.
    for attempt in range(100):
        seen = Account("ada")
        in_trace({"other": seen}, f"frm_{attempt}")
        address = id(seen)
        del seen
        reborn = Account.__new__(Account)
        if id(reborn) == address:
            break
    reborn.__init__("bob")
    # (Through the C allocator, as the sanitizers' runs go, the place may not come back at once.)
    assert id(reborn) == address or os.environ.get("PYTHONMALLOC") == "malloc"
    assert in_trace({"other": reborn}, "frm_B")["other"]["owner"] == "bob"
    in_trace.new_trace()
    assert isinstance(in_trace({"other": reborn}, "frm_C")["other"], dict)
    # The program sees nothing of it: no weak reference, even to an object that can have one.
    assert reborn.__weakref__ is None and weakref.getweakrefcount(reborn) == 0
    slotted = Slotted("x" * 100)
    assert in_trace({"s": slotted}, "frm_D")["s"]["value"] == "x" * 100
    assert place_of(in_trace({"s": slotted}, "frm_E")["s"])[1] == "frm_D"
    # A record without a frame id cannot be referred to: nothing is remembered of it.
    unseen = Account("cy")
    assert isinstance(in_trace({"x": unseen}, None)["x"], dict)
    assert isinstance(in_trace({"x": unseen}, "frm_F")["x"], dict)


def test_compiled_references_are_the_python_bytes():
    accounts = [Account(str(n), entries=n * 30) for n in range(3)]
    steps = [
        ({"self": accounts[0], "other": accounts[1]}, "frm_1", "call", "locals"),
        ({"self": accounts[0], "other": accounts[1]}, "frm_1", "return", "locals"),
        (accounts[2], "frm_2", "return", "arg"),
        (accounts[2], "frm_3", "return", "arg"),
        ({"self": accounts[1], "ok": [accounts[2]]}, "frm_4", "call", "locals"),
        (accounts[1], "frm_4", "return", "arg"),  # another depth and limits than "self" above
        ({"self": accounts[1]}, "frm_4", "return", "locals"),
        (accounts[1], "frm_5", "return", "arg"),
    ]
    written = {}
    for name, (memo_type, dump) in IN_TRACE.items():
        memo = memo_type()
        accounts[0].owner = "ada"
        written[name] = [dump(*step[:1], memo, *step[1:]) for step in steps]
        accounts[0].owner = "changed"
    assert written["compiled"] == written["python"]
