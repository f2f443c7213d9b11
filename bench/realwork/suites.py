"""Third-party test suites timed plainly, under `pytest --vexo` with each backend named and under
coverage.py (`coverage run -m pytest`, with its C tracer, and with sys.monitoring from 3.12 on),
side by side in one run; every run's outcomes are held against the plain run's, test by test.

    python bench/realwork/suites.py [--python PYTHON] [--cache DIR] [--suite NAME]...
                                    [--backend NAME]... [--rounds 1] [--json FILE]

The suites are checks/thirdparty.py's (the ones CI runs) and two more that only the benchmark
runs: intervaltree, whose tests call methods of trees of thousands of intervals, and pyparsing,
whose recursive-descent parsers make millions of calls, deeply nested. Each comes from its PyPI
source release and runs from the unpacked folder, so that the library is the traced program's
own code, for vexo and coverage.py alike. Times are whole pytest processes; with several rounds,
the modes' order rotates from round to round and the figures are medians.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import NamedTuple

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "checks"))
import thirdparty  # noqa: E402
from thirdparty import Suite  # noqa: E402


class Bench(NamedTuple):
    suite: Suite
    pytest_args: tuple = ()  # arguments of this suite's own, for every run
    requires: tuple = ()  # installed into the environment before the runs


SUITES = {name: Bench(suite) for name, suite in thirdparty.SUITES.items()}
SUITES["intervaltree"] = Bench(
    Suite("intervaltree", "3.2.1", "test"), requires=("sortedcontainers==2.4.0",)
)
# test_diagram.py and one example need the optional railroad-diagrams package.
SUITES["pyparsing"] = Bench(
    Suite("pyparsing", "3.3.3", "tests"),
    pytest_args=(
        "--ignore=tests/test_diagram.py",
        "--deselect=tests/test_examples.py::TestExamples::test_range_check",
    ),
)
COVERAGE = "coverage==7.18.0"


def install(python, requirements):
    subprocess.run(
        [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *requirements],
        check=True,
    )


def coverage_run(python, source, bench, core, folder):
    """One run under `coverage run -m pytest` with COVERAGE_CORE=core: seconds and outcomes."""
    os.makedirs(folder)
    report = os.path.join(folder, "report.xml")
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", COVERAGE_CORE=core)
    env.pop("PYTEST_ADDOPTS", None)
    started = time.monotonic()
    completed = subprocess.run(
        [python, "-m", "coverage", "run", f"--data-file={os.path.join(folder, 'coverage')}",
         "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
         *bench.pytest_args, bench.suite.tests],
        cwd=source, env=env, capture_output=True, text=True, timeout=thirdparty.TRACED_TIMEOUT,
    )  # fmt: skip
    seconds = time.monotonic() - started
    last = completed.stdout.strip().splitlines()[-1:] or [completed.stderr[-500:]]
    print(f"{bench.suite.library}, coverage.py ({core}): {last[0]}, {seconds:.1f} s", flush=True)
    found = thirdparty.outcomes(report) if os.path.exists(report) else {}
    return seconds, completed.returncode, found


def differences(expected, actual):
    return [
        f"{test_id}: {actual.get(test_id)}, {expected.get(test_id)} plain"
        for test_id in sorted(expected.keys() | actual.keys())
        if expected.get(test_id) != actual.get(test_id)
    ]


def run_suite(python, cache, bench, backends, cores, rounds, folder):
    suite = bench.suite
    source = thirdparty.unpack(thirdparty.fetch(python, cache, suite), os.path.join(folder, "src"))
    modes = ["plain", *(f"vexo:{b}" for b in backends), *(f"coverage:{c}" for c in cores)]
    seconds = {mode: [] for mode in modes}
    plain = None  # the first plain run's exit status and outcomes
    traced, covered, problems = {}, {}, []
    for number in range(rounds):
        shift = number % len(modes)
        for mode in modes[shift:] + modes[:shift] if number else modes:
            where = os.path.join(folder, f"{mode.replace(':', '-')}-{number}")
            kind, _, name = mode.partition(":")
            if kind == "plain":
                os.makedirs(where)
                report = os.path.join(where, "report.xml")
                completed, took = thirdparty.run_pytest(
                    python, source, suite.tests, report, list(bench.pytest_args),
                    thirdparty.PLAIN_TIMEOUT,
                )  # fmt: skip
                print(f"{suite.library}, plain: {completed.stdout.strip().splitlines()[-1]}, "
                      f"{took:.1f} s", flush=True)  # fmt: skip
                if plain is None:
                    plain = (completed.returncode, thirdparty.outcomes(report))
            elif kind == "vexo":
                found, figures = thirdparty.traced_run(
                    python, source, suite, name, plain, list(bench.pytest_args), where
                )
                took = figures.pop("seconds")
                traced.setdefault(name, figures)
                if found:
                    traced[name]["outcomes_same"] = False
                traced[name].setdefault("outcomes_same", True)
                problems += [f"vexo ({name}): {problem}" for problem in found]
            else:
                took, status, found = coverage_run(python, source, bench, name, where)
                changed = differences(plain[1], found)
                if status != plain[0]:
                    changed.append(f"pytest exit status {status}, {plain[0]} plain")
                entry = covered.setdefault(name, {"outcomes_same": True})
                entry["outcomes_same"] &= not changed
                problems += [f"coverage.py ({name}): {problem}" for problem in changed]
            seconds[mode].append(took)
    for name in backends:
        traced[name]["seconds"] = statistics.median(seconds[f"vexo:{name}"])
    for name in cores:
        covered[name]["seconds"] = statistics.median(seconds[f"coverage:{name}"])
    figures = {
        "library": suite.library,
        "version": suite.version,
        "tests": len(plain[1]),
        "plain_seconds": statistics.median(seconds["plain"]),
        "rounds": rounds,
        "traced": traced,
        "coverage": covered,
    }
    return problems, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "thirdparty"))
    parser.add_argument(
        "--suite",
        action="append",
        choices=sorted(SUITES),
        help="run only this suite (repeatable; default: all)",
    )
    parser.add_argument(
        "--backend",
        action="append",
        choices=("auto", "monitoring", "profile"),
        help="trace with each backend named (default: monitoring, where the"
        " interpreter has it, and profile)",
    )
    parser.add_argument("--no-coverage", action="store_true", help="leave coverage.py out")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--json", help="write the figures of each suite to this file")
    args = parser.parse_args()  # fmt: skip
    python = os.path.abspath(args.python)
    monitoring = subprocess.run(
        [python, "-c", "import sys; print(sys.version_info >= (3, 12))"],
        capture_output=True, text=True, check=True,
    ).stdout.strip() == "True"  # fmt: skip
    backends = args.backend or (["monitoring", "profile"] if monitoring else ["profile"])
    cores = [] if args.no_coverage else ["ctrace", "sysmon"] if monitoring else ["ctrace"]
    names = args.suite or list(SUITES)
    install(python, [*([] if args.no_coverage else [COVERAGE]),
                     *(r for name in names for r in SUITES[name].requires)])  # fmt: skip
    problems, results = [], []
    for name in names:
        folder = tempfile.mkdtemp(prefix=f"vexo-suites-{name}-")
        try:
            found, figures = run_suite(
                python, os.path.abspath(args.cache), SUITES[name], backends, cores,
                args.rounds, folder,
            )  # fmt: skip
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        problems += [f"{name}: {problem}" for problem in found]
        results.append(figures)
        if args.json:  # after each suite, so that a long run's figures are not lost
            with open(args.json, "w") as out:
                json.dump(results, out, indent=2)
    for problem in problems[:50]:
        print("    " + problem.replace("\n", "\n    "))
    print("the same outcomes in every run" if not problems else "OUTCOMES DIFFER")


if __name__ == "__main__":
    main()
