"""A traced process that forks: parent and children keep tracing, the children's ids never
repeat the parent's, and no record reaches two documents.

    python checks/fork.py [--rounds N] [--timeout SECONDS]

The traced program (run in a child process, with a time limit: a fork that inherits a lock held
by a thread the child does not have would hang) traces work on its main thread and on background
threads whose plugins sleep while holding the tracer's plugin lock, and forks in every way it can:
os.fork from the main thread and from another thread, os.fork inside a plugin callable, a fork
whose child forks again, and multiprocessing with the fork start method (a Process, and a Pool
whose workers run traced code). Every process saves its trace to one SQLite database and also
writes the document it built to a file. Then:

- every document decodes, and each process's document has a trace id of its own;
- no frame id appears in two documents, and no record of the parent from before a fork appears
  in a child's document (the child's buffers start empty: nothing is handed to a second save);
- every process's own calls recorded in its document have their returns there;
- the parent's records from before and after the forks are all in its own document.
"""

from __future__ import annotations

import argparse
import glob
import os
import subprocess
import sys
import tempfile
import time

PROGRAM = r'''
import multiprocessing, os, sys, threading, time, warnings
import vexo.db
import vexo.plugins
if os.environ.get("VEXO_CHECK_BACKEND") == "monitoring":  # the same checks on the other backend
    from vexo import _vexo  # noqa: F401  (it makes the monitoring module)
    from vexo import _vexo_monitoring as _vexo
else:
    from vexo import _vexo

warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads, from 3.12 on
folder = sys.argv[1]
db_path = os.path.join(folder, "traces.sqlite3")


class Profile:
    def __init__(self):
        self.config = {"threading": True}
        self.db_path = db_path
        self.one_trace_per_test = False
        self.trace_id = "trc_01HF7YAT00AAAAAAAAAAAAAAAA"
        self.source = "fork check"

    def __call__(self, frame, event, arg):
        return None


def sleepy(frame, event, arg, context):
    time.sleep(0)  # the plugin lock is held while another thread may fork
    return True


def forks_inside(frame, event, arg, context):
    if event != "call":  # the test runs for every event, whatever "events" says
        return False
    pid = os.fork()
    if pid == 0:
        finish("fork-in-plugin")
    os.waitpid(pid, 0)
    return True


vexo.plugins.load_plugin_data = lambda config: [
    {"co_names": ["step"], "path_fragment": "", "call_type": "step", "return_type": "step_r",
     "call": sleepy},
    {"co_names": ["plugin_forks_here"], "path_fragment": "", "call_type": "p",
     "return_type": "p_r", "events": ["call"], "call": forks_inside},
]


def step(value):
    return value + 1


def work(role, rounds=20):
    total = 0
    for value in range(rounds):
        total += step(value)
    return total


def finish(role):
    """The end of a process: traced work, its document to a file and to the database."""
    try:
        work(role)
        document = profile.rust_profiler.build_trace()
        with open(os.path.join(folder, f"doc-{role}-{os.getpid()}.msgpack"), "wb") as file:
            file.write(document)
        work(role, 3)  # these records go to the database
        _vexo.register_noop_profiler()
        profile.rust_profiler.save_request_in_db()
        vexo.db.flush()  # os._exit skips the exit functions that would write it
    finally:
        os._exit(0)


def fork_here(role):
    pid = os.fork()
    if pid == 0:
        finish(role)
    return pid


def grandparent_fork(role):
    pid = os.fork()
    if pid == 0:
        work(role)
        inner = fork_here(role + "-grandchild")
        os.waitpid(inner, 0)
        finish(role)
    return pid


def plugin_forks_here():
    return "forked in the plugin"


def pool_task(value):
    return work(f"pool-{value}", 5)


def process_target(role):
    finish(role)


stop = threading.Event()


def background():
    while not stop.is_set():
        work("background", 2)


profile = Profile()
_vexo.register_profiler(profile)
work("parent-before")
others = [threading.Thread(target=background, daemon=True) for _ in range(3)]
for thread in others:
    thread.start()
pids = [fork_here("main-thread-fork") for _ in range(12)]
pids.append(grandparent_fork("nested"))
from_thread = []
forker = threading.Thread(target=lambda: from_thread.append(fork_here("thread-fork")))
forker.start()
forker.join()
pids += from_thread
plugin_forks_here()
context = multiprocessing.get_context("fork")
process = context.Process(target=process_target, args=("multiprocessing",))
process.start()
with context.Pool(2) as pool:
    assert pool.map(pool_task, range(4)) == [work("check", 5)] * 4
process.join()
assert process.exitcode == 0, process.exitcode
for pid in pids:
    os.waitpid(pid, 0)
work("parent-after")
stop.set()
for thread in others:
    thread.join()
_vexo.register_noop_profiler()
threading.setprofile(None)
with open(os.path.join(folder, f"doc-parent-{os.getpid()}.msgpack"), "wb") as file:
    file.write(profile.rust_profiler.build_trace())
print("done")
'''

