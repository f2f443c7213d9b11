"""Times each workload under each mode, interleaved in one process, and writes the raw figures as
JSON for report.py.

Rounds: every round runs every workload under every mode once, the modes in an order rotated from
round to round (and from workload to workload) so that no mode always follows the same neighbour.
The first round warms up and is not kept. Events are counted once per workload before the rounds.
Rounds go on up to --rounds, but stop after --min-rounds once the next round would end past
--budget seconds, which keeps the whole benchmark within its time when a tracer is slow.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import platform
import sys
import threading
import time
from dataclasses import dataclass
from functools import partial

import modes

WORKLOADS = [
    ("library-heavy", "library_heavy", False),
    ("user-heavy", "user_heavy", False),
    ("object-heavy", "object_heavy", False),
    ("threaded", "threaded", True),
]


@dataclass
class Workload:
    name: str
    run: object  # a callable without arguments whose first frame is the workload's own
    threaded: bool


def load_workloads():
    found = []
    for name, module_name, threaded in WORKLOADS:
        module = importlib.import_module(f"workloads.{module_name}")
        found.append(Workload(name, partial(module.run, module.SIZE), threaded))
    return found


def count_events(workload):
    """The profile events of one run, by kind, over all threads.

    "call" and "return" are what a tracer's hook processes (the events counted in the figures);
    "c_call", "c_return" and "c_exception" also reach a PyEval_SetProfile hook, which drops them.
    """
    per_thread = {}
    get_ident = threading.get_ident

    def count(frame, event, arg):
        counts = per_thread.get(get_ident())
        if counts is None:
            counts = per_thread[get_ident()] = {}
        counts[event] = counts.get(event, 0) + 1

    if workload.threaded:
        threading.setprofile(count)
    sys.setprofile(count)
    workload.run()
    sys.setprofile(None)
    threading.setprofile(None)
    total = {}
    for counts in per_thread.values():
        for event, number in counts.items():
            total[event] = total.get(event, 0) + number
    return total


def run_once(mode, workload, count=False):
    gc.collect()
    begin, end = mode.prepare(workload)
    clock = time.perf_counter_ns
    # Not named like the workload's function: a tracer may look the name up in its caller's locals.
    work = workload.run
    begin()
    started = clock()
    work()
    elapsed = clock() - started
    end()
    modes.no_hook_left()
    return elapsed, mode.discard(count)


def rotated(items, by):
    by %= len(items)
    return items[by:] + items[:by]


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "platform": platform.platform(),
        "cpu": model or platform.processor(),
        "cpus": os.cpu_count(),
        "libc": " ".join(platform.libc_ver()),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", "9")))
    parser.add_argument("--min-rounds", type=int, default=5)
    parser.add_argument(
        "--budget", type=float, default=float(os.environ.get("BENCH_SECONDS", "80"))
    )
    parser.add_argument("--out", required=True)
    options = parser.parse_args()

    import viztracer

    import vexo.version

    workloads = load_workloads()
    all_modes = modes.make_modes()
    events = {}
    for workload in workloads:
        workload.run()  # imports, caches and specialisation settle before anything is counted
        events[workload.name] = count_events(workload)
        modes.no_hook_left()

    times = {w.name: {m.name: [] for m in all_modes if m.supports(w)} for w in workloads}
    seen = {w.name: {} for w in workloads}
    started = time.monotonic()
    rounds = 0
    for round_number in range(options.rounds + 1):
        round_started = time.monotonic()
        for index, workload in enumerate(workloads):
            for mode in rotated(all_modes, round_number + index):
                if not mode.supports(workload):
                    continue
                warm_up = round_number == 0
                elapsed, recorded = run_once(mode, workload, count=warm_up)
                if warm_up:
                    if recorded is not None:
                        seen[workload.name][mode.name] = recorded
                else:
                    times[workload.name][mode.name].append(elapsed)
        rounds = round_number
        now = time.monotonic()
        print(
            f"  round {round_number}/{options.rounds} done after {now - started:.0f} s", flush=True
        )
        if rounds >= options.min_rounds and now + (now - round_started) - started > options.budget:
            break

    result = {
        "python": platform.python_version(),
        "python_build": " ".join(platform.python_build()),
        "executable": sys.executable,
        "viztracer": viztracer.__version__,
        "vexo": vexo.version.__version__,
        "source": os.environ.get("BENCH_SOURCE_LABEL", "unknown"),
        "machine": machine(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "rounds": rounds,
        "load": os.getloadavg()[0],
        "modes": {mode.name: mode.what for mode in all_modes},
        "workloads": {
            workload.name: {
                "events": events[workload.name],
                "recorded": seen[workload.name],
                "times_ns": times[workload.name],
            }
            for workload in workloads
        },
    }
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


if __name__ == "__main__":
    main()
