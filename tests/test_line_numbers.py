"""Line numbers in records (a frame's own line and its caller's) match what frames report."""

import sys

from conftest import records_of, run_traced


def pick(n):
    if n % 3 == 0:
        return "fizz"
    if n % 3 == 1:
        return "one"
    return "two"


def counter(limit):
    for i in range(limit):
        yield pick(i)
    return limit


def caller(rounds):
    seen = []
    for i in range(rounds):
        seen.append(pick(i))
        seen.append(pick(i + 1))
        if i % 2:
            seen.extend(counter(2))
        else:
            seen.append(pick(i + 2))
    return seen


def program():
    return caller(7), caller(3)


def reference_lines():
    """(name, event, line, caller's line) as a Python profile function sees them."""
    seen = []
    names = {"pick", "counter", "caller", "program"}

    def hook(frame, event, arg):
        if event in ("call", "return") and frame.f_code.co_name in names:
            back = frame.f_back
            site = back.f_lineno if back.f_code.co_name in names else None
            seen.append((frame.f_code.co_name, event, frame.f_lineno, site))

    sys.setprofile(hook)
    try:
        program()
    finally:
        sys.setprofile(None)
    return seen


def test_lines_of_frames_and_callers_match_the_frames(make_profiler):
    # The same offsets are met again and again, at different lines of the same code objects:
    # several returns, several call sites per caller, a generator suspended at one line.
    profiler = make_profiler()
    run_traced(profiler, program)
    records = [r for r in records_of(profiler) if r["type"] == "frame"]
    ids = {r["frame_id"]: r for r in records}
    traced = []
    for record in records:
        site = record["user_code_call_site"]
        if site is not None:
            assert ids[site["call_frame_id"]]["co_name"] in {"caller", "counter", "program"}
        line = int(record["path"].rsplit(":", 1)[1])
        traced.append((record["co_name"], record["event"], line, site and site["line_number"]))
    assert traced == reference_lines()
    assert len(traced) > 80


def test_lines_under_a_line_tracer_are_the_frames_own(make_profiler):
    # With a trace function on, a frame reports the line its tracer last saw, which the record
    # must show as it is.
    lines = []

    def tracer(frame, event, arg):
        if frame.f_code.co_name == "pick":
            lines.append((event, frame.f_lineno))
        return tracer

    profiler = make_profiler()
    sys.settrace(tracer)
    try:
        run_traced(profiler, lambda: [pick(i) for i in range(6)])
    finally:
        sys.settrace(None)
    returns = [r for r in records_of(profiler) if r["co_name"] == "pick" and r["event"] == "return"]
    traced_returns = [line for event, line in lines if event == "return"]
    assert [int(r["path"].rsplit(":", 1)[1]) for r in returns] == traced_returns
