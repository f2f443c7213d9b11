"""A traced process that forks, and profilers that only the garbage collector can free."""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

from conftest import decode, records_of, run_traced

FORK_SCRIPT = textwrap.dedent(
    """
    import json, multiprocessing, os, sys, threading
    sys.path.insert(0, {tests!r})
    import msgpack
    from conftest import FakeProfiler
    from vexo import _vexo

    def step(value):
        return value + 1

    def decode(document):
        return msgpack.unpackb(document, strict_map_key=False)

    def child_report(profiler, queue=None):
        step(10)
        document = decode(profiler.rust_profiler.build_trace())
        report = {{
            "trace_id": document["trace_id"],
            "ids": [r["frame_id"] for r in document["frames_of_interest"]],
            "args": [r["locals"].get("value") for r in document["frames_of_interest"]
                     if r["co_name"] == "step"],
        }}
        if queue is None:
            print(json.dumps(report))
        else:
            queue.put(report)

    profiler = FakeProfiler()
    _vexo.register_profiler(profiler)
    step(1)
    if {method!r} == "fork":
        pid = os.fork()
        if pid == 0:
            child_report(profiler)
            os._exit(0)
        os.waitpid(pid, 0)
    else:
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        process = context.Process(target=child_report, args=(profiler, queue))
        process.start()
        print(json.dumps(queue.get(timeout=60)))
        process.join()
    step(2)
    _vexo.register_noop_profiler()
    document = decode(profiler.rust_profiler.build_trace())
    print(json.dumps({{
        "trace_id": document["trace_id"],
        "ids": [r["frame_id"] for r in document["frames_of_interest"]],
        "args": [r["locals"].get("value") for r in document["frames_of_interest"]
                 if r["co_name"] == "step"],
    }}))
    """
)


def run_fork_script(tmp_path, method):
    import json

    script = tmp_path / "fork.py"
    script.write_text(FORK_SCRIPT.format(tests=os.path.dirname(__file__), method=method))
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    child, parent = (json.loads(line) for line in result.stdout.splitlines()[-2:])
    return child, parent


def test_fork_keeps_parent_and_child_apart(tmp_path):
    for method in ("fork", "multiprocessing"):
        child, parent = run_fork_script(tmp_path, method)
        assert child["args"] == [10, 10], method  # none of the parent's records
        assert parent["args"] == [1, 1, 2, 2], method
        assert child["trace_id"] != parent["trace_id"]
        assert not set(child["ids"]) & set(parent["ids"])


def test_profiler_in_a_reference_cycle_is_collected(make_profiler):
    class Marker:
        pass

    made = []

    def build_context(config):
        marker = Marker()
        made.append(weakref.ref(marker))
        return {"marker": marker}

    plugins = [
        {
            "co_names": ["nothing"],
            "path_fragment": "",
            "call_type": "c",
            "return_type": "r",
            "build_context": build_context,
        }
    ]
    profiler = make_profiler(plugins=plugins)
    run_traced(profiler, len, "x")
    assert records_of(profiler) == []
    marker = made[0]()
    # The plugin context leads back to the profiler object, which holds the VexoProfiler.
    marker.profiler = profiler
    watch = weakref.ref(marker)
    del marker, profiler
    gc.collect()
    assert watch() is None


def test_frames_left_open_are_released_with_the_profiler(make_profiler):
    from vexo import _vexo

    class Local:
        pass

    profiler = make_profiler()
    watch = []

    def stops_inside(profiler):
        local = Local()
        watch.append(weakref.ref(local))
        _vexo.register_noop_profiler()  # this call's return is never seen: its frame stays open

    run_traced(profiler, stops_inside, profiler)
    assert decode(profiler.rust_profiler.build_trace())["frames_of_interest"][0]["event"] == "call"
    del profiler
    gc.collect()
    assert watch[0]() is None
