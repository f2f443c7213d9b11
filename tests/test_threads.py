"""Threads under the tracer: no deadlock, and no state passed from an ended thread."""

import subprocess
import sys
import textwrap
import threading

from conftest import decode, run_traced

STRESS = textwrap.dedent(
    """
    import sys, threading, time
    sys.path.insert(0, {tests!r})
    import msgpack
    import vexo.plugins
    from conftest import FakeProfiler
    from vexo import _vexo

    def slow(frame, event, arg, context):
        time.sleep(0)
        return sum(range(200)) > 0

    def process(frame, event, arg, context):
        time.sleep(0)
        return {{"spin": sum(range(300))}}

    vexo.plugins.load_plugin_data = lambda config: [{{
        "co_names": ["step"], "path_fragment": "", "call_type": "c", "return_type": "r",
        "call": slow, "process": process,
    }}]

    def step(i):
        return i + 1

    def work():
        for i in range(300):
            step(i)

    profiler = FakeProfiler({{"threading": True}})
    _vexo.register_profiler(profiler)
    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    _vexo.register_noop_profiler()
    threading.setprofile(None)
    document = msgpack.unpackb(profiler.rust_profiler.build_trace(), strict_map_key=False)
    assert len(document["frames"]) == 8, document["frames"].keys()
    for records in document["frames"].values():
        frames = [r for r in records if r["type"] == "frame" and r["co_name"] == "step"]
        calls = [r["frame_id"] for r in frames if r["event"] == "call"]
        returns = [r["frame_id"] for r in frames if r["event"] == "return"]
        assert len(calls) == 300 and calls == returns
        assert sum(r["type"] == "c" for r in records) == 300
    print("ok")
    """
)


def test_plugin_code_that_switches_threads_does_not_deadlock(tmp_path):
    import os

    script = tmp_path / "stress.py"
    script.write_text(STRESS.format(tests=os.path.dirname(__file__)))
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def leaf(x):
    return x


def test_a_later_thread_never_inherits_an_ended_threads_state(make_profiler):
    from vexo import _vexo

    def first():
        def left_open():
            # Stop tracing inside a recorded call: its return is never seen, so the call
            # stays open on this thread's stack.
            _vexo.register_noop_profiler()

        left_open()

    def second():
        leaf(1)

    def program():
        for target, name in ((first, "first"), (second, "second")):
            thread = threading.Thread(target=target, name=name)
            thread.start()
            thread.join()

    profiler = make_profiler({"threading": True})
    run_traced(profiler, program)
    threading.setprofile(None)
    frames = decode(profiler.rust_profiler.build_trace())["frames"]
    by_name = {}
    for thread_id, records in frames.items():
        for record in records:
            by_name.setdefault(record["thread"], set()).add(thread_id)
            assert record["thread_native_id"] == thread_id
    all_records = [r for records in frames.values() for r in records]
    second_call = next(r for r in all_records if r["co_name"] == "second")
    assert second_call["thread"] == "second"
    # Had it inherited the ended thread's stack, the call site would name left_open's frame.
    assert second_call["user_code_call_site"] is None
    assert {r["thread"] for r in all_records if r["co_name"] == "leaf"} == {"second"}
