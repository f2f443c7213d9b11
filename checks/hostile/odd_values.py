"""Values at the edges of what a dump can hold: huge and tiny numbers, NaN, bytes-like objects,
containers that lie about their size, subclasses of built-in types with hostile methods."""

import array
import decimal
import enum
import fractions
import math


class LyingDict(dict):
    def __len__(self):
        return 10**18

    def keys(self):
        raise RuntimeError("keys")

    def items(self):
        raise RuntimeError("items")

    def __iter__(self):
        raise RuntimeError("iter")


class LyingList(list):
    def __len__(self):
        return -1 if False else 10**9

    def __iter__(self):
        raise RuntimeError("iter")

    def __getitem__(self, index):
        raise RuntimeError("getitem")


class StrWithRepr(str):
    def __repr__(self):
        raise RuntimeError("repr")


class Color(enum.Enum):
    RED = 1


class Weird(int):
    def __index__(self):
        raise RuntimeError("index")

    def __int__(self):
        raise RuntimeError("int")


def hold(*values):
    kept = values
    return kept[:1]


hold(10**5000, -(2**64), 2**64, 2**63, -(2**63) - 1, 1e308, -0.0, math.nan, math.inf)
hold(b"\x00" * 10, bytearray(b"ab"), memoryview(b"xyz"), array.array("d", [1.0]))
hold(decimal.Decimal("1.1"), fractions.Fraction(1, 3), complex(1, 2), Color.RED, Weird(3))
hold(LyingDict(a=1), LyingList([1, 2]), StrWithRepr("s"), {1: {2: {3: {4: {5: {}}}}}})
hold(range(10**18), iter([1]), (x for x in ()), type, object(), NotImplemented, Ellipsis)
hold({frozenset({1}): {None: True}}, {(1, 2): [3]}, {1.5: 1, True: 2, None: 3, b"k": 4})
print("held")
