"""Runs every program of checks/hostile untraced and traced, and compares.

    python checks/hostile.py [--python PYTHON] [--jobs N] [--modes run,plugins] [NAME...]

Each program runs three times, in a fresh working folder each time: plainly (`python PROGRAM`),
under `vexo run --threading`, and under checks/hostile_runner.py (the same, with plugins that
run Python code and lightweight dumps). A traced run must give the same standard output, the
same standard error (vexo's own closing line aside) and the same exit status as the plain run,
must not crash or time out, and every trace stored in the run's folders must decode as
MessagePack into a trace document. vexo's warnings are sent to a file by
checks/hostile_site/sitecustomize.py; a traced run that logs one fails, unless the program's
header says `# hostile: warnings=allowed` (or `warnings=name-search`: allowed only where code
objects have no co_qualname, 3.10, whose qualified-name search looks the function up on the
program's own objects and reports what they raise). Other header options: `timeout=SECONDS`, and
`known=NOTE` for a difference that is known and reported but not the tracer's to fix (it is shown
as KNOWN and fails the run only with --strict).

PYTHON (default: this interpreter) must have the package installed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHECKS = Path(__file__).resolve().parent
CORPUS = CHECKS / "hostile"
SITE = CHECKS / "hostile_site"
RUNNER = CHECKS / "hostile_runner.py"
DEFAULT_TIMEOUT = 120
ADDRESS = re.compile(rb"0x[0-9a-fA-F]{6,}")
SUMMARY_LINE = re.compile(r"^vexo: trace trc_[0-9A-Z]{26} \(\d+ records\) saved in .*\n?\Z")
MODES = ("run", "plugins")
DOCUMENT_KEYS = {
    "command_line_args",
    "current_commit_sha",
    "frames",
    "frames_of_interest",
    "main_thread_id",
    "meta",
    "timestamp",
    "trace_id",
}


@dataclasses.dataclass
class Outcome:
    status: int | None
    stdout: bytes
    stderr: bytes
    seconds: float
    warnings: str
    traces: int = 0
    trace_errors: list[str] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Result:
    name: str
    failures: list[str]
    seconds: float
    traces: int
    known: str | None = None


def header_options(program: Path) -> dict[str, str]:
    options = {}
    for line in program.read_text(encoding="utf-8").splitlines()[:20]:
        if line.startswith("# hostile:"):
            for item in line[len("# hostile:") :].split():
                key, _, value = item.partition("=")
                options[key] = value
    return options


def command(python: str, mode: str, program: Path, db: Path) -> list[str]:
    if mode == "plain":
        return [python, str(program)]
    if mode == "run":
        return [python, "-m", "vexo", "run", "--threading", "--db", str(db), str(program)]
    return [python, str(RUNNER), "--db", str(db), str(program)]


def run_once(python: str, mode: str, program: Path, timeout: float, scratch: Path) -> Outcome:
    folder = scratch / mode
    cwd = folder / "cwd"
    cwd.mkdir(parents=True)
    log = folder / "vexo-warnings.log"
    env = dict(os.environ)
    env.update(
        PYTHONPATH=str(SITE),
        VEXO_HOSTILE_LOG=str(log),
        PYTHONHASHSEED="0",
        PYTHONDONTWRITEBYTECODE="1",
        PYTHONFAULTHANDLER="1",
    )
    env.pop("PYTHONWARNINGS", None)
    started = time.monotonic()
    try:
        completed = subprocess.run(
            command(python, mode, program, folder / "traces.sqlite3"),
            cwd=cwd,
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
        )
        status, stdout, stderr = completed.returncode, completed.stdout, completed.stderr
    except subprocess.TimeoutExpired as expired:
        status, stdout, stderr = None, expired.stdout or b"", expired.stderr or b""
    seconds = time.monotonic() - started
    warnings = log.read_text(encoding="utf-8", errors="replace") if log.exists() else ""
    outcome = Outcome(status, stdout, stderr, seconds, warnings)
    for database in sorted(folder.rglob("*.sqlite3")):
        check_traces(python, database, outcome)
    return outcome


DECODE = """
import sys, msgpack
from vexo.db import list_traces, load_trace
keys = set(sys.argv[2].split(","))
for summary in list_traces(sys.argv[1]):
    document = msgpack.unpackb(load_trace(sys.argv[1], summary.trace_id), raw=False,
                               strict_map_key=False)
    problems = []
    if not isinstance(document, dict) or set(document) != keys:
        problems.append("not a trace document: " + repr(sorted(document))[:200])
    else:
        lists = [document["frames_of_interest"], *document["frames"].values()]
        for records in lists:
            for record in records:
                if not isinstance(record, dict) or not isinstance(record.get("type"), str):
                    problems.append("record without a type: " + repr(record)[:200])
                elif record["type"] == "frame" and (len(record) != 12 or record["event"] not in (
                        "call", "return")):
                    problems.append("bad frame record: " + repr(record)[:200])
    print(summary.trace_id, "; ".join(problems[:3]))
