"""A FastAPI request through uvicorn (one event loop serving every request), untraced and behind
`VexoASGIMiddleware` with each backend, side by side: latency with one client, throughput with
fifty, and whether every request served was stored.

    python bench/realwork/asgi.py [--rounds N] [--seconds S] [--backend B]... [--out FILE.json]
    python bench/realwork/asgi.py --report FILE.json...   # the section "asgi" of RESULTS.md

The same driver as `wsgi.py` (wrk, a fresh server per round and mode, the order alternating),
with `asgi_shop.py` as the server.
"""

from __future__ import annotations

import json
import os
import sys

import wsgi

RESULTS = os.path.join(os.path.dirname(wsgi.HERE), "RESULTS.md")
LATENCY_TARGET = 1.3
THROUGHPUT_TARGET = 0.7


def report(paths):
    """The section "asgi" of RESULTS.md, from the JSON of one run per interpreter."""
    sys.path.insert(0, os.path.dirname(wsgi.HERE))
    from sections import replace_section

    lines = [
        "## A FastAPI request through uvicorn with `VexoASGIMiddleware`",
        "",
        "Written by `python bench/realwork/asgi.py` (each interpreter, then `--report`). One",
        "async view that awaits once and calls two functions of the app; every request served",
        "must be stored as its own trace.",
        "",
        f"| CPython | backend | latency, 1 client: plain / traced | × (≤ {LATENCY_TARGET}) "
        f"| throughput, 50 clients: plain / traced | × (≥ {THROUGHPUT_TARGET}) "
        "| requests served / stored |",
        "|---|---|---|---:|---:|---:|---:|",
    ]
    lines_after = [
        "",
        "What a traced request adds with the monitoring backend is its own records and its",
        "trace's set-up and save, not the search for its trace: driven in one process without a",
        "network (3.12), the view costs 64 µs a request untraced and about 150 µs traced, of",
        "which some 15 µs make, start, end and queue the trace, 10 to 40 µs go to the writer",
        "thread, and the rest records the 20 calls and returns of the app and its driver (about",
        "3.5 µs each with the default safe values). Library code costs one event per location",
        "and is then switched off for every request. The profile hook filters library code again",
        'in each request, whose profiler starts with an empty code cache (its plugin "request"',
        "keeps it from sharing one), the same cost as under WSGI.",
    ]
    for path in paths:
        with open(path) as figures:
            run = json.load(figures)
        plain = run["plain"]
        for backend, traced in run["traced"].items():
            latency, throughput = traced["latency_ratio"], traced["throughput_ratio"]
            stored = traced["served"] == traced["stored"]
            lines.append(
                f"| {run['python']} | {backend} "
                f"| {plain['latency_ms']:.2f} / {traced['latency_ms']:.2f} ms "
                f"| {latency:.2f} ({met(latency <= LATENCY_TARGET)}) "
                f"| {plain['throughput']:,.0f} / {traced['throughput']:,.0f} req/s "
                f"| {throughput:.2f} ({met(throughput >= THROUGHPUT_TARGET)}) "
                f"| {traced['served']:,} / {traced['stored']:,} ({met(stored)}) |"
            )
    replace_section(RESULTS, "asgi", "\n".join(lines + lines_after))


def met(condition):
    return "met" if condition else "**not met**"


if __name__ == "__main__":
    if sys.argv[1:2] == ["--report"]:
        report(sys.argv[2:])
    else:
        wsgi.main(__doc__, app="asgi_shop.py", clients=50)
