"""The PostgreSQL store next to SQLite on the same machine: saves per second from one process and
from eight, listing a store of 50,000 traces, and the explorer's trace list over each.

    python bench/postgres.py [--out bench/RESULTS.md]   # its "PostgreSQL store" section

Starts its own PostgreSQL server from Debian's packages (as the tests do) and stops it after.
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
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import postgres_server  # noqa: E402
from sections import replace_section  # noqa: E402
from vexo.db import count_traces, flush, list_traces, save_trace_in_sqlite  # noqa: E402
from vexo.explore.serve import ExplorerServer  # noqa: E402
from vexo.store import open_store  # noqa: E402
from vexo.store.codec import DEFAULT_CODEC, compress_all  # noqa: E402

SAVES = 400
LISTED = 50_000
# A request-sized trace document: a few records of a small web request.
DOCUMENT = bytes([0x90]) + os.urandom(64).hex().encode() * 30

SAVER = """
import sys, time
from vexo.db import save_trace_in_sqlite, flush
store, worker, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
document = bytes.fromhex(sys.argv[4])
sys.stdin.readline()
for number in range(count):
    save_trace_in_sqlite(store, f"trc_{worker}_{number}", msgpack=document)
flush()
"""


def saves_per_second(store: str, processes: int) -> float:
    """Saves of request-sized traces per second, all processes together, from the first save to
    the last one stored."""
    per_process = SAVES // processes
    savers = [
        subprocess.Popen(
            [sys.executable, "-c", SAVER, store, str(n), str(per_process), DOCUMENT.hex()],
            stdin=subprocess.PIPE,
        )
        for n in range(processes)
    ]
    time.sleep(1.0)  # let them import
    start = time.perf_counter()
    for saver in savers:
        saver.stdin.write(b"go\n")
        saver.stdin.flush()
    for saver in savers:
        saver.stdin.close()
        if saver.wait(timeout=300) != 0:
            raise SystemExit("a saving process failed")
    return per_process * processes / (time.perf_counter() - start)


def fill(store: str, count: int) -> None:
    """`count` traces of mixed kinds, written in large batches straight into the store."""
    writing = open_store(store).writing()
    try:
        (stored,) = compress_all([DOCUMENT])
        sources = ["pytest tests/test_x.py::test_%d", "wsgi GET /item/%d", "script run_%d.py"]
        kinds = ["test", "request", "script"]
        for start in range(0, count, 5_000):
            rows = [
                (f"trc_fill_{n:06}", 1.7e9 + n, 1.7e9 + n, sources[n % 3] % n, 12, len(DOCUMENT),
                 "passed" if n % 3 == 0 else None, DEFAULT_CODEC, stored, kinds[n % 3],
                 None, None, None, None)
                for n in range(start, min(count, start + 5_000))
            ]  # fmt: skip
            writing.write(rows)
    finally:
        writing.close()


def median_ms(work, rounds: int = 9) -> float:
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        samples.append((time.perf_counter() - start) * 1e3)
    return statistics.median(samples)


def listing_ms(store: str) -> dict[str, float]:
    server = ExplorerServer(store, port=0)
    import threading

    threading.Thread(target=server.serve_forever, daemon=True).start()
    page = f"{server.url}api/traces?offset=100&limit=50&kind=test&text=test_1"

    def explorer_page() -> None:
        with urllib.request.urlopen(page) as response:
            json.load(response)

    try:
        return {
            "newest 50": median_ms(lambda: list_traces(store, limit=50)),
            "count": median_ms(lambda: count_traces(store)),
            "filtered page": median_ms(
                lambda: list_traces(store, limit=50, kind="test", text="test_1", offset=100)
            ),  # fmt: skip
            "explorer list": median_ms(explorer_page),
        }
    finally:
        server.shutdown()
        server.server_close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", help="write the section into this RESULTS.md")
    options = parser.parse_args()
    server = postgres_server.PostgresServer(postgres_server.binaries()).start()
    folder = tempfile.mkdtemp(prefix="vexo-bench-")
    try:
        rows = []
        for label, store_of in (
            ("SQLite", lambda name: os.path.join(folder, f"{name}.sqlite3")),
            ("PostgreSQL", server.create_database),
        ):
            one, eight = (
                saves_per_second(store_of("one"), 1),
                saves_per_second(store_of("eight"), 8),
            )
            listed = store_of("listed")
            fill(listed, LISTED)
            save_trace_in_sqlite(listed, "trc_last", msgpack=DOCUMENT)
            flush()
            rows.append((label, one, eight, listing_ms(listed)))
            print(label, rows[-1], flush=True)
    finally:
        server.remove()
    markdown = section(rows)
    print(markdown)
    if options.out:
        replace_section(options.out, "postgres", markdown)


def section(rows) -> str:
    load = os.getloadavg()[0]
    lines = [
        "## PostgreSQL store",
        "",
        f"Written by `bench/postgres.py` (load average {load:.1f} on {os.cpu_count()} CPUs):"
        " a PostgreSQL 15 server started by the benchmark on this machine (fsync off, as in the"
        " tests), next to a SQLite file on the same disk. Saves: request-sized documents"
        f" ({len(DOCUMENT)} B), {SAVES} in all, queued without waiting, timed from the first save"
        f" to the last one stored. Listing: a store of {LISTED:,} traces, medians of 9 reads.",
        "",
        "| store | saves/s, 1 process | saves/s, 8 processes | newest 50 | count | filtered page"
        " | explorer's list (HTTP) |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for label, one, eight, listed in rows:
        lines.append(
            f"| {label} | {one:,.0f} | {eight:,.0f} | {listed['newest 50']:.1f} ms"
            f" | {listed['count']:.1f} ms | {listed['filtered page']:.1f} ms"
            f" | {listed['explorer list']:.1f} ms |"
        )
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
