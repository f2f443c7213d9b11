"""Threads under load: sixteen traced threads, plugins that run Python code and give the
interpreter lock away, and one trace per test cut by markers that several threads send.

    python checks/threads.py [--rounds N] [--timeout SECONDS] [SCENARIO...]

Each scenario runs in a child process with a time limit, several rounds: a child that does not
finish in time is a deadlock, one that dies is a crash. Then the stored documents are read back:
every document decodes, and every call recorded in it has its return in it too (for the calls
that belong to a test, in that test's own document), with the call site of a recorded caller.

Scenarios:
  plain          16 threads with "threading" on and a sleeping plugin; one document at the end
  tests          8 threads run tests one after the other (start_test, work, helper thread,
                 end_test; the tracer saves each test's trace to SQLite) while 8 more threads
                 keep running watched code in the background
  failing-saves  as tests, but every save fails, and the dumps are lightweight
  switch-storm   as plain, with the interpreter switching threads every microsecond
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

SCENARIOS = ("plain", "tests", "failing-saves", "switch-storm")
THREADS = 16
TESTS_PER_RUNNER = 6

CHILD = r"""
import json, os, sys, threading, time
import msgpack
import vexo.db
import vexo.plugins
if os.environ.get("VEXO_CHECK_BACKEND") == "monitoring":  # the same checks on the other backend
    from vexo import _vexo  # noqa: F401  (it makes the monitoring module)
    from vexo import _vexo_monitoring as _vexo
else:
    from vexo import _vexo

