"""Turns the JSON written by bench.py and memory.py into the Markdown of bench/RESULTS.md.

Usage: report.py RESULTS_DIR OUTPUT.md (it also prints the Markdown).
"""

from __future__ import annotations

import json
import statistics
import sys
from pathlib import Path

from sections import sections

MODE_ORDER = [
    "untraced",
    "floor",
    "cProfile",
    "vexo",
    "vexo-mon",
    "vexo-mon-filtered",
    "vexo-const",
    "viztracer",
    "viztracer-args",
]
PEERS = [
    ("floor", "× floor"),
    ("vexo", "× vexo (profile hook)"),
    ("cProfile", "× cProfile"),
    ("viztracer", "× VizTracer"),
    ("viztracer-args", "× VizTracer+args"),
]
MIN_UNTRACED_MS = 50
# object-heavy's 60,000 events take about 95 MB of records, near a trace's budget: it runs a few
# ms untraced, and its overhead, hundreds of ms, is what is measured.
MIN_UNTRACED_MS_OF = {"object-heavy": 3}
RECORDED_MODES = ["vexo", "vexo-mon", "vexo-const", "viztracer-args"]
MAX_BYTES_PER_RECORD = 48


def version_key(path):
    return tuple(int(part) for part in path.stem.split("-", 1)[1].split("."))


def load(directory, prefix):
    paths = sorted(Path(directory).glob(f"{prefix}-*.json"), key=version_key)
    return {json.loads(path.read_text())["python"]: json.loads(path.read_text()) for path in paths}


def events_of(workload):
    counts = workload["events"]
    return counts.get("call", 0) + counts.get("return", 0)


def c_events_of(workload):
    counts = workload["events"]
    return counts.get("c_call", 0) + counts.get("c_return", 0) + counts.get("c_exception", 0)


def figures(workload):
    """Per mode: median ms and overhead per event in ns (None for the untraced run)."""
    medians = {mode: statistics.median(times) for mode, times in workload["times_ns"].items()}
    base = medians["untraced"]
    events = events_of(workload)
    return {
        mode: {
            "ms": median / 1e6,
            "ns": None if mode == "untraced" else (median - base) / events,
            "runs": len(workload["times_ns"][mode]),
        }
        for mode, median in medians.items()
    }


def ratio(figure, peer):
    if figure is None or peer is None or peer <= 0:
        return "–"
    return f"{figure / peer:.2f}"


def number(value, digits=0):
    return "–" if value is None else f"{value:,.{digits}f}"


def timing_section(result):
    lines = [
        f"### CPython {result['python']}",
        "",
        f"{result['rounds']} timed runs per workload and mode.",
        "",
    ]
    for name, workload in result["workloads"].items():
        seen = workload.get("recorded", {})
        recorded = "; ".join(
            f"{mode} {seen[mode]['entries']:,} in {seen[mode]['threads']} thread(s)"
            for mode in MODE_ORDER
            if mode in seen
        )
        lines.append(
            f"- {name}: {events_of(workload):,} call and return events"
            f" ({c_events_of(workload):,} C-function events besides, not counted);"
            f" recorded in the warm-up run: {recorded}"
        )
    lines += [
        "",
        "| workload | mode | median ms | overhead ns/event | "
        + " | ".join(label for _, label in PEERS)
        + " |",
        "|---|---|---:|---:|" + "---:|" * len(PEERS),
    ]
    for name, workload in result["workloads"].items():
        table = figures(workload)
        for mode in MODE_ORDER:
            if mode not in table:
                continue
            own = table[mode]["ns"]
            peers = [
                "–" if mode == peer else ratio(own, table.get(peer, {}).get("ns"))
                for peer, _ in PEERS
            ]
            lines.append(
                f"| {name} | {mode} | {number(table[mode]['ms'], 1)} | {number(own)} | "
                + " | ".join(peers)
                + " |"
            )
    lines.append("")
    return lines


def verdict(met):
    return "met" if met else "**not met**"


