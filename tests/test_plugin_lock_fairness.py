"""Threads whose plugins give the interpreter lock away (sleeping, I/O) while the tracer holds its
plugin lock: a thread that runs plugin events back to back must not shut the others out."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import sys, threading, time
    sys.path.insert(0, {tests!r})
    import vexo.plugins
    from conftest import FakeProfiler
    from vexo import _vexo

    def slow(frame, event, arg, context):
        time.sleep(0)
        return True

    vexo.plugins.load_plugin_data = lambda config: [{{
        "co_names": ["watched"], "path_fragment": "", "call_type": "c", "return_type": "r",
        "call": slow,
    }}]

    def watched(n):
        return n + 1

    stop = threading.Event()

    def loop():
        n = 0
        while not stop.is_set():
            n = watched(n)

    profiler = FakeProfiler({{"threading": True}})
    _vexo.register_profiler(profiler)
    threads = [threading.Thread(target=loop) for _ in range({threads})]
    for t in threads:
        t.start()
    for i in range(200):
        watched(i)  # each waits for the plugin lock that the looping threads keep taking
    stop.set()
    for t in threads:
        t.join()
    _vexo.register_noop_profiler()
    threading.setprofile(None)
    print("ok")
    """
)


@pytest.mark.parametrize("threads", [3, 8])
def test_looping_plugin_threads_do_not_starve_the_others(tmp_path, threads):
    script = tmp_path / "starve.py"
    script.write_text(SCRIPT.format(tests=os.path.dirname(__file__), threads=threads))
    try:
        result = subprocess.run(
            [sys.executable, str(script)], capture_output=True, text=True, timeout=60
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the main thread never got the plugin lock")
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
