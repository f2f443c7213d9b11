"""Events of a thread that is ending (the finalizers of its thread-local values run after the
threading module has let go of it) leave no trace in the threading module: no dummy thread is
registered for it, and nothing is reported at exit."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(
    """
    import sys, threading
    sys.path.insert(0, {tests!r})
    import vexo.plugins
    from conftest import FakeProfiler
    from vexo import _vexo

    vexo.plugins.load_plugin_data = lambda config: [{{
        "co_names": ["goodbye"], "path_fragment": "", "call_type": "bye", "return_type": "bye_r",
    }}]

    def goodbye():
        return "bye"

    class Farewell:
        def __del__(self):
            goodbye()

    local = threading.local()

    def worker():
        local.value = Farewell()  # finalized as the thread ends

    profiler = FakeProfiler({{"threading": True, "filters": {{"ignore_frames": {ignored!r}}}}})
    _vexo.register_profiler(profiler)
    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    _vexo.register_noop_profiler()
    threading.setprofile(None)
    print(sorted(t.name for t in threading.enumerate()))
    """
)


@pytest.mark.parametrize("ignored", [[], ["teardown.py"]], ids=["recorded", "plugin events only"])
def test_plugin_events_of_an_ending_thread_register_no_dummy_thread(tmp_path, ignored):
    script = tmp_path / "teardown.py"
    script.write_text(SCRIPT.format(tests=os.path.dirname(__file__), ignored=ignored))
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=120
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "['MainThread']\n", "")