def target_rows(result, memory):
    rows = []
    python = result["python"]
    library = figures(result["workloads"]["library-heavy"])
    user = figures(result["workloads"]["user-heavy"])
    ours = library["vexo"]["ns"]
    const_note = f" (constant serializer: {library['vexo-const']['ns']:,.0f} ns)"
    floor = library["floor"]["ns"]
    rows.append(
        (
            "filtered event (library-heavy): vexo ≤ 1.5 × floor",
            python,
            f"{ours:,.0f} ns{const_note}",
            f"≤ {1.5 * floor:,.0f} ns (floor {floor:,.0f} ns)",
            verdict(ours <= 1.5 * floor),
        )
    )
    cprofile = library["cProfile"]["ns"]
    rows.append(
        (
            "filtered event (library-heavy): vexo < cProfile",
            python,
            f"{ours:,.0f} ns",
            f"< {cprofile:,.0f} ns",
            verdict(ours < cprofile),
        )
    )
    if "vexo-mon" in library:
        rows += monitoring_target_rows(python, library)
    viz = user["viztracer-args"]["ns"]
    for mode, factor, label in (
        ("vexo-const", 0.5, "recorded event, core's own cost (user-heavy, constant serializer)"),
        ("vexo", 1.5, "recorded event, shipped serializer (user-heavy)"),
    ):
        own = user[mode]["ns"]
        rows.append(
            (
                f"{label}: ≤ {factor} × VizTracer+args",
                python,
                f"{own:,.0f} ns",
                f"≤ {factor * viz:,.0f} ns (VizTracer+args {viz:,.0f} ns)",
                verdict(own <= factor * viz),
            )
        )
    if memory is not None:
        buffers = memory["buffers"]
        per_record = buffers.get("malloc_overhead_per_record", buffers["rss_overhead_per_record"])
        rows.append(
            (
                "memory: buffers ≤ records' bytes + 48 B per record",
                python,
                f"{per_record:,.1f} B per record over {buffers['records']:,} records of"
                f" {buffers['mean_record_bytes']:,.0f} B on average (RSS:"
                f" {buffers['rss_overhead_per_record']:,.1f} B)",
                f"≤ {MAX_BYTES_PER_RECORD} B",
                verdict(per_record <= MAX_BYTES_PER_RECORD),
            )
        )
        limits = memory["flat_limits"]
        for cycle in memory["cycles"]:
            growth = cycle["growth"]
            where = "with a thread per cycle" if cycle["threaded"] else "main thread"
            rows.append(
                (
                    f"memory: {cycle['cycles']:,} register/trace/build cycles flat ({where})",
                    python,
                    f"RSS {growth['rss']:+,} B, malloc {growth.get('malloc', 0):+,} B,"
                    f" objects {growth['objects']:+,}",
                    f"RSS ≤ {limits['rss']:,} B, malloc ≤ {limits['malloc']:,} B,"
                    f" objects ≤ {limits['objects']}",
                    verdict(cycle["flat"]),
                )
            )
    for name, workload in result["workloads"].items():
        untraced = figures(workload)["untraced"]["ms"]
        least = MIN_UNTRACED_MS_OF.get(name, MIN_UNTRACED_MS)
        rows.append(
            (
                f"benchmark validity: {name} runs ≥ {least} ms untraced",
                python,
                f"{untraced:,.1f} ms",
                f"≥ {least} ms",
                verdict(untraced >= least),
            )
        )
    objects = result["workloads"].get("object-heavy")
    if objects is not None:
        # Past the trace's budget records are dropped and events get cheaper: every one must count.
        recorded = objects.get("recorded", {}).get("vexo", {}).get("entries", 0)
        rows.append(
            (
                "benchmark validity: object-heavy's events all recorded (within the trace budget)",
                python,
                f"{recorded:,} records",
                f"≥ {events_of(objects):,} events",
                verdict(recorded >= events_of(objects)),
            )
        )
    return rows


