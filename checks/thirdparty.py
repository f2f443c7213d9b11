"""Real third-party test suites, each run plainly and under `pytest --vexo`: the same tests pass,
fail and are skipped, and every stored trace decodes.

    python checks/thirdparty.py [--python PYTHON] [--cache DIR] [--suite NAME]... [--json FILE]
                                [-- PYTEST ARGS...]

Each library's source distribution is downloaded from PyPI once (pinned below) into the cache
folder and unpacked afresh for every run. Its tests run from the unpacked folder, so the library
is the traced program's own code and every one of its calls is recorded. Outcomes are compared
test by test from pytest's JUnit XML reports. The stored traces must be one per test, each a
trace document that decodes as MessagePack and holds its test's markers. `--json` writes the
figures the benchmark reports: both times, the records stored and the store's size on disk.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from typing import NamedTuple


class Suite(NamedTuple):
    library: str
    version: str
    tests: str  # the tests' folder in the unpacked source

    @property
    def archive(self):
        return f"{self.library}-{self.version}.tar.gz"


# Pure-Python libraries whose source distributions ship their tests, which need nothing but pytest
# and no network, and run in seconds untraced. boltons' tests hold large containers in their
# locals and objects whose __repr__ runs the test's own code.
SUITES = {
    "more-itertools": Suite("more-itertools", "10.5.0", "tests"),
    "boltons": Suite("boltons", "26.2.0", "tests"),
}
PLAIN_TIMEOUT = 600
TRACED_TIMEOUT = 3600


def fetch(python, cache, suite):
    archive = os.path.join(cache, suite.archive)
    if not os.path.exists(archive):
        os.makedirs(cache, exist_ok=True)
        subprocess.run(
            [python, "-m", "pip", "download", "--no-binary", ":all:", "--no-deps",
             "--disable-pip-version-check", "-q", "-d", cache, f"{suite.library}=={suite.version}"],
            check=True,
        )  # fmt: skip
    return archive


def unpack(archive, folder):
    with tarfile.open(archive) as tar:
        if sys.version_info >= (3, 12):
            tar.extractall(folder, filter="data")
        else:
            tar.extractall(folder)
    (entry,) = os.listdir(folder)
    return os.path.join(folder, entry)


def run_pytest(python, source, tests, report, extra, timeout):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTEST_ADDOPTS", None)
    started = time.monotonic()
    completed = subprocess.run(
        [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
         *extra, tests],
        cwd=source,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )  # fmt: skip
    return completed, time.monotonic() - started


def outcomes(report):
    """Test id to outcome ("passed", "failed", "error", "skipped"), from a JUnit XML report."""
    results = {}
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        test_id = f"{case.get('classname')}::{case.get('name')}"
        outcome = "passed"
        for child in case:
            if child.tag in ("failure", "error", "skipped"):
                outcome = {"failure": "failed"}.get(child.tag, child.tag)
        previous = results.get(test_id)
        results[test_id] = outcome if previous in (None, "passed") else previous
    return results


def check_traces(python, db_path, expected):
    script = r"""
import sys, msgpack
from vexo.db import list_traces, load_trace
db_path, expected = sys.argv[1], int(sys.argv[2])
problems, nodeids, records_stored = [], [], 0
for summary in list_traces(db_path):
    document = msgpack.unpackb(load_trace(db_path, summary.trace_id), raw=False,
                               strict_map_key=False)
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    records_stored += len(records)
    starts = [r["nodeid"] for r in records if r.get("type") == "start_test"]
    ends = [r["nodeid"] for r in records if r.get("type") == "end_test"]
    if len(starts) != 1 or starts != ends:
        problems.append(f"{summary.trace_id}: markers {starts} / {ends}")
    nodeids += starts
if len(nodeids) != expected or len(set(nodeids)) != len(nodeids):
    problems.append(f"{len(nodeids)} traces of {len(set(nodeids))} tests, {expected} expected")
print(len(nodeids), records_stored)
for problem in problems[:20]:
    print(problem)
