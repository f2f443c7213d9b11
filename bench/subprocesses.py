"""What vexo adds to a Python process's start and end: as a traced child, and under `vexo run`.

    python bench/subprocesses.py [--runs N]

Times `python -c pass` started without VEXO_SUBPROCESSES (all that the .pth line does then is read
os.environ), started with it (vexo imported, the tracer started, an empty trace saved at exit),
and started with -S (no site-packages, so no .pth at all); and a three-line script run by
`python` and by `vexo run` (which also opens and closes a run in the store); each N times,
interleaved. Prints the medians of the wall time and of the CPU time (user + system; the wall
time of a busy machine mostly waits for a CPU). Also times the .pth line alone.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

import vexo.recording.subprocesses


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=30)
    runs = parser.parse_args().runs
    pth = Path(vexo.recording.subprocesses.__file__).parents[2] / "vexo-subprocesses.pth"
    line = compile(pth.read_text(), str(pth), "exec")
    quiet = {
        k: v for k, v in os.environ.items() if k != vexo.recording.subprocesses.SETTINGS_VARIABLE
    }
    with tempfile.TemporaryDirectory() as folder:
        settings = {"db": os.path.join(folder, "db.sqlite3"), "config": {}}
        traced = dict(
            quiet, **{vexo.recording.subprocesses.SETTINGS_VARIABLE: json.dumps(settings)}
        )
        script = os.path.join(folder, "small.py")
        Path(script).write_text("def f(x):\n    return x + 1\n\nf(1)\n")
        vexo_run = [sys.executable, "-m", "vexo", "run", "--db", settings["db"], script]
        cases = {
            "no site-packages (-S)": ([sys.executable, "-S", "-c", "pass"], quiet),
            "without the variable": ([sys.executable, "-c", "pass"], quiet),
            "with the variable (traced)": ([sys.executable, "-c", "pass"], traced),
            "python small.py": ([sys.executable, script], quiet),
            "vexo run small.py": (vexo_run, quiet),
        }
        times: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
        for _ in range(runs):
            for name, (command, env) in cases.items():
                cpu = _children_cpu()
                start = time.perf_counter()
                subprocess.run(command, env=env, check=True, stderr=subprocess.DEVNULL)
                times[name].append((time.perf_counter() - start, _children_cpu() - cpu))
    for name, values in times.items():
        wall = statistics.median(value[0] for value in values) * 1000
        cpu = statistics.median(value[1] for value in values) * 1000
        print(f"{name:<28} {wall:8.1f} ms wall {cpu:8.1f} ms CPU  (medians of {runs})")
    number, total = timeit.Timer(lambda: exec(line, {})).autorange()
    print(f"{'the .pth line, unset':<28} {total / number * 1e6:8.1f} us")


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


if __name__ == "__main__":
    main()
