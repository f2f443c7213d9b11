"""What storing traces costs: set-up of a profiler, a save on the traced thread, the writer's
time per trace, and compression per MiB of real trace documents.

    python bench/store.py [--out bench/RESULTS.md]   # its "Store costs" section

Documents come from tracing the user-heavy workload: a request-sized one (a few records) and
large ones (whole runs, several MiB). Figures are medians of repeated timings.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zstandard  # noqa: E402

import vexo.db  # noqa: E402
from sections import replace_section  # noqa: E402
from vexo import Profiler  # noqa: E402
from vexo.config import Settings  # noqa: E402
from workloads import user_heavy  # noqa: E402

MIB = 2**20


def median_us(work, repeat: int, rounds: int = 7) -> float:
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(repeat):
            work()
        samples.append((time.perf_counter() - start) / repeat * 1e6)
    return statistics.median(samples)


def small_request(n: int) -> int:
    return n + 1


def request_document(db_path: str) -> bytes:
    profiler = Profiler(db_path=db_path, source="wsgi GET /bench").start()
    small_request(1)
    small_request(2)
    profiler.stop()
    return profiler.build()


def large_documents(db_path: str) -> tuple[list[bytes], int]:
    documents, records = [], 0
    for _ in range(3):
        profiler = Profiler(db_path=db_path, source="script bench").start()
        user_heavy.run(user_heavy.SIZE // 4)
        profiler.stop()
        document = profiler.build()
        documents.append(document)
        records += vexo.db.summarize_trace(document).record_count or 0
    return documents, records


def set_up_cost(db_path: str) -> dict[str, float]:
    settings = Settings(db_path=db_path)

    def build() -> Profiler:
        return Profiler(settings.profiler_config(), db_path=db_path, source="wsgi GET /")

    def build_start_stop() -> None:
        build().start().stop()

    return {
        "build a profiler": median_us(build, 2000),
        "build, start and stop a profiler": median_us(build_start_stop, 2000),
    }


def save_cost(folder: str, document: bytes) -> dict[str, float]:
    path = os.path.join(folder, "saves.sqlite3")
    vexo.db.prepare_database(path)
    counter = iter(range(10**9))

    def save(wait: bool) -> None:
        vexo.db.save_trace_in_sqlite(path, f"trc_{next(counter)}", msgpack=document, wait=wait)

    queued = median_us(lambda: save(False), 200)
    vexo.db.flush()
    count = 2000
    start = time.perf_counter()
    for _ in range(count):
        save(False)
    vexo.db.flush()
    per_trace = (time.perf_counter() - start) / count * 1e6
    return {
        "save on the traced thread (queued)": queued,
        "queued save until written, per trace (batches)": per_trace,
        "waited save, one trace per commit": median_us(lambda: save(True), 100, rounds=5),
    }


def compression(documents: list[bytes], records: int) -> list[tuple[str, float, float, float]]:
    total = sum(map(len, documents))
    codecs = {
        "none": lambda d: d,
        "zstd level 1 (stored)": zstandard.ZstdCompressor(level=1).compress,
        "zstd level 3": zstandard.ZstdCompressor(level=3).compress,
        "zlib level 1": lambda d: zlib.compress(d, 1),
        "zlib level 6": lambda d: zlib.compress(d, 6),
    }
    rows = []
    for name, compress in codecs.items():
        start = time.perf_counter()
        size = sum(len(compress(d)) for d in documents)
        seconds = time.perf_counter() - start
        rows.append((name, seconds * 1000 / (total / MIB), total / size, size / records))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "RESULTS.md"))
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        db_path = os.path.join(folder, "db.sqlite3")
        setup = set_up_cost(db_path)
        document = request_document(db_path)
        saves = save_cost(folder, document)
        documents, records = large_documents(db_path)
        codecs = compression(documents, records)
    total = sum(map(len, documents))
    lines = [
        "## Store costs",
        "",
        "Written by `python bench/store.py`.",
        "",
        f"- Date: {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}",
        f"- CPython {platform.python_version()}, {os.cpu_count()} CPUs,"
        f" load average (1 min) {os.getloadavg()[0]:.1f}",
        "",
        "| operation | µs |",
        "|---|---|",
        *(f"| {name} | {value:,.1f} |" for name, value in {**setup, **saves}.items()),
        "",
        f"Saves of a request-sized document of {len(document):,} B. Compression of"
        f" {len(documents)} documents of {total / MIB:.1f} MiB and {records:,} records in all:",
        "",
        "| codec | ms per MiB | ratio | stored B per record |",
        "|---|---|---|---|",
        *(f"| {n} | {ms:.2f} | {ratio:.1f} | {per:.1f} |" for n, ms, ratio, per in codecs),
        "",
    ]
    text = "\n".join(lines)
    replace_section(options.out, "store", text)
    print(text)


if __name__ == "__main__":
    main()