scenario, db_path, threads_count, tests_per_runner = (
    sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
markers = scenario in ("tests", "failing-saves")
if scenario == "switch-storm":
    sys.setswitchinterval(1e-6)


class Profile:
    def __init__(self, config):
        self.config = config
        self.db_path = db_path
        self.one_trace_per_test = markers
        self.trace_id = "trc_01HF7YAT00AAAAAAAAAAAAAAAA"
        self.source = "threads check"

    def __call__(self, frame, event, arg):
        return None


def sleepy_call(frame, event, arg, context):
    time.sleep(0)  # gives the interpreter lock away while the plugin lock is held
    with context["lock"]:
        context["events"] += 1
    return True


def sleepy_process(frame, event, arg, context):
    time.sleep(0)
    return {"depth": len(frame.f_code.co_name), "events": context["events"]}


def marker_data(frame, event, arg, context):
    return {"nodeid": frame.f_locals["nodeid"]}


plugins = [{
    "co_names": ["step", "leaf"], "path_fragment": "", "call_type": "step_call",
    "return_type": "step_return", "call": sleepy_call, "process": sleepy_process,
    "build_context": lambda config: {"events": 0, "lock": threading.Lock()},
}]
if markers:
    plugins += [
        {"co_names": ["start_test"], "path_fragment": "", "call_type": "start_test",
         "return_type": "start_test_return", "events": ["call"], "process": marker_data},
        {"co_names": ["end_test"], "path_fragment": "", "call_type": "end_test",
         "return_type": "end_test_return", "events": ["call"], "process": marker_data},
    ]
vexo.plugins.load_plugin_data = lambda config: list(plugins)
if scenario == "failing-saves":
    def refuse(*args, **kwargs):
        raise OSError("the disk is full")
    vexo.db.save_trace_in_sqlite = refuse


def leaf(value):
    return value + 1


def step(value):
    return leaf(value) * 2


def numbers(count):
    for value in range(count):
        yield step(value)


def fails(depth):
    if depth == 0:
        raise KeyError("deep")
    return fails(depth - 1)


def work(rounds):
    total = 0
    for value in range(rounds):
        total += step(value)
        total += sum(numbers(3))
        try:
            fails(3)
        except KeyError:
            total += 1
    return total


def start_test(nodeid):
    return nodeid


def end_test(nodeid):
    return nodeid


def helper_body(rounds):
    return work(rounds)


def test_body(nodeid):
    helper = threading.Thread(target=helper_body, args=(5,), name=f"helper {nodeid}")
    helper.start()
    result = work(10)
    helper.join()
    return result


test_lock = threading.Lock()


def runner(number):
    for index in range(tests_per_runner):
        nodeid = f"test_{number}_{index}"
        with test_lock:  # tests run one at a time, each on whichever thread comes
            start_test(nodeid)
            test_body(nodeid)
            end_test(nodeid)


stop = threading.Event()


def background():
    while not stop.is_set():
        work(2)


def worker():
    work(60)


config = {"threading": True, "lightweight_repr": scenario == "failing-saves"}
profile = Profile(config)
_vexo.register_profiler(profile)
if markers:
    runners = [threading.Thread(target=runner, args=(n,), name=f"runner {n}")
               for n in range(threads_count // 2)]
    others = [threading.Thread(target=background, name=f"background {n}")
              for n in range(threads_count - len(runners))]
else:
    runners = [threading.Thread(target=worker, name=f"worker {n}") for n in range(threads_count)]
    others = []
for thread in runners + others:
    thread.start()
for thread in runners:
    thread.join()
stop.set()
for thread in others:
    thread.join()
_vexo.register_noop_profiler()
threading.setprofile(None)
final = profile.rust_profiler.build_trace()
with open(db_path + ".final", "wb") as file:
    file.write(final)
print("done")
"""


def frames_of(document):
    yield from document["frames_of_interest"]
    for records in document["frames"].values():
        yield from records


def unpaired_calls(records, *, only=None):
    """Calls recorded without their return; `only` limits the check to some threads."""
    calls, returns = {}, set()
    for record in records:
        if record.get("type") != "frame" or (only and not only(record)):
            continue
        if record["event"] == "call":
            calls[record["frame_id"]] = record
        elif record["frame_id"] is not None:
            returns.add(record["frame_id"])
    return [calls[frame_id] for frame_id in calls.keys() - returns]


def describe(record):
    return f"{record['co_name']} on {record['thread']} ({record['path']})"


def check_documents(scenario, db_path):
    import msgpack

    problems = []
    with open(db_path + ".final", "rb") as file:
        final = msgpack.unpackb(file.read(), raw=False, strict_map_key=False)
    if scenario == "tests":
        from vexo.db import list_traces, load_trace

        stored = [
            msgpack.unpackb(load_trace(db_path, s.trace_id), raw=False, strict_map_key=False)
            for s in list_traces(db_path)
        ]
        expected = (THREADS // 2) * TESTS_PER_RUNNER
        if len(stored) != expected:
            problems.append(f"{len(stored)} test documents stored, {expected} expected")
        for document in stored:
            records = list(frames_of(document))
            starts = [r for r in records if r.get("type") == "start_test"]
            ends = [r for r in records if r.get("type") == "end_test"]
            if len(starts) != 1 or len(ends) != 1 or starts[0]["nodeid"] != ends[0]["nodeid"]:
                problems.append(f"document {document['trace_id']}: markers {starts} {ends}")
                continue
            nodeid = starts[0]["nodeid"]

            tester = starts[0]["thread"]

            def in_test(record, nodeid=nodeid, tester=tester):
                # The thread that ran the test and its helper: what they call between markers.
                return record["thread"] in (tester, f"helper {nodeid}")

            test_records = [r for r in records if r.get("type") == "frame" and in_test(r)]
            if not any(r["co_name"] == "helper_body" for r in test_records):
                problems.append(f"{nodeid}: its helper thread's calls are missing")
            lost = [r for r in unpaired_calls(records, only=in_test) if r["co_name"] != "end_test"]
            if lost:
                problems.append(f"{nodeid}: calls without return: {[describe(r) for r in lost]}")
    elif scenario in ("plain", "switch-storm"):
        lost = unpaired_calls(frames_of(final))
        if lost:
            problems.append(f"calls without return: {[describe(r) for r in lost[:5]]}")
        workers = {r["thread"] for r in frames_of(final) if r.get("co_name") == "worker"}
        if len(workers) != THREADS:
            problems.append(f"{len(workers)} of {THREADS} threads recorded")
        for record in frames_of(final):
            if record.get("co_name") == "leaf" and record.get("type") == "frame":
                if record["user_code_call_site"] is None:
                    problems.append(f"leaf without the call site of step: {describe(record)}")
                    break
    return problems


def run(python, scenario, timeout):
    folder = tempfile.mkdtemp(prefix="vexo-threads-")
    db_path = os.path.join(folder, "traces.sqlite3")
    started = time.monotonic()
    child = os.path.join(folder, "threaded_program.py")
    with open(child, "w") as file:
        file.write(CHILD)
    try:
        completed = subprocess.run(
            [python, child, scenario, db_path, str(THREADS), str(TESTS_PER_RUNNER)],
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=folder,
        )
    except subprocess.TimeoutExpired:
        return [f"no end within {timeout} s: a deadlock"], time.monotonic() - started
    seconds = time.monotonic() - started
    if completed.returncode != 0 or completed.stdout.strip() != "done":
        return [f"exit status {completed.returncode}: {completed.stderr[-3000:]}"], seconds
    if scenario == "tests" and completed.stderr.strip():
        return [f"warnings: {completed.stderr[-2000:]}"], seconds
    return check_documents(scenario, db_path), seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=180)
    parser.add_argument("scenarios", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    names = args.scenarios or list(SCENARIOS)
    unknown = set(names) - set(SCENARIOS)
    if unknown:
        parser.error(f"unknown scenarios {sorted(unknown)}; known: {list(SCENARIOS)}")
    python = os.path.abspath(args.python)
    failed = []
    started = time.monotonic()
    for name in names:
        for round_number in range(1, args.rounds + 1):
            problems, seconds = run(python, name, args.timeout)
            verdict = "FAILED" if problems else "ok"
            print(f"{verdict:6} {name} round {round_number} ({seconds:.1f} s)", flush=True)
            for problem in problems:
                print("    " + problem.replace("\n", "\n    "), flush=True)
            if problems:
                failed.append(f"{name}#{round_number}")
    total = len(names) * args.rounds
    print(f"{total - len(failed)} of {total} runs passed; {time.monotonic() - started:.0f} s")
    if failed:
        print("failed: " + " ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
