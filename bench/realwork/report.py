"""Turns the JSON of the real-work benchmarks into the "real work" section of bench/RESULTS.md.

Usage: report.py RESULTS_DIR OUTPUT.md
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import sys
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from sections import replace_section  # noqa: E402


def load(directory, prefix):
    found = {}
    for path in sorted(Path(directory).glob(f"{prefix}-*.json")):
        found[path.stem.split("-", 1)[1]] = json.loads(path.read_text())
    return found


def verdict(met):
    return "met" if met else "**not met**"


def header(*columns, left=2):
    """A Markdown table's first two lines; columns after the first `left` are right-aligned."""
    align = ["---"] * left + ["---:"] * (len(columns) - left)
    return ["| " + " | ".join(columns) + " |", "|" + "|".join(align) + "|"]


def ratio_limit(version):
    """Traced ÷ plain on a suite: the interpreters without sys.monitoring are allowed more."""
    return 2.5 if version in ("3.10", "3.11") else 2


def coverage_cell(r, core):
    c = r.get("coverage", {}).get(core)
    if c is None:
        return "–"
    same = "" if c["outcomes_same"] else " (**outcomes differ**)"
    return f"{c['seconds'] / r['plain_seconds']:.2f}{same}"


def suites_table(suites):
    rows = header("CPython", "suite", "tests", "backend", "plain", "vexo × plain (≤ 2; 3.10, "
                  "3.11: ≤ 2.5)", "coverage.py × plain: ctrace", "sysmon", "records",
                  "B stored per record (≤ 64)", "outcomes same", left=4)  # fmt: skip
    for version, results in suites.items():
        for r in results:
            for backend, t in r["traced"].items():
                ratio = t["seconds"] / r["plain_seconds"]
                per_record = t["store_bytes"] / max(t["records"], 1)
                same = t.get("outcomes_same")
                rows.append(
                    f"| {version} | {r['library']} {r['version']} | {r['tests']} | {backend} | "
                    f"{r['plain_seconds']:.1f} s | "
                    f"{ratio:.2f} ({verdict(ratio <= ratio_limit(version))}) | "
                    f"{coverage_cell(r, 'ctrace')} | {coverage_cell(r, 'sysmon')} | "
                    f"{t['records']:,} | {per_record:.1f} ({verdict(per_record <= 64)}) | "
                    f"{'–' if same is None else 'yes' if same else '**no**'} |"
                )
    return rows


def latency_limit(backend):
    """Traced ÷ plain latency: the monitoring backend, which leaves filtered code alone, aims
    lower."""
    return 1.3 if backend == "monitoring" else 2


def wsgi_table(wsgi):
    rows = header("CPython", "backend", "latency, 1 client: plain / traced",
                  "× (≤ 2; monitoring: ≤ 1.3)", "throughput, 8 clients: plain / traced",
                  "× (≥ 0.5)", "requests served / stored", left=3)  # fmt: skip
    for version, w in wsgi.items():
        plain = w["plain"]
        for backend, traced in w["traced"].items():
            latency, throughput = traced["latency_ratio"], traced["throughput_ratio"]
            rows.append(
                f"| {version} | {backend} | "
                f"{plain['latency_ms']:.2f} / {traced['latency_ms']:.2f} ms | "
                f"{latency:.2f} ({verdict(latency <= latency_limit(backend))}) | "
                f"{plain['throughput']:,.0f} / {traced['throughput']:,.0f} req/s | "
                f"{throughput:.2f} ({verdict(throughput >= 0.5)}) | "
                f"{traced['served']:,} / {traced['stored']:,} "
                f"({verdict(traced['served'] == traced['stored'])}) |"
            )
    return rows


def setup_table(setups):
    rows = header("CPython", "profiler made, started, stopped, built", "save: size",
                  "per trace", "per MiB", "stored per MiB")  # fmt: skip
    for version, s in setups.items():
        for i, (label, figures) in enumerate(s["save"].items()):
            setup = f"{s['setup_us']:.0f} µs" if i == 0 else ""
            rows.append(
                f"| {version if i == 0 else ''} | {setup} | {label} | "
                f"{figures['ms_per_trace']:.3f} ms | {figures['ms_per_mib']:.1f} ms | "
                f"{figures['stored_bytes_per_mib'] / 1024:.0f} KiB |"
            )
    return rows


def render(directory):
    now = datetime.datetime.now(datetime.timezone.utc)
    lines = [
        "## Real work",
        "",
        f"Written by `bench/realwork/run` on {now:%Y-%m-%d %H:%M} UTC ({platform.machine()}, "
        f'{os.cpu_count()} CPUs); see bench/README.md, "Real work".',
        "",
    ]
    suites, wsgi, setups = (
        load(directory, "suites"),
        load(directory, "wsgi"),
        load(directory, "setup"),
    )
    if suites:
        lines += [
            "### Third-party test suites under `pytest --vexo` and coverage.py",
            "",
            "Whole pytest processes; coverage.py is `coverage run -m pytest` with"
            " COVERAGE_CORE=ctrace (its C tracer) and, from 3.12 on, COVERAGE_CORE=sysmon.",
            "",
            *suites_table(suites),
            "",
        ]
    if wsgi:
        lines += [
            "### A Flask request through waitress with `VexoMiddleware`",
            "",
            *wsgi_table(wsgi),
            "",
        ]
    if setups:
        lines += ["### Set-up and saving", "", *setup_table(setups), ""]
    return "\n".join(lines)


def main():
    directory, output = sys.argv[1], sys.argv[2]
    text = render(directory)
    replace_section(output, "realwork", text)
    print(text)


if __name__ == "__main__":
    main()
