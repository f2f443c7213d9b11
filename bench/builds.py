"""Two builds of the package side by side, in one run: the workloads traced by each, and the
cost that a live context trace adds to the events of threads it does not record.

    python bench/builds.py BEFORE_PYTHON AFTER_PYTHON [--rounds 7] [--out FILE.json]
    python bench/builds.py --report FILE.json [--wsgi-before F.json... --wsgi-after F.json...]

The report writes the section "builds" of RESULTS.md, with the web benchmark's runs of each build
(`bench/realwork/wsgi.py --rounds 1`, the builds taking turns) beside the workloads.

Each round runs every (build, workload, backend) in a fresh process, the builds' order
alternating; a process times five traced runs of the workload and keeps the fastest. The
figure is the fastest of the rounds (on a shared machine the others measure its load), and
after/before is what the newer build costs.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Run by each build's interpreter: prints the fastest of five traced runs, in seconds.
# "+context" keeps a context trace alive meanwhile (one that records nothing of the workload), as
# an ASGI server does while it serves a request, where the build has them.
TIMED = """
import importlib, sys, time
sys.path.insert(0, {here!r})
from vexo.recording.profiler import Profiler
module = importlib.import_module("workloads." + {workload!r})
backend, context = {backend!r}, {context!r}
if context:
    import contextvars
    other = Profiler({{"backend": backend}}, db_path="unused.sqlite3")
    contextvars.Context().run(other.start_in_context)
module.run(module.SIZE)
best = None
for _ in range(5):
    profiler = Profiler({{"backend": backend}}, db_path="unused.sqlite3")
    started = time.perf_counter()
    profiler.start()
    module.run(module.SIZE)
    profiler.stop()
    elapsed = time.perf_counter() - started
    profiler.build()
    best = elapsed if best is None else min(best, elapsed)
print(best)
"""

WORKLOADS = ["user_heavy", "library_heavy"]


def timed(python, workload, backend, context):
    code = TIMED.format(here=HERE, workload=workload, backend=backend, context=context)
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def report(path, wsgi_before, wsgi_after):
    from sections import replace_section

    with open(path) as figures:
        rows = json.load(figures)
    lines = [
        "## Two builds side by side",
        "",
        "Written by `python bench/builds.py` (see its docstring): the workloads traced by the",
        "build before and after a change, each the fastest of rounds in fresh processes, the",
        "builds taking turns; with a context trace alive, another context's trace lives",
        "meanwhile, as in an ASGI server while it serves a request. On a shared machine",
        "differences of a few per cent either way are noise.",
        "",
        "| workload | backend | context trace alive | before | after | after / before |",
        "|---|---|---|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['workload']} | {row['backend']} | {'yes' if row['context_alive'] else 'no'} "
            f"| {row['before_ms']:.1f} ms | {row['after_ms']:.1f} ms | {row['ratio']:.3f} |"
        )
    if wsgi_before and wsgi_after:
        lines += [
            "",
            "The web benchmark (`bench/realwork/wsgi.py --rounds 1`, Flask through waitress), each",
            "build in turn; medians of the runs:",
            "",
            "| backend | latency traced, before / after | × | throughput traced, before / after "
            "| × |",
            "|---|---|---:|---|---:|",
        ]
        before, after = web_medians(wsgi_before), web_medians(wsgi_after)
        for backend in before:
            (b_latency, b_rate), (a_latency, a_rate) = before[backend], after[backend]
            lines.append(
                f"| {backend} | {b_latency:.3f} / {a_latency:.3f} ms | {a_latency / b_latency:.3f} "
                f"| {b_rate:,.0f} / {a_rate:,.0f} req/s | {a_rate / b_rate:.3f} |"
            )
    replace_section(os.path.join(HERE, "RESULTS.md"), "builds", "\n".join(lines))


def web_medians(paths):
    """{backend: (median latency ms, median throughput)} over the runs' JSON files."""
    runs = []
    for path in paths:
        with open(path) as figures:
            runs.append(json.load(figures))
    return {
        backend: (
            statistics.median(r["traced"][backend]["latency_ms"] for r in runs),
            statistics.median(r["traced"][backend]["throughput"] for r in runs),
        )
        for backend in runs[0]["traced"]
    }


def main():
    if sys.argv[1:2] == ["--report"]:
        parser = argparse.ArgumentParser()
        parser.add_argument("--report")
        parser.add_argument("--wsgi-before", nargs="*", default=[])
        parser.add_argument("--wsgi-after", nargs="*", default=[])
        args = parser.parse_args()
        report(args.report, args.wsgi_before, args.wsgi_after)
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--backend", action="append", choices=("monitoring", "profile"))
    parser.add_argument("--out")
    args = parser.parse_args()
    backends = args.backend or ["monitoring", "profile"]
    cases = [(w, b, False) for w in WORKLOADS for b in backends]
    cases += [(w, b, True) for w in WORKLOADS for b in backends]
    builds = [("before", args.before), ("after", args.after)]
    times = {(name, *case): [] for name, _ in builds for case in cases}
    for round_no in range(args.rounds):
        for case in cases:
            for name, python in builds if round_no % 2 == 0 else builds[::-1]:
                if name == "before" and case[2]:
                    continue  # no context traces before
                times[(name, *case)].append(timed(python, *case))
        print(f"round {round_no + 1} done", file=sys.stderr)
    rows = []
    for workload, backend, context in cases:
        before = min(times["before", workload, backend, False])
        after = min(times["after", workload, backend, context])
        rows.append({"workload": workload, "backend": backend, "context_alive": context,
                     "before_ms": before * 1e3, "after_ms": after * 1e3,
                     "ratio": after / before})  # fmt: skip
    for row in rows:
        print(json.dumps(row))
    if args.out:
        with open(args.out, "w") as out:
            json.dump(rows, out, indent=2)


if __name__ == "__main__":
    main()
