"""The trace explorer on large traces, in headless Chromium: time from opening a trace page to the
first tree shown (the server indexes the trace on that first request), expanding a node of 1,000
children, and a search by value; and the server's memory per MiB of document.

    .venvs/3.12/bin/python bench/viewer.py [RECORDS ...]    (default: 10000 100000 500000)

Writes its section of bench/RESULTS.md (and prints it). Needs chromium, chromedriver and selenium
(the test extra). The traces are made up: a root call whose children each have 1,000 leaf
calls, every call with a few arguments and locals; one leaf holds the searched value.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import msgpack
from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from sections import replace_section
from vexo.db import save_trace_in_sqlite

CHILDREN = 1000
NEEDLE = "needle-ada-7"


def record(event, name, frame, clock, arg=None, values=None, line=1):
    return {
        "path": f"/app/service.py:{line}",
        "co_name": name,
        "qualname": f"service.{name}",
        "event": event,
        "frame_id": f"frm_{frame:026d}",
        "arg": arg,
        "locals": values or {},
        "thread": "MainThread",
        "thread_native_id": 1,
        "timestamp": clock,
        "type": "frame",
        "user_code_call_site": None,
    }


def document(records: int, trace_id: str) -> bytes:
    steps = max(records // 2 // (CHILDREN + 1), 1)
    frames = []
    clock = 1000.0
    frame = 0

    def tick():
        nonlocal clock
        clock += 1e-6
        return clock

    frames.append(record("call", "main", 0, tick(), values={"argv": ["serve"]}))
    for step in range(steps):
        frame += 1
        step_frame = frame
        values = {"step": step, "user": f"user{step}", "options": {"retries": 3, "fast": True}}
        frames.append(record("call", "handle", step_frame, tick(), values=values, line=10))
        for leaf in range(CHILDREN):
            frame += 1
            name = NEEDLE if (step, leaf) == (steps // 2, CHILDREN // 2) else f"item-{leaf}"
            values = {"index": leaf, "name": name, "payload": "x" * 40}
            frames.append(record("call", "work", frame, tick(), values=values, line=20))
            result = {**values, "total": leaf * 2}
            frames.append(record("return", "work", frame, tick(), leaf * 2, result, line=22))
        frames.append(record("return", "handle", step_frame, tick(), step, values, line=12))
    frames.append(record("return", "main", 0, tick(), 0, line=3))
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "timestamp": 1000.0,
            "main_thread_id": 1,
            "frames_of_interest": frames,
            "frames": {},
            "meta": {"source": f"script bench-{records}.py", "version": "bench"},
            "command_line_args": ["bench.py"],
            "current_commit_sha": None,
        }
    )


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def memory_kib(pid: int) -> tuple[int, int]:
    """(resident, peak resident) KiB of a process."""
    status = Path(f"/proc/{pid}/status").read_text().splitlines()
    fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,900"):
        options.add_argument(argument)
    return webdriver.Chrome(
        service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options
    )


def wait(driver, condition, timeout=300):
    return WebDriverWait(driver, timeout, poll_frequency=0.01).until(lambda d: condition(d))


def measure(records: int, folder: str, driver) -> dict[str, float]:
    db = os.path.join(folder, f"bench-{records}.sqlite3")
    trace_id = f"trc_bench{records}"
    data = document(records, trace_id)
    save_trace_in_sqlite(db, trace_id, msgpack=data, wait=True)  # stored before serving
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "vexo", "--db", db, "serve", "--port", str(port)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        server.stdout.readline()  # listening
        before, _ = memory_kib(server.pid)
        url = f"http://127.0.0.1:{port}/#/trace/{trace_id}"
        started = time.perf_counter()
        driver.get(url)
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#tree .kind-call"))
        first_tree = time.perf_counter() - started
        after, peak = memory_kib(server.pid)
        # The root's children show with the first tree; one of them has 1,000 children.
        steps = wait(
            driver,
            lambda d: d.find_elements(By.CSS_SELECTOR, "#tree .kind-call > .children > .node"),
        )
        step = steps[len(steps) // 2]
        started = time.perf_counter()
        step.find_element(By.CSS_SELECTOR, ".toggle").click()
        shown = f".children > .node:nth-child({CHILDREN})"
        wait(driver, lambda d: step.find_elements(By.CSS_SELECTOR, shown))
        expand = time.perf_counter() - started
        box = driver.find_element(By.ID, "search-input")
        box.send_keys(NEEDLE)
        driver.find_element(By.CSS_SELECTOR, "#search-by option[value=value]").click()
        started = time.perf_counter()
        driver.find_element(By.ID, "search-button").click()
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#search-results .result"))
        search = time.perf_counter() - started
        searched, _ = memory_kib(server.pid)
    finally:
        server.terminate()
        server.wait()
    mib = len(data) / (1 << 20)
    return {
        "records": records,
        "mib": mib,
        "first_tree": first_tree,
        "expand": expand,
        "search": search,
        "held_per_mib": (after - before) / 1024 / mib,
        "searched_per_mib": (searched - before) / 1024 / mib,
        "peak_per_mib": (peak - before) / 1024 / mib,
    }


def main() -> None:
    sizes = [int(arg) for arg in sys.argv[1:]] or [10_000, 100_000, 500_000]
    driver = browser()
    rows = []
    try:
        with tempfile.TemporaryDirectory() as folder:
            for records in sizes:
                rows.append(measure(records, folder, driver))
                print(rows[-1], file=sys.stderr)
    finally:
        driver.quit()
    version = driver.capabilities.get("browserVersion", "?")
    lines = [
        "## Trace explorer",
        "",
        f"`bench/viewer.py`, CPython {sys.version.split()[0]}, headless Chromium {version}, on this"
        f" shared 2-core machine (load average {os.getloadavg()[0]:.1f} at the end). Time to first"
        " tree: from asking for the trace page until its first call is shown, the server indexing"
        " the trace on that first request. Expand: a node's 1,000 children. Search: a value held"
        " by one call. Memory: the server's resident memory after indexing, less before, per MiB"
        " of document (peak: during indexing; searched: after the search, which makes the"
        " lowercase copy of the records that a search by value looks through).",
        "",
        "| records | document MiB | first tree (s) | expand (s) | value search (s) |"
        " held MiB per MiB | peak MiB per MiB | searched MiB per MiB |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['records']:,} | {row['mib']:.1f} | {row['first_tree']:.2f} |"
            f" {row['expand']:.2f} | {row['search']:.2f} | {row['held_per_mib']:.1f} |"
            f" {row['peak_per_mib']:.1f} | {row['searched_per_mib']:.1f} |"
        )
    text = "\n".join(lines)
    replace_section(os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"),
                    "explorer", text)  # fmt: skip
    print(text)


if __name__ == "__main__":
    main()
