"""Nanoseconds per value dump for a few values a traced program typically holds, the Python walk of
vexo.serialize against the compiled one (vexo._speedups), with the default (safe) limits, the full
ones (repr() of objects) and the lightweight safe ones. Run with the interpreter that has vexo
installed: python bench/serialize_speed.py
"""

from __future__ import annotations

import argparse
import statistics
import time

from vexo import _speedups, serialize
from vexo.serialize import FULL, LIGHTWEIGHT, SAFE
from workloads import user_heavy


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y


class Account:
    def __repr__(self):
        return "Account(id=7)"


VALUES = {
    "int argument": 42,
    "short text": "hello",
    "empty locals": {},
    "small locals": {"n": 10, "name": "alice", "ratio": 0.5, "done": False, "rest": None},
    "locals with self": {"self": Account(), "n": 3, "key": "k1"},
    "default repr object": {"self": Point(1, 2), "i": 0},
    "list of 10 ints": list(range(10)),
    "nested config": {"db": {"host": "localhost", "port": 5432}, "tags": ["a", "b"], "on": True},
    "100 texts": [f"item-{i}" for i in range(100)],
    "tuple key dict": {(1, 2): "a", (3, 4): "b"},
    "method locals": {"self": user_heavy.Account("owner 1", 5), "amount": 3},
}
VALUES["method locals"]["self"].history += [1, 2, 3]


def per_call_ns(dump, value, repeat, seconds):
    """The best of `repeat` runs, each long enough to take about `seconds`."""
    count = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(count):
            dump(value)
        elapsed = time.perf_counter_ns() - start
        if elapsed > seconds * 1e9 / 4 or count > 10_000_000:
            break
        count *= 2
    runs = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(count):
            dump(value)
        runs.append((time.perf_counter_ns() - start) / count)
    return min(runs), statistics.median(runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.1, help="per run")
    args = parser.parse_args()
    limits = {"safe": SAFE, "full": FULL, "light": LIGHTWEIGHT}
    implementations = {
        "python": {
            name: (lambda value, chosen=chosen: serialize._python_dumps(value, chosen))
            for name, chosen in limits.items()
        },
        "compiled": {name: _speedups.dumper(chosen) for name, chosen in limits.items()},
    }
    header = f"{'value':<22}" + "".join(
        f"{name + ' ' + chosen:>16}" for name in implementations for chosen in limits
    )
    print(header + f"{'speedup':>10}")
    for label, value in VALUES.items():
        best = {}
        for name, dumps in implementations.items():
            for chosen, dump in dumps.items():
                assert dump(value) == implementations["python"][chosen](value)
                best[name, chosen], _ = per_call_ns(dump, value, args.repeat, args.seconds)
        cells = "".join(f"{best[key]:>16.0f}" for key in best)
        speedup = best["python", "safe"] / best["compiled", "safe"]
        print(f"{label:<22}{cells}{speedup:>9.1f}x")
    print("ns per dump, best of runs; the dumpers are what the tracer calls (no Python frame).")


if __name__ == "__main__":
    main()
