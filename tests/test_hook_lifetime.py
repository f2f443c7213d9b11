"""The tracer stays alive for as long as one of its events runs, even when that event's own work
removes the hook that was the last thing holding it."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import gc, sys
    sys.path.insert(0, {tests!r})
    import vexo.plugins
    from conftest import FakeProfiler
    from vexo import _vexo

    def stop_plugin(frame, event, arg, context):
        _vexo.register_noop_profiler()
        return True

    def watched(x):
        return x

    class StopsInRepr:
        def __repr__(self):
            sys.setprofile(None)
            return "StopsInRepr()"

    class StopsInDel:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            sys.setprofile(None)

    def hold(value):
        return value

    def start_alone(plugins=()):
        vexo.plugins.load_plugin_data = lambda config: list(plugins)
        profiler = FakeProfiler()
        _vexo.register_profiler(profiler)
        del profiler.rust_profiler  # now only the thread's hook holds the tracer

    variant = {variant!r}
    if variant == "plugin":
        start_alone([{{"co_names": ["watched"], "path_fragment": "", "call_type": "w",
                      "return_type": "w_r", "call": stop_plugin}}])
        watched(1)
    elif variant == "repr":
        start_alone()
        hold(StopsInRepr())
    else:
        for _ in range(5):
            start_alone()
            gc.set_threshold(1)  # collections, and so finalizers, inside the hook's own work
            for _ in range(200):
                StopsInDel()
                hold([1, 2, 3])
            gc.set_threshold(700, 10, 10)
            sys.setprofile(None)
    print("ok")
    """
)


@pytest.mark.parametrize("variant", ["plugin", "repr", "finalizer"])
def test_hook_removed_by_code_it_runs_does_not_free_the_tracer(tmp_path, variant):
    script = tmp_path / "removes_hook.py"
    script.write_text(SCRIPT.format(tests=os.path.dirname(__file__), variant=variant))
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120
    )
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
