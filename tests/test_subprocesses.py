"""`vexo run` traces the Python processes its program starts: each into a trace of its own,
linked to the trace of the process that started it, without changing what the program sees."""

import os
import subprocess
import sys
import textwrap

import msgpack

from vexo.db import list_traces, load_trace

TIMEOUT = 120

SQUARES = """\
    import concurrent.futures, multiprocessing, os, subprocess, sys

    def square(n):
        return n * n

    def parent_only():
        return "parent"

    def put_square(queue):
        queue.put(square(7))

    def cube(n):
        return n**3
"""


def run(cwd, *args, env=None):
    return subprocess.run(
        [sys.executable, *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        env=env,
    )


def vexo_run(cwd, *args):
    result = run(cwd, "-m", "vexo", "--db", cwd / "db.sqlite3", "run", *args)
    assert result.returncode == 0, result.stderr
    return result


def write(path, text):
    path.write_text(textwrap.dedent(text))


class Stored:
    """The traces of a database, each with its document decoded and its calls by name."""

    def __init__(self, db_path):
        self.summaries = list_traces(db_path)
        self.calls = {}
        for summary in self.summaries:
            document = msgpack.unpackb(load_trace(db_path, summary.trace_id), strict_map_key=False)
            records = document["frames_of_interest"] + [
                record for thread in document["frames"].values() for record in thread
            ]
            self.calls[summary.trace_id] = [
                r["co_name"] for r in records if r.get("event") == "call"
            ]

    def by_source(self, prefix):
        return [s for s in self.summaries if (s.source or "").startswith(prefix)]

    def children_of(self, parent):
        return [s for s in self.summaries if s.parent_trace_id == parent.trace_id]

    def called(self, summaries, name):
        return sum(self.calls[s.trace_id].count(name) for s in summaries)


def check_family(stored, parent, children):
    """Each child linked to the parent's trace and process, every process its own id."""
    assert children and sorted(stored.children_of(parent)) == sorted(children)
    for child in children:
        assert child.parent_process_id == parent.process_id
        assert child.run_id == parent.run_id
    # A pool's worker saves a trace per task, all with its process id.
    assert None not in {child.process_id for child in children}
    assert parent.process_id not in {child.process_id for child in children}


def test_pool_and_process_of_every_start_method(tmp_path):
    write(
        tmp_path / "pools.py",
        SQUARES
        + """
    if __name__ == "__main__":
        parent_only()
        context = multiprocessing.get_context(sys.argv[1])
        pool = context.Pool(2)
        print(sum(pool.map(square, range(6))))
        pool.close()
        pool.join()  # the workers end and save their traces
        with context.Pool(2) as pool:  # terminates its workers: each task's trace is saved
            print(sum(pool.map(cube, range(4))))
        queue = context.Queue()
        process = context.Process(target=put_square, args=(queue,))
        process.start()
        print(queue.get())
        process.join()
    """,
    )
    for method in ("fork", "spawn", "forkserver"):
        db_path = tmp_path / "db.sqlite3"
        if db_path.exists():
            db_path.unlink()
        result = vexo_run(tmp_path, "pools.py", method)
        assert result.stdout == "55\n36\n49\n", method
        stored = Stored(db_path)
        (parent,) = stored.by_source("script pools.py")
        children = stored.by_source("multiprocessing ")
        check_family(stored, parent, children)
        assert len(stored.summaries) == len(children) + 1, method  # no helper process traced
        assert len(stored.by_source("multiprocessing ")) >= 2
        assert stored.called(children, "square") == 7, method
        assert stored.called(children, "cube") == 4, method
        assert stored.called([parent], "square") == 0
        assert stored.called(children, "parent_only") == 0, method  # nothing of the parent's
        assert stored.called([parent], "parent_only") == 1


def test_executor_and_python_subprocess_family(tmp_path):
    write(
        tmp_path / "main.py",
        SQUARES
        + """
    if __name__ == "__main__":
        with concurrent.futures.ProcessPoolExecutor(2) as executor:
            print(sum(executor.map(square, range(4))))
        # A replaced environment: the child is traced all the same.
        env = {"PATH": os.environ["PATH"]}
        subprocess.run([sys.executable, "child.py", "a"], check=True, env=env)
    """,
    )
    write(
        tmp_path / "child.py",
        SQUARES
        + """
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    process = context.Process(target=put_square, args=(queue,))
    process.start()
    print(queue.get(), sys.argv[1:])
    process.join()
    """,
    )
    result = vexo_run(tmp_path, "main.py")
    assert result.stdout == "14\n49 ['a']\n"
    stored = Stored(tmp_path / "db.sqlite3")
    (parent,) = stored.by_source("script main.py")
    (child,) = stored.by_source("script child.py")
    workers = stored.by_source("multiprocessing SpawnProcess") + stored.by_source(
        "multiprocessing ForkProcess"
    )
    (grandchild,) = stored.children_of(child)
    check_family(stored, parent, [child, *(w for w in workers if w != grandchild)])
    check_family(stored, child, [grandchild])
    assert stored.called(workers, "square") == 5
    assert stored.called([child], "put_square") == 0

    listing = run(tmp_path, "-m", "vexo", "--db", "db.sqlite3", "traces").stdout.splitlines()
    column = listing[0].index("SOURCE")
    sources = [line[column:] for line in listing[1:]]
    assert sources[0] == "script main.py"
    assert "  script child.py" in sources
    assert sources[sources.index("  script child.py") + 1].startswith("    multiprocessing Fork")
    shown = run(tmp_path, "-m", "vexo", "--db", "db.sqlite3", "show", child.trace_id).stdout
    header = shown.split("\n\n")[0].splitlines()
    assert f"  parent   {parent.trace_id}  script main.py" in header
    assert f"  child    {grandchild.trace_id}  {grandchild.source}" in header


def test_killed_child_loses_only_its_own_records(tmp_path):
    write(
        tmp_path / "main.py",
        SQUARES
        + """
    if __name__ == "__main__":
        parent_only()
        killed = subprocess.run([sys.executable, "-c", "import os; os.kill(os.getpid(), 9)"])
        context = multiprocessing.get_context("fork")
        process = context.Process(target=os.abort)
        process.start()
        process.join()
        print(killed.returncode, process.exitcode)
        square(3)
    """,
    )
    result = vexo_run(tmp_path, "main.py")
    assert result.stdout == "-9 -6\n"
    stored = Stored(tmp_path / "db.sqlite3")
    (parent,) = stored.summaries  # the children left nothing
    assert stored.calls[parent.trace_id].count("parent_only") == 1
    assert stored.calls[parent.trace_id].count("square") == 1


def test_program_sees_what_python_shows_it(tmp_path):
    write(
        tmp_path / "main.py",
        """\
        import os, subprocess, sys
        print(sys.argv)
        code = (
            "import os, sys; print(sys.argv, [k for k in sorted(os.environ) if k in"
            " ('VEXO_PARENT', 'VEXO_SUBPROCESSES')]); sys.exit(3)"
        )
        child = subprocess.run([sys.executable, "-c", code, "x"], capture_output=True, text=True)
        print(child.returncode, repr(child.stdout), repr(child.stderr))
        print(sorted(k for k in os.environ if not k.startswith("VEXO_")))
        sys.exit(5)
        """,
    )
    env = {key: value for key, value in os.environ.items() if not key.startswith("VEXO_")}
    plain = run(tmp_path, "main.py", "--db", "-m", env=env)
    traced = run(tmp_path, "-m", "vexo", "run", "main.py", "--db", "-m", env=env)
    assert plain.returncode == traced.returncode == 5
    added = "['VEXO_PARENT', 'VEXO_SUBPROCESSES']"  # all that differs: what vexo adds
    assert traced.stdout == plain.stdout.replace("[]", added)
    assert plain.stderr == "" and traced.stderr.startswith("vexo: trace ")
    assert traced.stderr.count("\n") == 1
    stored = Stored(tmp_path / ".vexo" / "db.sqlite3")
    assert sorted(s.source for s in stored.summaries) == ["python -c", "script main.py"]


def test_source_names_what_the_interpreter_runs():
    from vexo.recording.subprocesses import program_source

    cases = {
        ("python", "child.py", "-m", "x"): "script child.py",
        ("python", "-X", "dev", "-Wignore", "-u", "child.py"): "script child.py",
        ("python", "--check-hash-based-pycs", "always", "-m", "pkg.tool", "-c"): "module pkg.tool",
        ("python", "-Bmpkg"): "module pkg",
        ("python", "-OOc", "print(1)", "child.py"): "python -c",
        ("python", "-I", "--", "-child.py"): "script -child.py",
        ("python", "-"): "python",
        ("python",): "python",
    }
    for argv, source in cases.items():
        assert program_source(list(argv)) == source, argv
