"""Three shapes of program that cost a tracer most, each timed plainly and under `vexo run` side by
side, in alternating rounds, in one or more installed builds:

- object-heavy: two small methods called 20,000 times each on an object that holds a dict of
  10,000 entries and a list of 10,000 items (workloads/object_heavy.py);
- call-heavy: a recursive-descent parser over Token objects of twenty attributes, a million
  calls (workloads/call_heavy.py);
- past-budget: a small function called in chunks until the trace has reached its budget of
  records, and 40 chunks more (workloads/past_budget.py): the cost per event before and after.

    python bench/shapes.py [--python LABEL=PYTHON]... [--case NAME]... [--backend NAME]...
                           [--rounds 5] [--json OUT]

Each PYTHON is an environment with the package installed (default: this interpreter); naming two
times two builds side by side, for example a baseline's and the working tree's. Each round runs
every case in every build plainly and traced, in an order rotated from round to round; the
figures are medians. The workload is timed inside the process (shape_case.py), without the
interpreter's start-up or the saving of the trace; the whole process's time is shown beside it.
Records and bytes are read from the store after each traced run: stored bytes per record is the
store's size on disk over the records it holds.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = ("object-heavy", "call-heavy", "past-budget")
READ_STORE = """
import json, sys
from vexo.db import list_traces, store_size
traces = list_traces(sys.argv[1])
print(json.dumps({"traces": len(traces), "records": sum(t.record_count or 0 for t in traces),
                  "document_bytes": sum(t.size for t in traces),
                  "store_bytes": store_size(sys.argv[1])}))
