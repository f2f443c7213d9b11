"""What is particular to the monitoring backend: the tool id it takes and gives back, code
locations switched off and on again, and other tools of the same process."""

import base64
import cProfile
import dis
import json
import os
import pstats
import sys
import threading
import warnings

import pytest

from conftest import decode
from vexo.profiler import Profiler, release_backend

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="no monitoring interface")


@pytest.fixture
def monitoring():
    from vexo import _vexo_monitoring

    return _vexo_monitoring


def leaf(x):
    return x + 1


def traced(monitoring, profiler, program, keep_armed=False):
    monitoring.register_profiler(profiler)
    try:
        program()
    finally:
        monitoring.register_noop_profiler(keep_armed=keep_armed)
    return [
        (r["event"], r["co_name"])
        for r in decode(profiler.rust_profiler.build_trace())["frames_of_interest"]
        if r["type"] == "frame"
    ]


def test_the_tool_id_is_held_while_tracing_only(monitoring, make_profiler):
    monitoring.register_profiler(make_profiler())
    tool = monitoring.tool_id()
    assert tool in (3, 4, 5) and sys.monitoring.get_tool(tool) == "vexo"
    monitoring.register_noop_profiler()
    assert monitoring.tool_id() is None and sys.monitoring.get_tool(tool) is None
    assert sys.monitoring.get_events(tool) == 0


def test_kept_armed_between_profilers_until_released(monitoring, make_profiler):
    def program():
        return json.dumps([leaf(1)])

    def armed():
        tool = monitoring.tool_id()
        return tool is not None and sys.monitoring.get_events(tool) != 0

    # A server's requests: the events stay on from one profiler to the next, whatever their
    # filter settings, and each records what it would alone.
    first = traced(monitoring, make_profiler(), program, keep_armed=True)
    tool = monitoring.tool_id()
    assert armed()
    included = traced(
        monitoring,
        make_profiler({"filters": {"include_frames": ["/json/"]}}),
        program,
        keep_armed=True,
    )
    again = traced(monitoring, make_profiler(), program, keep_armed=True)
    assert armed() and monitoring.tool_id() == tool
    assert first == again and ("call", "dumps") not in first and ("call", "dumps") in included

    # A fork child serves none of its parent's requests: it gives the tool back.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        os._exit(0 if monitoring.tool_id() is None and sys.monitoring.get_tool(tool) is None else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

    # Released with a thread still traced: given back when that thread stops.
    profiler = Profiler({"backend": "monitoring"}, db_path=os.devnull).start()
    release_backend()
    assert armed()
    profiler.stop()
    assert monitoring.tool_id() is None and sys.monitoring.get_tool(tool) is None
    assert sys.monitoring.get_events(tool) == 0

    traced(monitoring, make_profiler(), program, keep_armed=True)
    release_backend()
    assert monitoring.tool_id() is None and sys.monitoring.get_tool(tool) is None


def test_locations_switched_off_come_back_for_other_settings(monitoring, make_profiler):
    def program():
        return json.dumps([leaf(1)])

    first = traced(monitoring, make_profiler(), program)
    # json's code was switched off under the first profiler's settings; restart_events by another
    # tool only costs one more event.
    sys.monitoring.restart_events()
    again = traced(monitoring, make_profiler(), program)
    included = traced(
        monitoring, make_profiler({"filters": {"include_frames": ["/json/"]}}), program
    )
    assert first == again and ("call", "leaf") in first and ("call", "dumps") not in first
    assert ("call", "dumps") in included and ("call", "leaf") in included


def test_threads_no_profiler_records_switch_filtered_code_off(monitoring, make_profiler):
    def instrumented(function):
        code = function.__code__._co_code_adaptive
        return [op for op in code[::2] if dis._all_opname[op].startswith("INSTRUMENTED")]

    traced(monitoring, make_profiler(), lambda: leaf(1), keep_armed=True)
    try:
        # A server's own thread between two requests runs library code with the events on.
        worker = threading.Thread(target=base64.b32encode, args=(b"x",))
        worker.start()
        worker.join()
        assert instrumented(base64.b32encode) == []
        # Switched off there under one profiler's settings, it is recorded under others.
        included = traced(
            monitoring,
            make_profiler({"filters": {"include_frames": ["/base64"]}}),
            lambda: base64.b32encode(b"x"),
            keep_armed=True,
        )
        assert ("call", "b32encode") in included
    finally:
        release_backend()


def test_other_tools_work_alongside(monitoring, make_profiler):
    def program():
        with cProfile.Profile() as other:
            leaf(1)
        stats = pstats.Stats(other)
        assert any(name == "leaf" for (_, _, name) in stats.stats)

    seen = []

    def own_profile(frame, event, arg):
        seen.append((event, frame.f_code.co_name))

    def sets_its_own():
        sys.setprofile(own_profile)
        leaf(2)
        sys.setprofile(None)

    records = traced(monitoring, make_profiler(), lambda: (program(), sets_its_own()))
    assert records.count(("call", "leaf")) == 2  # recorded on, whatever the program installs
    assert ("call", "leaf") in seen


def test_no_free_tool_id_falls_back_to_the_profile_hook(monitoring, make_profiler):
    taken = [tool for tool in (3, 4, 5) if sys.monitoring.get_tool(tool) is None]
    for tool in taken:
        sys.monitoring.use_tool_id(tool, "other")
    try:
        profiler = make_profiler()
        with pytest.warns(RuntimeWarning, match="profile hook instead"):
            monitoring.register_profiler(profiler)
        assert sys.getprofile() is profiler.rust_profiler
        leaf(1)
        monitoring.register_noop_profiler()
        assert sys.getprofile() is None
    finally:
        for tool in taken:
            sys.monitoring.free_tool_id(tool)
    records = decode(profiler.rust_profiler.build_trace())["frames_of_interest"]
    assert [(r["event"], r["co_name"]) for r in records] == [("call", "leaf"), ("return", "leaf")]
