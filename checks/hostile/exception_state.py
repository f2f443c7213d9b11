"""Exceptions propagating through traced frames: the exception being handled, chaining, contexts,
tracebacks and finally blocks must look the same with the hook running at every return."""

import sys
import traceback


class LoudError(Exception):
    def __repr__(self):
        raise RuntimeError("repr of the exception")

    def __str__(self):
        return "loud"


def thrower(depth):
    if depth == 0:
        raise LoudError()
    try:
        thrower(depth - 1)
    finally:
        assert sys.exc_info()[0] is LoudError


def handler():
    try:
        thrower(5)
    except LoudError:
        inside = sys.exc_info()[0].__name__
        helper()
        after = sys.exc_info()[0].__name__
        return inside, after


def helper():
    return sys.exc_info()[0].__name__


def chained():
    try:
        try:
            1 / 0  # noqa: B018
        except ZeroDivisionError as error:
            raise KeyError("k") from error
    except KeyError as error:
        return type(error.__cause__).__name__, type(error.__context__).__name__


def returns_in_finally():
    try:
        raise ValueError("lost")
    finally:
        return "finally wins"  # noqa: B012


def generator_with_exception():
    try:
        yield 1
        raise IndexError("in generator")
    except IndexError:
        yield sys.exc_info()[0].__name__


print(handler())
print(chained())
print(returns_in_finally())
print(list(generator_with_exception()))
print(sys.exc_info())
try:
    thrower(3)
except LoudError:
    lines = traceback.format_exc().splitlines()
    print(len(lines), lines[-1])
thrower(2)
