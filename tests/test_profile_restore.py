"""A program that saves the profile hook, installs its own and puts the saved one back (as
debuggers, coverage tools and profilers do) gets the tracer back, and sees no error."""

import sys
import threading

from conftest import decode, records_of, run_traced


def first():
    return 1


def second():
    return 2


def in_thread():
    return second()


def test_hook_put_back_with_setprofile_traces_on(make_profiler):
    seen = []

    def own_profiler(frame, event, arg):
        seen.append((event, frame.f_code.co_name))

    def program():
        saved = sys.getprofile()
        sys.setprofile(own_profiler)
        first()
        sys.setprofile(saved)
        return second()

    profiler = make_profiler()
    assert run_traced(profiler, program) == 2
    names = [(r["event"], r["co_name"]) for r in records_of(profiler)]
    assert names == [
        ("call", "program"),
        ("call", "second"),
        ("return", "second"),
        ("return", "program"),
    ]
    assert ("call", "first") in seen


def test_saved_hook_given_to_threading_setprofile_traces_new_threads(make_profiler):
    def program():
        threading.setprofile(sys.getprofile())  # the hook itself, as a program might hand it on
        thread = threading.Thread(target=in_thread, name="worker")
        thread.start()
        thread.join()

    profiler = make_profiler({"threading": True})
    run_traced(profiler, program)
    threading.setprofile(None)
    threads = decode(profiler.rust_profiler.build_trace())["frames"]
    names = [(r["event"], r["co_name"]) for records in threads.values() for r in records]
    assert names == [
        ("call", "in_thread"),
        ("call", "second"),
        ("return", "second"),
        ("return", "in_thread"),
    ]
