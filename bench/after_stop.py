"""The thread's speed after tracing stops: the user-heavy workload untraced, then traced and
stopped with `Profiler.stop()`, then untraced again. Prints the ratio of the medians after stop
to before tracing began; it should be about 1.

    python bench/after_stop.py [--rounds 7] [--backend auto|monitoring|profile]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from vexo import Profiler  # noqa: E402
from workloads import user_heavy  # noqa: E402


def timed_runs(rounds: int) -> float:
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        user_heavy.run(user_heavy.SIZE)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--backend", default="auto")
    options = parser.parse_args()
    rounds = options.rounds
    timed_runs(3)  # warm-up: imports, caches and specialisation settle
    before = timed_runs(rounds)
    with tempfile.TemporaryDirectory() as folder:
        profiler = Profiler(
            {"backend": options.backend},
            db_path=str(Path(folder) / "db.sqlite3"),
            source="after-stop",
        )
        profiler.start()
        user_heavy.run(user_heavy.SIZE)
        profiler.stop()
        after = timed_runs(rounds)
    print(
        f"CPython {sys.version_info.major}.{sys.version_info.minor} ({profiler.backend}): "
        f"before tracing {before * 1e3:.1f} ms, after stop {after * 1e3:.1f} ms, "
        f"ratio {after / before:.2f}"
    )


if __name__ == "__main__":
    main()
