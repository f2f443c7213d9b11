"""A trace holds at most a fixed number of bytes of records: a program that makes calls without
end cannot make the tracer take all memory, or build a document too large to store. Past the
budget, frame records are dropped and that is reported once; plugin records, test markers among
them, are always kept; and the budget starts afresh with every trace."""

import logging

import _vexo_testing as native
import pytest

from conftest import decode, records_of, run_traced

BUDGET = 64 * 1024


@pytest.fixture
def small_budget():
    previous = native.set_trace_budget(BUDGET)
    yield
    native.set_trace_budget(previous)


class Loud:
    """Tells when the program's own code is run to show it."""

    shown = 0

    def __repr__(self):
        Loud.shown += 1
        return "Loud()"


def step(value, witness=Loud()):  # noqa: B008
    return value + 1


def loop(count):
    total = 0
    for value in range(count):
        total = step(total) + value
    return total


def start_test(nodeid):
    return nodeid


def end_test(nodeid):
    return nodeid


def record_bytes(records):
    import msgpack

    return sum(len(msgpack.packb(record)) for record in records)


def test_records_past_the_budget_are_dropped_and_reported_once(make_profiler, vexo_warnings):
    profiler = make_profiler({"max_trace_bytes": BUDGET})
    run_traced(profiler, loop, 5000)
    records = records_of(profiler)
    *records, stopped = records
    # The record that found the trace full is kept: its values were made already.
    assert BUDGET < record_bytes(records) <= BUDGET + record_bytes(records[-1:])
    assert len(records) < 2 * 5000
    # The trace says where it stopped, and why.
    assert stopped["type"] == "recording_stopped"
    assert (stopped["reason"], stopped["limit"]) == ("budget", BUDGET)
    assert stopped["timestamp"] >= records[-1]["timestamp"]
    assert [type(w.exc_info[1]) for w in vexo_warnings] == [MemoryError]
    assert f"holds {BUDGET} bytes of records" in str(vexo_warnings[0].exc_info[1])
    # Shown by a handler, the warning runs none of the program's code.
    assert "bytes of records" in logging.Formatter().format(vexo_warnings[0])
    assert Loud.shown == 0
    # Built: the next trace has the whole budget again.
    run_traced(profiler, loop, 10)
    assert [r["event"] for r in records_of(profiler)].count("call") == 11
    assert len(vexo_warnings) == 1


def test_markers_and_saves_go_on_past_the_budget(make_profiler, saved_calls):
    plugins = [
        {
            "co_names": [name],
            "path_fragment": "",
            "call_type": name,
            "return_type": name + "_return",
            "events": ["call"],
        }
        for name in ("start_test", "end_test")
    ]
    profiler = make_profiler({"max_trace_bytes": BUDGET}, plugins=plugins, one_trace_per_test=True)

    def tests():
        for number in range(3):
            start_test(f"t{number}")
            loop(3000)
            end_test(f"t{number}")

    run_traced(profiler, tests)
    assert len(saved_calls) == 3
    for _args, kwargs in saved_calls:
        document = decode(kwargs["msgpack"])
        types = [r["type"] for r in document["frames_of_interest"]]
        assert types[0] == "start_test" and types[-1] == "end_test"
        assert types.count("frame") > 10  # each test starts with a whole budget
        assert record_bytes(document["frames_of_interest"]) <= BUDGET + 1024


def test_a_large_budget_keeps_every_record(make_profiler):
    profiler = make_profiler({"max_trace_bytes": 2**30})
    run_traced(profiler, loop, 10)
    assert len(records_of(profiler)) == 22


@pytest.mark.parametrize("bad", [-1, "big", 2**64])
def test_a_budget_that_is_not_a_word_is_refused(make_profiler, bad):
    from vexo import _vexo

    with pytest.raises((TypeError, ValueError, OverflowError)):
        _vexo.register_profiler(make_profiler({"max_trace_bytes": bad}))


def test_a_full_trace_costs_no_dumps(make_profiler, monkeypatch, vexo_warnings):
    import vexo.serialize

    dumped = []
    real = vexo.serialize.dump_msgpack

    def dump_msgpack(value):
        dumped.append(1)
        return real(value)

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", dump_msgpack)  # the default without values
    profiler = make_profiler({"max_trace_bytes": BUDGET})
    run_traced(profiler, loop, 5000)
    monkeypatch.undo()
    frames = [r for r in records_of(profiler) if r["type"] == "frame"]
    # Two dumps per record kept, and none made for nothing.
    assert len(dumped) == 2 * len(frames)
    # The calls whose records were dropped left the stack: a new trace starts clean.
    run_traced(profiler, step, 1)
    assert [r["user_code_call_site"] for r in records_of(profiler)] == [None, None]