EXPECTED_ROLES = {
    "parent": 1,
    "main-thread-fork": 12,
    "nested": 1,
    "nested-grandchild": 1,
    "thread-fork": 1,
    "fork-in-plugin": 1,
    "multiprocessing": 1,
}


def frames_of(document):
    yield from document["frames_of_interest"]
    for records in document["frames"].values():
        yield from records


def work_roles(records):
    return {
        r["locals"]["role"]
        for r in records
        if r.get("type") == "frame" and r["co_name"] == "work" and r["event"] == "call"
    }


def check(folder):
    import msgpack

    problems = []
    documents = {}
    for path in sorted(glob.glob(os.path.join(folder, "doc-*.msgpack"))):
        role = os.path.basename(path)[len("doc-") :].rsplit("-", 1)[0]
        with open(path, "rb") as file:
            documents.setdefault(role, []).append(
                msgpack.unpackb(file.read(), raw=False, strict_map_key=False)
            )
    counts = {role: len(documents.get(role, [])) for role in EXPECTED_ROLES}
    if counts != EXPECTED_ROLES:
        problems.append(f"documents per process kind: {counts}, expected {EXPECTED_ROLES}")
    trace_ids = [d["trace_id"] for docs in documents.values() for d in docs]
    if len(set(trace_ids)) != len(trace_ids):
        problems.append(f"trace ids repeat across processes: {sorted(trace_ids)}")
    owner = {}
    for role, docs in documents.items():
        for document in docs:
            records = list(frames_of(document))
            for record in records:
                frame_id = record.get("frame_id")
                if record.get("type") != "frame" or frame_id is None:
                    continue
                if owner.setdefault(frame_id, document["trace_id"]) != document["trace_id"]:
                    problems.append(f"frame id {frame_id} in two documents ({role})")
            roles = work_roles(records)
            if role != "parent" and roles & {"parent-before", "parent-after", "background"}:
                problems.append(f"{role}: holds the parent's records: {sorted(roles)}")
            if role == "parent" and not {"parent-before", "parent-after"} <= roles:
                problems.append(f"parent: records lost, has {sorted(roles)}")
            # A child forked inside a plugin callable runs inside the hook, which traces nothing.
            if role not in ("parent", "fork-in-plugin") and role not in roles:
                problems.append(f"{role}: its own work is missing ({sorted(roles)})")
            calls, returns = set(), set()
            for record in records:
                if record.get("type") == "frame" and record["co_name"] in ("work", "step"):
                    (calls if record["event"] == "call" else returns).add(record["frame_id"])
            if calls - returns:
                problems.append(f"{role}: {len(calls - returns)} calls without return")
    from vexo.db import list_traces, load_trace

    db_path = os.path.join(folder, "traces.sqlite3")
    stored = list_traces(db_path)
    saved_children = sum(counts.values()) - 1
    if len(stored) != saved_children:
        problems.append(f"{len(stored)} traces saved in the database, {saved_children} expected")
    for summary in stored:
        document = msgpack.unpackb(load_trace(db_path, summary.trace_id), strict_map_key=False)
        roles = work_roles(list(frames_of(document)))
        if len(roles) > 1:  # none for the child forked inside the plugin, which traces nothing
            problems.append(f"a saved trace holds the work of {sorted(roles)}")
    return problems


def run(python, timeout):
    folder = tempfile.mkdtemp(prefix="vexo-fork-")
    program = os.path.join(folder, "forking_program.py")
    with open(program, "w") as file:
        file.write(PROGRAM)
    started = time.monotonic()
    try:
        completed = subprocess.run(
            [python, program, folder], capture_output=True, text=True, timeout=timeout, cwd=folder
        )
    except subprocess.TimeoutExpired:
        return [f"no end within {timeout} s: a deadlock"], time.monotonic() - started
    seconds = time.monotonic() - started
    if completed.returncode != 0 or completed.stdout.strip() != "done" or completed.stderr:
        return [f"exit status {completed.returncode}: {completed.stderr[-3000:]}"], seconds
    return check(folder), seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    python = os.path.abspath(args.python)
    failed = 0
    started = time.monotonic()
    for round_number in range(1, args.rounds + 1):
        problems, seconds = run(python, args.timeout)
        print(f"{'FAILED' if problems else 'ok':6} round {round_number} ({seconds:.1f} s)")
        for problem in problems:
            print("    " + problem.replace("\n", "\n    "), flush=True)
        failed += bool(problems)
    print(
        f"{args.rounds - failed} of {args.rounds} rounds passed; {time.monotonic() - started:.0f} s"
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
