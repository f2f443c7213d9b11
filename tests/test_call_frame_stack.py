"""The stack of recorded calls per thread follows the interpreter's own, also when an event could
not be recorded: a frame whose return failed is not left behind as everyone's caller, and a
frame whose call failed takes nobody else's entry with it when it returns."""

import pytest

import vexo.serialize
from conftest import records_of, run_traced


class Poison:
    """A value the test's serializer refuses, so that the event holding it fails."""


def fails_on_return():
    return Poison()


def fails_on_call(box):
    box.pop()  # the poison is gone by the return, which is recorded
    return 1


def sibling():
    return 2


def after_failed_return():
    fails_on_return()
    return sibling()


def after_failed_call():
    fails_on_call([Poison()])
    return sibling()


def holds_poison(value):
    if isinstance(value, Poison):
        return True
    if isinstance(value, dict):
        value = list(value.values())
    return isinstance(value, list) and any(holds_poison(item) for item in value)


def refusing_serializer(real):
    def dump(value):
        if holds_poison(value):
            raise ValueError("refused")
        return real(value)

    return dump


@pytest.mark.parametrize(
    "outer, failing",
    [(after_failed_return, "fails_on_return"), (after_failed_call, "fails_on_call")],
)
def test_a_failed_event_leaves_the_stack_as_the_interpreter_has_it(
    make_profiler, monkeypatch, vexo_warnings, outer, failing
):
    monkeypatch.setattr(
        vexo.serialize, "dump_msgpack", refusing_serializer(vexo.serialize.dump_msgpack)
    )
    profiler = make_profiler()
    assert run_traced(profiler, outer) == 2
    monkeypatch.undo()
    records = records_of(profiler)
    by_event = {(r["event"], r["co_name"]): r for r in records}
    outer_call = by_event["call", outer.__name__]
    outer_line = outer.__code__.co_firstlineno + 2  # where sibling is called
    expected_site = {"call_frame_id": outer_call["frame_id"], "line_number": outer_line}
    assert by_event["call", "sibling"]["user_code_call_site"] == expected_site
    assert by_event["return", "sibling"]["user_code_call_site"] == expected_site
    assert by_event["return", outer.__name__]["frame_id"] == outer_call["frame_id"]
    assert by_event["return", outer.__name__]["user_code_call_site"] is None
    assert len(vexo_warnings) == 1
    assert [r["co_name"] for r in records].count(failing) == 1


def lineless():
    # A function whose code has no line table: its frames report no line (f_lineno is None).
    pass


# The warning for the frame without a line is logged from inside that frame, so its log record has
# no line number either, which pytest's own log capture refuses to format.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_frame_without_a_line_does_not_spoil_later_events(make_profiler, vexo_warnings):
    no_lines = type(lineless)(lineless.__code__.replace(co_linetable=b""), globals())

    def program():
        no_lines()
        return sibling()

    profiler = make_profiler()
    run_traced(profiler, program)
    names = [(r["event"], r["co_name"]) for r in records_of(profiler)]
    assert ("call", "sibling") in names and ("return", "sibling") in names
    assert names[-1] == ("return", "program")