"""
    completed = subprocess.run(
        [python, "-c", script, db_path, str(expected)], capture_output=True, text=True
    )
    if completed.returncode != 0:
        return 0, 0, [f"the traces do not decode: {completed.stderr[-3000:]}"]
    lines = completed.stdout.splitlines()
    traces, records = lines[0].split()
    return int(traces), int(records), lines[1:]


def store_size(db_path):
    """Bytes on disk of the database with its write-ahead log."""
    return sum(os.path.getsize(p) for p in (db_path, db_path + "-wal") if os.path.exists(p))


def run_suite(python, cache, suite, pytest_args, folder):
    """Problems found, and the run's figures."""
    name = f"{suite.library} {suite.version}"
    archive = fetch(python, cache, suite)
    source = unpack(archive, os.path.join(folder, "source"))
    plain_report = os.path.join(folder, "plain.xml")
    plain, plain_seconds = run_pytest(
        python, source, suite.tests, plain_report, pytest_args, PLAIN_TIMEOUT
    )
    print(f"{name}, plain: {plain.stdout.strip().splitlines()[-1]}")
    db_path = os.path.join(folder, "traces.sqlite3")
    traced_report = os.path.join(folder, "traced.xml")
    traced_args = ["--vexo", f"--vexo-db={db_path}", *pytest_args]
    traced, traced_seconds = run_pytest(
        python, source, suite.tests, traced_report, traced_args, TRACED_TIMEOUT
    )
    print(f"{name}, traced: {' / '.join(traced.stdout.strip().splitlines()[-2:])}")
    print(f"times: {plain_seconds:.1f} s plain, {traced_seconds:.1f} s traced")
    figures = {"library": suite.library, "version": suite.version,
               "plain_seconds": plain_seconds, "traced_seconds": traced_seconds}  # fmt: skip
    problems = []
    if traced.returncode != plain.returncode:
        problems.append(
            f"pytest exit status {traced.returncode} traced, {plain.returncode} plain:\n"
            f"{traced.stdout[-3000:]}\n{traced.stderr[-3000:]}"
        )
    if not os.path.exists(traced_report):
        problems.append(f"no report from the traced run:\n{traced.stderr[-3000:]}")
        return problems, figures
    expected, actual = outcomes(plain_report), outcomes(traced_report)
    for test_id in sorted(expected.keys() | actual.keys()):
        if expected.get(test_id) != actual.get(test_id):
            problems.append(
                f"{test_id}: {actual.get(test_id)} traced, {expected.get(test_id)} plain"
            )
    decoded, records, trace_problems = check_traces(python, db_path, len(expected))
    problems += trace_problems
    figures.update(tests=len(expected), traces=decoded, records=records,
                   store_bytes=store_size(db_path))  # fmt: skip
    print(f"{decoded} traces decoded, {len(expected)} tests, {records} records, "
          f"{figures['store_bytes'] / max(records, 1):.0f} bytes stored per record")  # fmt: skip
    return problems, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cache", default=os.path.join("build", "thirdparty"))
    parser.add_argument("--suite", action="append", choices=sorted(SUITES),
                        help="run only this suite (repeatable; default: all)")  # fmt: skip
    parser.add_argument("--json", help="write the figures of each suite to this file")
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    parser.add_argument("pytest_args", nargs="*", help="more arguments for both pytest runs")
    args = parser.parse_args()
    python = os.path.abspath(args.python)
    problems, results = [], []
    for name in args.suite or sorted(SUITES):
        folder = tempfile.mkdtemp(prefix=f"vexo-thirdparty-{name}-")
        try:
            found, figures = run_suite(
                python, os.path.abspath(args.cache), SUITES[name], args.pytest_args, folder
            )
        finally:
            if args.keep:
                print(f"kept {folder}")
            else:
                shutil.rmtree(folder, ignore_errors=True)
        problems += [f"{name}: {problem}" for problem in found]
        results.append(figures)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)
    for problem in problems[:50]:
        print("    " + problem.replace("\n", "\n    "))
    print("the same outcomes traced and untraced" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
