"""What one trace costs besides its events: building, starting and stopping a profiler, and
storing its document.

    python bench/realwork/setup_save.py [--out FILE.json]

- Set-up: a profiler made from settings, started, a small function of ours called, stopped and
  its trace built, as the middleware and the pytest plugin do once per request or test; the mean
  over a few thousand, in microseconds.
- Saving: a child process stores K copies of a real trace document of a given size and exits (the
  exit waits for everything queued to be written); its wall time less that of a child that
  stores nothing, per trace and per MiB of document, with the bytes the database takes per MiB.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

SETUP_CYCLES = 3000
SIZES = {"1 KiB": 1 << 10, "64 KiB": 64 << 10, "1 MiB": 1 << 20, "16 MiB": 16 << 20}
TOTAL_PER_SIZE = 64 << 20  # bytes of documents stored per size
MAX_COPIES = 1000

SAVER = r"""
import sys, msgpack
from vexo import Profiler
db_path, size, copies = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def work(n, items):
    return [dict(item, n=n) for item in items]

# A trace of a real run whose records hold small realistic values, grown to the size wanted.
profiler = Profiler(db_path=db_path, source="bench save").start()
items = [{"name": f"item {i}", "price": i * 1.25, "tags": ["a", "b"]} for i in range(8)]
record = 0
document = b""
while len(document) < size:
    for _ in range(max(1, (size - len(document)) // 2000)):
        work(record, items)
        record += 1
    profiler.stop()
    document += profiler.build()
    profiler.start()
profiler.stop()
documents = [document] * copies
if copies:
    from vexo.common.ids import new_trace_id
    from vexo.db import save_trace_in_sqlite
    for doc in documents:
        save_trace_in_sqlite(db_path, new_trace_id(), timeout=60, msgpack=doc)
"""


def setup_cost():
    from vexo.config import load_settings
    from vexo.profiler import Profiler

    def handle(order):
        return sum(order)

    settings = load_settings()
    with tempfile.TemporaryDirectory() as folder:
        settings = settings.overridden(db_path=os.path.join(folder, "db.sqlite3"))
        rounds = []
        for _ in range(5):
            started = time.perf_counter()
            for _ in range(SETUP_CYCLES):
                profiler = Profiler(settings.profiler_config(), db_path=settings.db_path,
                                    source="bench setup")  # fmt: skip
                profiler.start()
                handle([1, 2, 3])
                profiler.stop()
                profiler.build()
            rounds.append((time.perf_counter() - started) / SETUP_CYCLES * 1e6)
    print(f"set-up: {statistics.median(rounds):.1f} µs", file=sys.stderr)
    return statistics.median(rounds)


def save_cost():
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        # Run from a file of its own: code given with -c is named "<string>", which the tracer
        # leaves out, and then the records the document is grown from would never come.
        saver = os.path.join(folder, "saver.py")
        with open(saver, "w") as out:
            out.write(SAVER)
        for label, size in SIZES.items():
            copies = min(MAX_COPIES, max(2, TOTAL_PER_SIZE // size))
            runs = []
            for attempt in range(3):
                for stored in (0, copies):
                    db_path = os.path.join(folder, f"{size}-{attempt}-{stored}.sqlite3")
                    started = time.perf_counter()
                    subprocess.run([sys.executable, saver, db_path, str(size), str(stored)],
                                   check=True, cwd=folder)  # fmt: skip
                    runs.append((stored, time.perf_counter() - started, db_path))
            base = statistics.median(t for n, t, _ in runs if n == 0)
            full = statistics.median(t for n, t, _ in runs if n)
            db_path = next(p for n, _, p in runs if n)
            on_disk = sum(os.path.getsize(p) for p in (db_path, db_path + "-wal")
                          if os.path.exists(p))  # fmt: skip
            mib = copies * size / (1 << 20)
            results[label] = {
                "copies": copies,
                "ms_per_trace": (full - base) / copies * 1e3,
                "ms_per_mib": (full - base) / mib * 1e3,
                "stored_bytes_per_mib": on_disk / mib,
            }
            print(label, results[label], file=sys.stderr)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out")
    args = parser.parse_args()
    summary = {"python": platform.python_version(), "setup_us": setup_cost(),
               "save": save_cost()}  # fmt: skip
    print(json.dumps(summary, indent=2))
    if args.out:
        with open(args.out, "w") as out:
            json.dump(summary, out, indent=2)


if __name__ == "__main__":
    main()
