"""Real third-party test suites, each run plainly and under `pytest --vexo`: the same tests pass,
fail and are skipped, and every stored trace decodes.

    python checks/thirdparty.py [--python PYTHON] [--cache DIR] [--suite NAME]...
                                [--backend BACKEND]... [--json FILE] [-- PYTEST ARGS...]

Each library's source distribution is downloaded from PyPI once (pinned below) into the cache
folder and unpacked afresh for every run. Its tests run from the unpacked folder, so the library
is the traced program's own code and every one of its calls is recorded. Outcomes are compared
test by test from pytest's JUnit XML reports. The stored traces must be one per test, each a
trace document that decodes as MessagePack and holds its test's markers. With `--backend`, the
suite is traced once with each backend named. `--json` writes the figures the benchmark reports:
the plain time and, per traced run, its time, the records stored and the store's size on disk.
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


def run_suite(python, cache, suite, backends, pytest_args, folder):
    """Problems found, and the run's figures: the plain run's, and each traced run's under the
    name of its backend ("default" for the settings' own)."""
    name = f"{suite.library} {suite.version}"
    archive = fetch(python, cache, suite)
    source = unpack(archive, os.path.join(folder, "source"))
    plain_report = os.path.join(folder, "plain.xml")
    plain, plain_seconds = run_pytest(
        python, source, suite.tests, plain_report, pytest_args, PLAIN_TIMEOUT
    )
    print(f"{name}, plain: {plain.stdout.strip().splitlines()[-1]}")
    expected = outcomes(plain_report)
    figures = {"library": suite.library, "version": suite.version, "tests": len(expected),
               "plain_seconds": plain_seconds, "traced": {}}  # fmt: skip
    problems = []
    for backend in backends:
        label = backend or "default"
        found, figures["traced"][label] = traced_run(
            python, source, suite, backend, (plain.returncode, expected), pytest_args,
            os.path.join(folder, label),
        )  # fmt: skip
        problems += [f"{label}: {problem}" if backend else problem for problem in found]
    return problems, figures


def traced_run(python, source, suite, backend, plain, pytest_args, folder):
    """One run under `pytest --vexo` (with the backend, if one is named), held against the plain
    run's exit status and outcomes: the problems found, and its figures."""
    os.makedirs(folder)
    db_path = os.path.join(folder, "traces.sqlite3")
    report = os.path.join(folder, "traced.xml")
    vexo_args = ["--vexo", f"--vexo-db={db_path}"]
    if backend:
        vexo_args.append(f"--vexo-backend={backend}")
    traced, seconds = run_pytest(
        python, source, suite.tests, report, [*vexo_args, *pytest_args], TRACED_TIMEOUT
    )
    label = f"{suite.library} {suite.version}, traced{f' ({backend})' if backend else ''}"
    print(f"{label}: {' / '.join(traced.stdout.strip().splitlines()[-2:])}, {seconds:.1f} s")
    figures = {"seconds": seconds}
    plain_status, expected = plain
    problems = []
    if traced.returncode != plain_status:
        problems.append(
            f"pytest exit status {traced.returncode} traced, {plain_status} plain:\n"
            f"{traced.stdout[-3000:]}\n{traced.stderr[-3000:]}"
        )
    if not os.path.exists(report):
        problems.append(f"no report from the traced run:\n{traced.stderr[-3000:]}")
        return problems, figures
    actual = outcomes(report)
    for test_id in sorted(expected.keys() | actual.keys()):
        if expected.get(test_id) != actual.get(test_id):
            problems.append(
                f"{test_id}: {actual.get(test_id)} traced, {expected.get(test_id)} plain"
            )
    decoded, records, trace_problems = check_traces(python, db_path, len(expected))
    problems += trace_problems
    figures.update(traces=decoded, records=records, store_bytes=store_size(db_path))
    print(f"{decoded} traces decoded, {len(expected)} tests, {records} records, "
          f"{figures['store_bytes'] / max(records, 1):.0f} bytes stored per record")  # fmt: skip
    return problems, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cache", default=os.path.join("build", "thirdparty"))
    parser.add_argument("--suite", action="append", choices=sorted(SUITES),
                        help="run only this suite (repeatable; default: all)")  # fmt: skip
    parser.add_argument("--backend", action="append", choices=("auto", "monitoring", "profile"),
                        help="trace once with each backend named (default: once, with the"
                        " settings' own)")  # fmt: skip
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
                python, os.path.abspath(args.cache), SUITES[name], args.backend or [None],
                args.pytest_args, folder,
            )  # fmt: skip
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
