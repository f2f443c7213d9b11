"""A real third-party test suite, run plainly and under `pytest --vexo`: the same tests pass, fail
and are skipped, and every stored trace decodes.

    python checks/thirdparty.py [--python PYTHON] [--cache DIR] [-- PYTEST ARGS...]

The library's source distribution is downloaded from PyPI once (pinned below) into the cache
folder and unpacked afresh for every run. Its tests run from the unpacked folder, so the library
is the traced program's own code and every one of its calls is recorded. Outcomes are compared
test by test from pytest's JUnit XML reports. The stored traces must be one per test, each a
trace document that decodes as MessagePack and holds its test's markers.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ElementTree

# A pure-Python library whose source distribution ships its tests, which need nothing but pytest
# and no network, and run in seconds untraced.
LIBRARY = "more-itertools"
VERSION = "10.5.0"
ARCHIVE = f"more-itertools-{VERSION}.tar.gz"
TESTS = "tests"
PLAIN_TIMEOUT = 600
TRACED_TIMEOUT = 3600


def fetch(python, cache):
    archive = os.path.join(cache, ARCHIVE)
    if not os.path.exists(archive):
        os.makedirs(cache, exist_ok=True)
        subprocess.run(
            [python, "-m", "pip", "download", "--no-binary", ":all:", "--no-deps",
             "--disable-pip-version-check", "-q", "-d", cache, f"{LIBRARY}=={VERSION}"],
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


def run_pytest(python, source, report, extra, timeout):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTEST_ADDOPTS", None)
    started = time.monotonic()
    completed = subprocess.run(
        [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
         *extra, TESTS],
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
problems, nodeids = [], []
for summary in list_traces(db_path):
    document = msgpack.unpackb(load_trace(db_path, summary.trace_id), raw=False,
                               strict_map_key=False)
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records += thread_records
    starts = [r["nodeid"] for r in records if r.get("type") == "start_test"]
    ends = [r["nodeid"] for r in records if r.get("type") == "end_test"]
    if len(starts) != 1 or starts != ends:
        problems.append(f"{summary.trace_id}: markers {starts} / {ends}")
    nodeids += starts
if len(nodeids) != expected or len(set(nodeids)) != len(nodeids):
    problems.append(f"{len(nodeids)} traces of {len(set(nodeids))} tests, {expected} expected")
print(len(nodeids))
for problem in problems[:20]:
    print(problem)
"""
    completed = subprocess.run(
        [python, "-c", script, db_path, str(expected)], capture_output=True, text=True
    )
    if completed.returncode != 0:
        return 0, [f"the traces do not decode: {completed.stderr[-3000:]}"]
    lines = completed.stdout.splitlines()
    return int(lines[0]), lines[1:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cache", default=os.path.join("build", "thirdparty"))
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    parser.add_argument("pytest_args", nargs="*", help="more arguments for both pytest runs")
    args = parser.parse_args()
    python = os.path.abspath(args.python)
    archive = fetch(python, os.path.abspath(args.cache))
    folder = tempfile.mkdtemp(prefix="vexo-thirdparty-")
    problems = []
    try:
        source = unpack(archive, os.path.join(folder, "source"))
        plain, plain_seconds = run_pytest(
            python, source, os.path.join(folder, "plain.xml"), args.pytest_args, PLAIN_TIMEOUT
        )
        print(f"{LIBRARY} {VERSION}, plain: {plain.stdout.strip().splitlines()[-1]}")
        db_path = os.path.join(folder, "traces.sqlite3")
        traced, traced_seconds = run_pytest(
            python,
            source,
            os.path.join(folder, "traced.xml"),
            ["--vexo", f"--vexo-db={db_path}", *args.pytest_args],
            TRACED_TIMEOUT,
        )
        last_lines = traced.stdout.strip().splitlines()[-2:]
        print(f"{LIBRARY} {VERSION}, traced: {' / '.join(last_lines)}")
        print(f"times: {plain_seconds:.0f} s plain, {traced_seconds:.0f} s traced")
        if traced.returncode != plain.returncode:
            problems.append(
                f"pytest exit status {traced.returncode} traced, {plain.returncode} plain:\n"
                f"{traced.stdout[-3000:]}\n{traced.stderr[-3000:]}"
            )
        if not os.path.exists(os.path.join(folder, "traced.xml")):
            problems.append(f"no report from the traced run:\n{traced.stderr[-3000:]}")
        else:
            expected = outcomes(os.path.join(folder, "plain.xml"))
            actual = outcomes(os.path.join(folder, "traced.xml"))
            for test_id in sorted(expected.keys() | actual.keys()):
                if expected.get(test_id) != actual.get(test_id):
                    problems.append(
                        f"{test_id}: {actual.get(test_id)} traced, {expected.get(test_id)} plain"
                    )
            items = len(expected)
            decoded, trace_problems = check_traces(python, db_path, items)
            problems += trace_problems
            print(f"{decoded} traces decoded, {items} tests")
    finally:
        if args.keep:
            print(f"kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    for problem in problems[:50]:
        print("    " + problem.replace("\n", "\n    "))
    print("the same outcomes traced and untraced" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