"""


def check_traces(python: str, database: Path, outcome: Outcome) -> None:
    completed = subprocess.run(
        [python, "-c", DECODE, str(database), ",".join(sorted(DOCUMENT_KEYS))],
        capture_output=True,
        text=True,
        timeout=600,
    )
    if completed.returncode != 0:
        outcome.trace_errors.append(
            f"{database.name}: traces do not decode:\n{completed.stderr[-2000:]}"
        )
        return
    for line in completed.stdout.splitlines():
        trace_id, _, problems = line.partition(" ")
        outcome.traces += 1
        if problems.strip():
            outcome.trace_errors.append(f"{database.name} {trace_id}: {problems}")


def comparable(output: bytes) -> bytes:
    """Output with memory addresses blanked out: they differ from run to run anyway (reprs of
    functions in "Exception ignored" reports, default object reprs)."""
    return ADDRESS.sub(b"0x?", output)


def without_summary(stderr: bytes) -> bytes:
    """The traced run's standard error without vexo's line naming the stored trace (printed when
    the program's code is done, so before the output of its exit callbacks)."""
    lines = stderr.splitlines(keepends=True)
    for index, line in enumerate(lines):
        if SUMMARY_LINE.match(line.decode("utf-8", "replace")):
            del lines[index]
            break
    return b"".join(lines)


def difference(label: str, expected: bytes, actual: bytes) -> str:
    diff = difflib.unified_diff(
        expected.decode("utf-8", "backslashreplace").splitlines(),
        actual.decode("utf-8", "backslashreplace").splitlines(),
        f"{label} untraced",
        f"{label} traced",
        lineterm="",
        n=2,
    )
    return "\n".join(list(diff)[:40])


def describe_status(status: int | None) -> str:
    if status is None:
        return "timed out"
    if status < 0:
        return f"killed by signal {-status}"
    return f"exit status {status}"


def warnings_allowed(options: dict, has_co_qualname: bool) -> bool:
    allowed = options.get("warnings")
    return allowed == "allowed" or (allowed == "name-search" and not has_co_qualname)


def compare(
    name: str, mode: str, plain: Outcome, traced: Outcome, options: dict, has_co_qualname: bool
) -> list[str]:
    failures = []
    where = f"{name} [{mode}]"
    if traced.status != plain.status:
        failures.append(
            f"{where}: {describe_status(traced.status)} traced, "
            f"{describe_status(plain.status)} untraced"
        )
    if comparable(traced.stdout) != comparable(plain.stdout):
        failures.append(
            f"{where}: standard output differs\n"
            + difference("stdout", plain.stdout, traced.stdout)
        )
    traced_stderr = without_summary(traced.stderr)
    if comparable(traced_stderr) != comparable(plain.stderr):
        failures.append(
            f"{where}: standard error differs\n" + difference("stderr", plain.stderr, traced_stderr)
        )
    if traced.warnings and not warnings_allowed(options, has_co_qualname):
        failures.append(f"{where}: vexo logged warnings:\n{traced.warnings[:3000]}")
    failures.extend(f"{where}: {error}" for error in traced.trace_errors)
    return failures


def check_program(
    python: str, program: Path, modes: list[str], keep: Path | None, has_co_qualname: bool
) -> Result:
    options = header_options(program)
    timeout = float(options.get("timeout", DEFAULT_TIMEOUT))
    name = program.stem
    scratch = Path(tempfile.mkdtemp(prefix=f"vexo-hostile-{name}-"))
    started = time.monotonic()
    failures: list[str] = []
    traces = 0
    try:
        plain = run_once(python, "plain", program, timeout, scratch)
        if plain.status is None:
            failures.append(f"{name}: times out even untraced")
        for mode in modes:
            traced = run_once(python, mode, program, timeout, scratch)
            traces += traced.traces
            failures.extend(compare(name, mode, plain, traced, options, has_co_qualname))
    finally:
        if failures and keep is not None:
            shutil.copytree(scratch, keep / name, dirs_exist_ok=True)
        shutil.rmtree(scratch, ignore_errors=True)
    return Result(name, failures, time.monotonic() - started, traces, options.get("known"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--keep", type=Path, help="copy the folders of failing runs here")
    parser.add_argument("--strict", action="store_true", help="known differences fail too")
    parser.add_argument("names", nargs="*", help="programs to run (default: all)")
    args = parser.parse_args()
    # Each run has a folder of its own as working directory; a venv's python must stay a link.
    args.python = os.path.abspath(args.python)
    modes = [mode for mode in args.modes.split(",") if mode]
    unknown = set(modes) - set(MODES)
    if unknown:
        parser.error(f"unknown modes {sorted(unknown)}")
    programs = sorted(CORPUS.glob("*.py"))
    if args.names:
        wanted = {Path(name).stem for name in args.names}
        programs = [program for program in programs if program.stem in wanted]
        missing = wanted - {program.stem for program in programs}
        if missing:
            parser.error(f"no such programs: {sorted(missing)}")
    has_co_qualname = (
        subprocess.run(
            [args.python, "-c", "import sys; print(sys.version_info >= (3, 11))"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        == "True"
    )
    started = time.monotonic()
    failed = []
    known = []
    traces = 0
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        futures = [
            pool.submit(check_program, args.python, program, modes, args.keep, has_co_qualname)
            for program in programs
        ]
        for future in futures:
            result = future.result()
            traces += result.traces
            excused = bool(result.failures and result.known and not args.strict)
            verdict = "ok" if not result.failures else "KNOWN" if excused else "FAILED"
            note = f"; known: {result.known}" if excused else ""
            print(
                f"{verdict:6} {result.name} ({result.seconds:.1f} s, {result.traces} traces{note})",
                flush=True,
            )
            for failure in result.failures:
                print("    " + failure.replace("\n", "\n    "), flush=True)
            if excused:
                known.append(result.name)
            elif result.failures:
                failed.append(result.name)
    print(
        f"{len(programs) - len(failed) - len(known)} of {len(programs)} hostile programs behave "
        "the same "
        f"traced ({', '.join(modes)}); {traces} traces decoded; "
        f"{time.monotonic() - started:.0f} s"
    )
    if known:
        print("known differences: " + " ".join(known))
    if failed:
        print("failed: " + " ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