"""


def run_case(python, case, backend, count, folder):
    """One run: shape_case.py's figures, the process's seconds and, traced, what was stored."""
    command = [python, os.path.join(HERE, "shape_case.py"), case]
    db_path = None
    if backend is not None:
        db_path = os.path.join(folder, "traces.sqlite3")
        for stale in (db_path, db_path + "-wal", db_path + "-shm"):
            if os.path.exists(stale):
                os.remove(stale)
        vexo = [python, "-m", "vexo", "run", "--db", db_path]
        if backend != "default":
            vexo += ["--backend", backend]
        command = vexo + command[1:]
    if count:
        command.append("--count")
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    started = time.perf_counter()
    completed = subprocess.run(command, cwd=HERE, env=env, capture_output=True, text=True)
    process_seconds = time.perf_counter() - started
    if completed.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{completed.stdout}\n{completed.stderr[-3000:]}")
    figures = json.loads(completed.stdout.splitlines()[0])
    figures["process_seconds"] = process_seconds
    if db_path is not None:
        store = subprocess.run([python, "-c", READ_STORE, db_path], capture_output=True,
                               text=True, check=True)  # fmt: skip
        figures.update(json.loads(store.stdout))
    return figures


def median_of(runs, key):
    return statistics.median(run[key] for run in runs)


def per_event_past_budget(traced_runs, plain_runs):
    """Overhead per event in ns of a chunk before the budget is reached, and of one after."""
    plain = statistics.median(s for run in plain_runs for s in run["chunk_seconds"])
    before, after = [], []
    for run in traced_runs:
        reached = run["budget_chunk"]
        seconds = run["chunk_seconds"]
        if reached is None:
            before += seconds
        else:
            before += seconds[1:reached]  # the first chunk warms up
            after += seconds[reached + 1 :]
    events = traced_runs[0]["chunk_events"]

    def cost(chunks):
        return (statistics.median(chunks) - plain) / events * 1e9 if chunks else None

    return {"plain_chunk_ms": plain * 1e3, "before_ns": cost(before), "after_ns": cost(after),
            "budget_chunk": traced_runs[0]["budget_chunk"]}  # fmt: skip


def summarize(case, runs_by_mode, counted):
    plain_runs = runs_by_mode["plain"]
    summary = {"plain_process_s": median_of(plain_runs, "process_seconds"), "traced": {}}
    if case != "past-budget":
        summary["plain_s"] = median_of(plain_runs, "seconds")
        summary["events"] = counted["events"]
    for mode, runs in runs_by_mode.items():
        if mode == "plain":
            continue
        records = runs[-1]["records"]
        traced = {
            "process_s": median_of(runs, "process_seconds"),
            "records": records,
            "traces": runs[-1]["traces"],
            "document_bytes_per_record": runs[-1]["document_bytes"] / max(records, 1),
            "stored_bytes_per_record": runs[-1]["store_bytes"] / max(records, 1),
        }
        if case == "past-budget":
            traced.update(per_event_past_budget(runs, plain_runs))
        else:
            traced["seconds"] = median_of(runs, "seconds")
            traced["ratio"] = traced["seconds"] / summary["plain_s"]
            traced["ns_per_event"] = (
                (traced["seconds"] - summary["plain_s"]) / summary["events"] * 1e9
            )
            traced["budget_reached"] = any(run["budget_reached"] for run in runs)
        summary["traced"][mode] = traced
    return summary


def print_table(results):
    print(f"{'build':<10} {'case':<13} {'mode':<11} {'plain ms':>9} {'traced ms':>9} {'ratio':>7} "
          f"{'ns/event':>9} {'records':>9} {'B/rec doc':>9} {'B/rec st':>8}  note")  # fmt: skip
    for label, cases in results.items():
        for case, summary in cases.items():
            for mode, t in summary["traced"].items():
                if case == "past-budget":
                    before, after = t["before_ns"], t["after_ns"]
                    after_text = "never reached" if after is None else f"{after:.0f}"
                    line = (f"{t['plain_chunk_ms']:9.2f} {'':>9} {'':>7} {before:9.0f} ",
                            f"budget reached in chunk {t['budget_chunk']}; ns/event after: "
                            f"{after_text}")  # fmt: skip
                else:
                    line = (f"{summary['plain_s']*1e3:9.1f} {t['seconds']*1e3:9.1f} "
                            f"{t['ratio']:7.1f} {t['ns_per_event']:9.0f} ",
                            f"{summary['events']:,} events"
                            + ("; budget reached" if t["budget_reached"] else ""))  # fmt: skip
                print(
                    f"{label:<10} {case:<13} {mode:<11} {line[0]}{t['records']:9,} "
                    f"{t['document_bytes_per_record']:9.0f} "
                    f"{t['stored_bytes_per_record']:8.1f}  {line[1]}; process "
                    f"{summary['plain_process_s']:.2f} s plain, {t['process_s']:.2f} s traced"
                )
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--python",
        action="append",
        metavar="LABEL=PYTHON",
        help="an environment with the package installed (repeatable)",
    )
    parser.add_argument("--case", action="append", choices=CASES)
    parser.add_argument(
        "--backend",
        action="append",
        choices=("auto", "monitoring", "profile"),
        help="trace with each backend named (default: the settings' own)",
    )
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    pythons = {}
    for entry in args.python or [f"this={sys.executable}"]:
        label, _, python = entry.rpartition("=")
        pythons[label or python] = os.path.abspath(python)
    cases = args.case or list(CASES)
    modes = ["plain", *(args.backend or ["default"])]
    runs = {label: {case: {mode: [] for mode in modes} for case in cases} for label in pythons}
    pairs = [(label, mode) for label in pythons for mode in modes]
    with tempfile.TemporaryDirectory(prefix="vexo-shapes-") as folder:
        # Events are counted in a run of their own, before the timed rounds.
        events = {case: run_case(next(iter(pythons.values())), case, None, True, folder)
                  for case in cases if case != "past-budget"}  # fmt: skip
        for round_number in range(args.rounds):
            for index, case in enumerate(cases):
                shift = (round_number + index) % len(pairs)
                for label, mode in pairs[shift:] + pairs[:shift]:
                    backend = None if mode == "plain" else mode
                    runs[label][case][mode].append(
                        run_case(pythons[label], case, backend, False, folder)
                    )
            print(f"round {round_number + 1}/{args.rounds} done", flush=True)
    results = {
        label: {case: summarize(case, runs[label][case], events.get(case)) for case in cases}
        for label in pythons
    }
    print_table(results)
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"pythons": pythons, "rounds": args.rounds, "results": results}, out,
                      indent=1)  # fmt: skip


if __name__ == "__main__":
    main()
