"""A frame's locals as records show them: the items f_locals gives, read without leaving a
snapshot on the frame (up to 3.12 f_locals keeps one, which holds deleted values alive)."""

import asyncio
import sys

import _vexo_testing as t
import pytest


def plain(a, b=2):
    c = a + b
    return c


def star(*args, **kwargs):
    total = len(args) + len(kwargs)
    return total


def closure(captured):
    outer_cell = captured * 2

    def inner(own):
        return own + captured + outer_cell

    return inner(1)


def unbound_and_deleted(flag):
    if flag:
        never = 1  # noqa: F841
    gone = [1]
    del gone
    again = 1
    del again
    again = 2
    return again


def generator(n):
    for k in range(n):
        yield k * n


def run_generator():
    return list(generator(3))


async def coroutine(n):
    await asyncio.sleep(0)
    value = n + 1
    return value


def comprehensions(items):
    squares = [x * x for x in items]
    makers = [lambda: y for y in items]  # noqa: B023 - a comprehension variable in a cell
    return squares, [make() for make in makers]


def injected():
    frame = sys._getframe()
    frame.f_locals["extra"] = 1  # only the frame's own dict (or, from 3.13, the proxy) holds it
    value = 2
    return value


class Body:
    attribute = 1
    derived = attribute + 1


def lambdas():
    return (lambda z, w=3: z * w)(2)


SHAPES = {
    "plain": lambda: plain(1),
    "star": lambda: star(1, 2, k=3),
    "closure": lambda: closure(5),
    "unbound and deleted": lambda: unbound_and_deleted(False),
    "generator": run_generator,
    "coroutine": lambda: asyncio.run(coroutine(1)),
    "comprehensions": lambda: comprehensions([1, 2]),
    "injected": injected,
    "class body": lambda: (
        type("Again", (), {}) and exec(compile("class C:\n  a = 1\n", "<x>", "exec"), {})
    ),
    "lambdas": lambdas,
}
OWN_FILE = __file__


@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
def test_same_items_as_f_locals_at_every_event(shape):
    seen = []

    def profile(frame, event, arg):
        if event in ("call", "return") and frame.f_code.co_filename in (OWN_FILE, "<x>"):
            copy = dict(t.frame_locals_copy(frame))
            seen.append((frame.f_code.co_name, event, copy, dict(frame.f_locals)))

    sys.setprofile(profile)
    try:
        shape()
    finally:
        sys.setprofile(None)
    assert seen
    for name, event, copy, expected in seen:
        assert list(copy.items()) == list(expected.items()), (name, event)
        assert all(copy[key] is expected[key] for key in copy), (name, event)


def test_reading_keeps_no_deleted_value_alive():
    finalized = []

    class Noted:
        def __del__(self):
            finalized.append(True)

    def target():
        value = Noted()
        assert "value" in t.frame_locals_copy(sys._getframe())
        del value
        return list(finalized)

    assert target() == [True]


def test_a_dict_from_locals_is_left_as_the_program_took_it():
    def target():
        taken = locals()
        late = 1
        copy = t.frame_locals_copy(sys._getframe())
        return "late" in taken, copy["late"]

    assert target() == (False, 1)


def test_a_function_frame_gives_a_dict_of_its_own():
    # Read in place: neither the dict the frame keeps (up to 3.12) nor the proxy (from 3.13).
    def target(a):
        first = t.frame_locals_copy(sys._getframe())
        return first, t.frame_locals_copy(sys._getframe())

    first, second = target(1)
    assert type(first) is dict and type(second) is dict and first is not second
    assert list(second) == ["a", "first"]


def test_module_frame_gives_its_namespace():
    namespace = {"t": t, "sys": sys}
    exec("result = t.frame_locals_copy(sys._getframe())", namespace)
    assert namespace["result"] is namespace
