"""A traced process ends cleanly while daemon threads are still inside the tracer's hook: the
interpreter's exit waits for their events, and the hook leaves the events of the exit alone."""

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
        time.sleep(0)  # gives the interpreter lock away inside the hook
        return True

    plugins = [{{"co_names": ["work"], "path_fragment": "", "call_type": "c",
                "return_type": "r", "call": slow}}] if {plugins!r} else []
    vexo.plugins.load_plugin_data = lambda config: plugins

    def work(n, payload=None):
        return n + 1

    def spin():
        n = 0
        payload = {{str(i): [i] for i in range(300)}}  # long dumps: most time is in the hook
        while True:
            n = work(n, payload)

    class AtTeardown:
        def __del__(self):
            work(0)

    profiler = FakeProfiler({{"threading": True}})
    _vexo.register_profiler(profiler)
    for _ in range(4):
        threading.Thread(target=spin, daemon=True).start()
    keep = AtTeardown()
    time.sleep(0.05)
    print("main ends")
    """
)


@pytest.mark.parametrize("plugins", [False, True], ids=["dumps only", "sleeping plugin"])
def test_exit_with_daemon_threads_inside_the_hook(tmp_path, plugins):
    script = tmp_path / "daemons.py"
    script.write_text(SCRIPT.format(tests=os.path.dirname(__file__), plugins=plugins))
    for _ in range(3):
        result = subprocess.run(
            [sys.executable, str(script)], capture_output=True, text=True, timeout=120
        )
        assert (result.returncode, result.stdout, result.stderr) == (0, "main ends\n", "")
