"""Programs run under each backend by test_backends_agree: every kind of frame the tracer meets."""

import asyncio
import functools
import json
import sys
import threading


def leaf(x):
    return x + 1


def nested(x):
    return leaf(leaf(x)) * 2


class Shape:
    sides = 0

    def __init__(self, name):
        self.name = name

    def describe(self):
        return f"{self.name}/{self.sides}"

    @classmethod
    def make(cls, name):
        return cls(name)

    @staticmethod
    def unit():
        return 1


def class_bodies():
    class Square(Shape):
        sides = 4

    return Square.make("sq").describe(), Shape.unit()


def lambdas_and_comprehensions():
    double = lambda v: v * 2  # noqa: E731
    values = [double(v) for v in range(3)]
    squares = {v: v * v for v in values}
    return sum(v for v in squares), sorted(values, key=lambda v: -v)


def counter(limit):
    total = 0
    for n in range(limit):
        got = yield n
        if got:
            total += got
    return total


def delegating():
    result = yield from counter(3)
    return result


def generators():
    gen = counter(5)
    next(gen)
    gen.send(10)
    try:
        gen.throw(ValueError("into the generator"))
    except ValueError:
        pass
    closed = counter(4)
    next(closed)
    closed.close()
    dropped = counter(4)
    next(dropped)
    del dropped
    return list(delegating())


async def sleeper(delay):
    await asyncio.sleep(delay)
    return delay


async def cancelled():
    try:
        await asyncio.sleep(10)
    except asyncio.CancelledError:
        raise


async def main_task():
    task = asyncio.ensure_future(cancelled())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    return await asyncio.gather(sleeper(0), sleeper(0))


def coroutines():
    return asyncio.run(main_task())


def raise_in_hook(pairs):
    raise KeyError("from a callback")


def exceptions_through_library():
    try:
        json.loads('{"a": 1}', object_pairs_hook=raise_in_hook)
    except KeyError:
        pass
    try:
        functools.reduce(lambda a, b: a / b, [1, 0])
    except ZeroDivisionError:
        return "caught"


def recurse(n):
    return recurse(n + 1)


def recursion_limit():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(120)
    try:
        recurse(0)
    except RecursionError:
        return "limit"
    finally:
        sys.setrecursionlimit(limit)


def callback_from_library():
    return sorted([3, 1, 2], key=leaf)


def worker(results, value):
    results.append(nested(value))


def threads():
    results = []
    thread = threading.Thread(target=worker, args=(results, 5))
    thread.start()
    thread.join()
    return results


def everything():
    return [
        nested(1),
        class_bodies(),
        lambdas_and_comprehensions(),
        generators(),
        coroutines(),
        exceptions_through_library(),
        recursion_limit(),
        callback_from_library(),
        threads(),
    ]