def recorded_events_section(results):
    """The cost of a recorded event on small arguments (user-heavy) and on a large object."""
    lines = [
        "## Recorded events: user-heavy and object-heavy",
        "",
        "object-heavy calls two small methods of an object that holds a dict of 10,000 entries"
        " and a list of 10,000 items; every call's arguments include that object.",
        "",
        "| CPython | mode | user-heavy ns/event | object-heavy ns/event | object ÷ user |"
        " object-heavy × untraced |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for python, result in results.items():
        if "object-heavy" not in result["workloads"]:
            continue
        user = figures(result["workloads"]["user-heavy"])
        objects = figures(result["workloads"]["object-heavy"])
        for mode in RECORDED_MODES:
            if mode not in objects or mode not in user:
                continue
            times_untraced = objects[mode]["ms"] / objects["untraced"]["ms"]
            lines.append(
                f"| {python} | {mode} | {number(user[mode]['ns'])} | {number(objects[mode]['ns'])}"
                f" | {ratio(objects[mode]['ns'], user[mode]['ns'])} | {times_untraced:,.1f} |"
            )
    return lines + [""]


def monitoring_target_rows(python, library):
    """The monitoring backend switches filtered code off: far below any profile hook, and below
    the peers of the same run."""
    ours = library["vexo-mon"]["ns"]
    floor = library["floor"]["ns"]
    rows = []
    # vexo-mon also records the workload's own calls (one event in a hundred); the filtered mode
    # drops every frame, and so shows what a filtered event itself costs.
    for mode in ("vexo-mon", "vexo-mon-filtered"):
        if mode in library:
            cost = library[mode]["ns"]
            rows.append(
                (
                    f"filtered event (library-heavy): {mode} ≤ 0.25 × floor",
                    python,
                    f"{cost:,.0f} ns",
                    f"≤ {0.25 * floor:,.0f} ns (floor {floor:,.0f} ns)",
                    verdict(cost <= 0.25 * floor),
                )
            )
    for peer, label in (
        ("cProfile", "cProfile"),
        ("viztracer", "VizTracer"),
        ("viztracer-args", "VizTracer+args"),
    ):
        if peer in library:
            theirs = library[peer]["ns"]
            rows.append(
                (
                    f"filtered event (library-heavy): vexo-mon < {label}",
                    python,
                    f"{ours:,.0f} ns",
                    f"< {theirs:,.0f} ns",
                    verdict(ours < theirs),
                )
            )
    return rows


def render(results, memories):
    first = next(iter(results.values()))
    machine = first["machine"]
    lines = [
        "# Benchmark results",
        "",
        "Written by `make bench` (see [README.md](README.md) for what each mode and figure means).",
        "",
        f"- Date: {first['date']}",
        f"- Machine: {machine['cpu']}, {machine['cpus']} CPUs, {machine['platform']},"
        f" {machine['libc']}",
        "- Interpreters: "
        + ", ".join(f"CPython {r['python']} ({r['python_build']})" for r in results.values()),
        "- Peers: "
        + ", ".join(sorted({f"VizTracer {r['viztracer']}" for r in results.values()}))
        + f"; vexo {first['vexo']} built from {first.get('source', 'unknown')}",
        "- Runs: "
        + ", ".join(f"{r['rounds']} on {r['python']}" for r in results.values())
        + " timed runs per workload and mode after one warm-up run, interleaved in one process;"
        " all figures are medians.",
    ]
    loads = [f"{r['load']:.1f} on {r['python']}" for r in results.values() if "load" in r]
    if loads:
        lines.append(
            "- Load average (1 min) at the end of each interpreter's runs, from all processes of"
            " the machine: " + ", ".join(loads) + f" ({machine['cpus']} CPUs)"
        )
    lines += [
        "",
        'Events are the Python-level "call" and "return" profile events of one run (all'
        " threads), counted once with a `sys.setprofile` counter. C-function events also reach"
        " every `PyEval_SetProfile` hook (ours drops them at once) but are not counted.",
        "Overhead per event = (median traced time − median untraced time) / events;"
        " \"× peer\" = this mode's overhead per event / the peer's, same workload and"
        " interpreter.",
        "",
        "## Targets",
        "",
        "| target | CPython | measured | limit | result |",
        "|---|---|---|---|---|",
    ]
    for python, result in results.items():
        for row in target_rows(result, memories.get(python)):
            lines.append("| " + " | ".join(row) + " |")
    lines += ["", *recorded_events_section(results), "## Timings", ""]
    for result in results.values():
        lines += timing_section(result)
    lines += ["## Memory", ""]
    for python, memory in memories.items():
        buffers = memory["buffers"]
        lines.append(
            f"- CPython {python}: {buffers['records']:,} records, {buffers['record_bytes']:,} B of"
            f" records; growth while tracing: malloc {buffers.get('malloc_growth', 0):,} B,"
            f" RSS {buffers['rss_growth']:,} B; left after the document and the profiler were"
            f" dropped: malloc {buffers.get('malloc_left_after_release', 0):,} B,"
            f" RSS {buffers.get('rss_left_after_release', 0):,} B."
        )
        for cycle in memory["cycles"]:
            where = "with a thread per cycle" if cycle["threaded"] else "main thread"
            steps = ", ".join(
                f"{point['rss']:+,} / {point.get('malloc', 0):+,} / {point['objects']:+,}"
                for point in cycle["checkpoints"]
            )
            lines.append(
                f"  - cycles ({where}), growth RSS / malloc (B) / objects every"
                f" {cycle['every']} cycles: {steps}"
            )
    lines.append("")
    return "\n".join(lines)


def main():
    directory, output = sys.argv[1], sys.argv[2]
    results = load(directory, "results")
    memories = load(directory, "memory")
    if not results:
        sys.exit(f"no results-*.json in {directory}")
    text = render(results, memories)
    if Path(output).exists():
        kept = sections(Path(output).read_text())
        text = text.rstrip("\n") + "\n\n" + kept if kept else text
    Path(output).write_text(text)
    print(text)


if __name__ == "__main__":
    main()
