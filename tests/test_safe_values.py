"""Safe dumps, the default: bounded, and never running any code of the program."""

import datetime
import decimal
import enum
import pathlib
import sys
import uuid
import weakref

import msgpack
import pytest

from vexo.values import dump as serialize
from vexo.values.dump import LIGHTWEIGHT, SAFE

# The reference walk and the compiled one, each with both safe limits.
SAFE_DUMPS = [
    lambda value: serialize._python_dumps(value, SAFE),
    lambda value: serialize._python_dumps(value, LIGHTWEIGHT),
    serialize.dump_msgpack,
    serialize.dump_msgpack_lightweight_repr,
]
SAFE_IDS = ["python", "python lightweight", "compiled", "compiled lightweight"]


HERE = __name__


def decode(data):
    return msgpack.unpackb(data, strict_map_key=False)


class Ran(Exception):
    """What every method of the hostile classes raises; a dump must never see it."""


def ran(*args, **kwargs):
    raise Ran


class Meta(type):
    __repr__ = ran
    __getattribute__ = ran
    __eq__ = ran
    __hash__ = ran


class Hostile(metaclass=Meta):
    __repr__ = __str__ = __eq__ = __hash__ = __len__ = __iter__ = __getattr__ = ran
    __getattribute__ = ran
    __class__ = property(ran)
    __dict__ = property(ran)
    prop = property(ran)


class Key:
    __eq__ = __repr__ = ran

    def __hash__(self):
        return 1


class Slotted:
    __slots__ = ("filled", "empty", "__weakref__")
    __repr__ = __getattr__ = ran


class Counted:
    """The case that changed a test's outcome: a repr that calls the program's own code."""

    calls = 0

    def __init__(self):
        self.label = "counted"

    def __repr__(self):
        type(self).calls += 1
        return "Counted()"


class Color(enum.Enum):
    RED = 1


class Problem(Exception):
    pass


def hostile_values():
    slotted = Slotted()
    slotted.filled = [1, 2]
    counted = Counted()
    counted.me = counted
    return {
        "hostile": Hostile(),
        "class": Hostile,
        "slotted": slotted,
        "proxy": weakref.proxy(slotted),
        "counted": counted,
        "bound": counted.__repr__,
        "keys": {Key(): 1, Counted(): 2, (1, Key()): 3, Color.RED: 4},
        "error": Problem("bad", counted),
    }


@pytest.mark.parametrize("dump", SAFE_DUMPS, ids=SAFE_IDS)
def test_hostile_objects_are_recorded_without_running_their_code(dump):
    values = hostile_values()
    Counted.calls = 0
    value = decode(dump(values))
    assert Counted.calls == 0
    assert value["hostile"] == {"__class__": f"{HERE}.Hostile"}
    assert value["class"] == f"<class '{HERE}.Hostile'>"
    assert value["slotted"] == {"__class__": f"{HERE}.Slotted", "filled": [1, 2]}
    assert value["proxy"] == {"__class__": "weakref.ProxyType"}
    assert value["counted"] == {
        "__class__": f"{HERE}.Counted",
        "label": "counted",
        "me": f"<{HERE}.Counted: cycle>",
    }
    assert value["bound"] == "<bound method Counted.__repr__>"
    assert value["keys"] == {
        f"<{HERE}.Key>": 1,
        f"<{HERE}.Counted>": 2,
        "<tuple>": 3,
        f"{HERE}.Color.RED": 4,
    }
    assert value["error"]["__class__"] == f"{HERE}.Problem"
    assert value["error"]["args"][0] == "bad"


def test_reference_and_compiled_dumps_are_the_same_bytes():
    values = hostile_values()
    for limits in (SAFE, LIGHTWEIGHT):
        assert serialize._python_dumps(values, limits) == serialize.dumps(values, limits)


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (Color.RED, f"{HERE}.Color.RED"),
        (print, "<built-in function print>"),
        (hostile_values, "<function hostile_values>"),
        (sys, "<module 'sys'>"),
        (1 + 2j, "(1+2j)"),
        (datetime.date(2026, 1, 2), "datetime.date(2026, 1, 2)"),
        (decimal.Decimal("1.50"), "Decimal('1.50')"),
        (uuid.UUID(int=1), "UUID('00000000-0000-0000-0000-000000000001')"),
        (pathlib.PurePosixPath("/a"), "PurePosixPath('/a')"),
    ],
    ids=repr,
)
def test_known_types_keep_a_readable_text(value, expected):
    assert decode(serialize.dump_msgpack(value)) == expected


def test_a_date_with_a_foreign_time_zone_is_not_asked():
    class Zone(datetime.tzinfo):
        utcoffset = dst = tzname = __repr__ = ran

    value = datetime.datetime(2026, 1, 2, tzinfo=Zone())
    assert decode(serialize.dump_msgpack(value)) == {"__class__": "datetime.datetime"}


def test_scalar_subclasses_are_their_value():
    class Name(str):
        __repr__ = __str__ = ran

    class Count(int):
        __repr__ = ran

    assert decode(serialize.dump_msgpack([Name("ada"), Count(3)])) == ["ada", 3]


@pytest.mark.parametrize("dump", [serialize.dump_msgpack_repr, serialize.dump_msgpack_full])
def test_repr_modes_call_repr(dump):
    Counted.calls = 0
    assert decode(dump({"c": Counted()})) == {"c": "Counted()"}
    assert Counted.calls == 1


def test_default_limits():
    value = decode(serialize.dump_msgpack({"items": list(range(100)), "text": "t" * 5000}))
    assert value["items"] == [*range(50), "… 50 more"]
    assert value["text"] == "t" * 999 + "…"
    assert decode(serialize.dump_msgpack(b"b" * 300)).endswith("… (300 bytes)")
    # A thousand values in all, over every container of the dump.
    rows = decode(serialize.dump_msgpack([list(range(50)) for _ in range(30)]))
    assert sum(len(row) for row in rows) - rows.count(["… 50 more"]) < 1000 + 30
    # Four levels of the program's values below a frame's locals.
    deep = decode(serialize.dump_msgpack({"v": [[[[["bottom"]]]]]}))
    assert deep == {"v": [[[["<list: nested too deep>"]]]]}


def test_a_class_changed_after_a_dump_is_seen():
    class Box:
        pass

    box = Box()
    box.size = 1
    serialize.dump_msgpack(box)
    Box.__qualname__ = "Crate"
    expected = {"__class__": f"{HERE}.Crate", "size": 1}
    assert decode(serialize.dump_msgpack(box)) == expected
    assert serialize._python_dumps(box, SAFE) == serialize.dump_msgpack(box)
