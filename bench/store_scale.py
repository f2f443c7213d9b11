"""The store at scale: saving per MiB of document, listing a store of 50,000 traces, and the
pruning a run does when it ends with the store at its limit of runs.

    python bench/store_scale.py [--out bench/RESULTS.md] [--traces 50000]   # "Store at scale"

The 50,000 traces are request-sized documents (about 1 KiB, as a web server saves them) spread
over 20 runs, so that with the default `keep-runs = 20` the end of the next run deletes the
oldest run. Saving per MiB uses documents of incompressible and of repetitive bytes (real traces
compress twenty times and more) with a waited save, which compresses and commits on the calling
thread. Figures are medians of repeated timings.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import msgpack  # noqa: E402

import vexo.db  # noqa: E402
from sections import replace_section  # noqa: E402

MIB = 2**20
RUNS = 20


def median_ms(work, rounds: int = 5) -> float:
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        samples.append((time.perf_counter() - start) * 1000)
    return statistics.median(samples)


def request_document(number: int) -> bytes:
    return msgpack.packb(
        {
            "frames": {},
            "frames_of_interest": [
                {"type": "frame", "n": i, "path": "app.py:12"} for i in range(40)
            ],
            "meta": {"source": f"wsgi GET /orders/{number}"},
            "timestamp": time.time(),
            "trace_id": f"trc_{number}",
        }
    )


def save_per_mib(folder: str) -> dict[str, float]:
    path = os.path.join(folder, "saves.sqlite3")
    vexo.db.prepare_database(path)
    random_document = os.urandom(8 * MIB)
    repetitive = msgpack.packb([{"path": "app.py:12", "value": i % 100} for i in range(400_000)])
    counter = iter(range(10**9))
    results = {}
    for name, document in (("incompressible", random_document), ("repetitive", repetitive)):

        def save(document: bytes = document) -> None:
            trace_id = f"trc_{next(counter)}"
            vexo.db.save_trace_in_sqlite(path, trace_id, msgpack=document, wait=True)

        mib = len(document) / MIB
        results[f"waited save of {mib:.1f} MiB {name}, ms per MiB"] = median_ms(save) / mib
    return results


def fill(path: str, traces: int) -> None:
    """`traces` traces in RUNS runs, the oldest run first, as the runs would have saved them."""
    per_run = traces // RUNS
    number = 0
    for run in range(RUNS):
        run_id = f"run_{run:02}"
        os.environ["VEXO_RUN_ID"] = run_id
        if hasattr(vexo.db, "record_run_start"):
            vexo.db.record_run_start(path, run_id, "bench", time.time())
        for _ in range(per_run):
            vexo.db.save_trace_in_sqlite(path, f"trc_{number}", msgpack=request_document(number))
            number += 1
        vexo.db.flush()
    del os.environ["VEXO_RUN_ID"]


def listing(path: str) -> dict[str, float]:
    results = {
        "list all traces": median_ms(lambda: vexo.db.list_traces(path)),
        "list the newest 50": median_ms(lambda: vexo.db.list_traces(path, limit=50)),
        "count the traces": median_ms(lambda: vexo.db.count_traces(path)),
    }
    if hasattr(vexo.db, "latest_run_id"):
        latest = vexo.db.latest_run_id(path)
        results["list the latest run's traces"] = median_ms(
            lambda: vexo.db.list_traces(path, run_id=latest)
        )
    return results


def end_of_run_prune(path: str) -> dict[str, float]:
    """One end of a run with the store one run over its limit: its end stored, the oldest run
    deleted and its space given back."""
    from vexo.recording.runs import end_run

    os.environ["VEXO_RUN_ID"] = "run_bench"
    vexo.db.record_run_start(path, "run_bench", "bench", time.time())
    before = vexo.db.store_size(path), vexo.db.count_traces(path)
    start = time.perf_counter()
    end_run(path, "run_bench", keep_runs=RUNS)
    seconds = time.perf_counter() - start
    after = vexo.db.store_size(path), vexo.db.count_traces(path)
    return {
        "end of a run, pruning one run of the store at its limit": seconds * 1000,
        "traces before (count)": float(before[1]),
        "traces after (count)": float(after[1]),
        "store MiB before": before[0] / MIB,
        "store MiB after": after[0] / MIB,
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    parser.add_argument("--traces", type=int, default=50_000)
    parser.add_argument("--print-only", action="store_true", help="leave RESULTS.md alone")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        saves = save_per_mib(folder)
        path = os.path.join(folder, "store.sqlite3")
        fill(path, options.traces)
        lists = listing(path)
        pruned = end_of_run_prune(path) if hasattr(vexo.db, "prune") else {}
    lines = [
        "## Store at scale",
        "",
        "Written by `python bench/store_scale.py`.",
        "",
        f"- Date: {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}",
        f"- CPython {platform.python_version()}, {os.cpu_count()} CPUs,"
        f" load average (1 min) {os.getloadavg()[0]:.1f}",
        f"- {options.traces:,} request-sized traces in {RUNS} runs",
        "",
        "| operation | ms (or as named) |",
        "|---|---|",
        *(f"| {name} | {value:,.1f} |" for name, value in {**saves, **lists, **pruned}.items()),
        "",
    ]
    text = "\n".join(lines)
    if not options.print_only:
        replace_section(options.out, "store-scale", text)
    print(text)


if __name__ == "__main__":
    main()
