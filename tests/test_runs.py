"""Runs and retention in the store: the upgrade of a file of the previous schema, pruning while
other processes save, a full disk, and `vexo run` runs with their automatic retention."""

import os
import re
import sqlite3
import subprocess
import sys
import textwrap
import time

import msgpack
import zstandard

from test_db import WRITER
from vexo import db
from vexo.db import latest_run_id, list_traces, load_trace, prune, save_trace_in_sqlite
from vexo.store import sqlite as database

TIMEOUT = 120


def document(trace_id, source="script a.py", padding=b""):
    return msgpack.packb(
        {
            "frames": {},
            "frames_of_interest": [],
            "meta": {"source": source, "padding": padding},
            "timestamp": 12.5,
            "trace_id": trace_id,
        }
    )


def version_2_database(path):
    """A database as the release before runs wrote it, with three traces."""
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute("PRAGMA journal_mode = WAL")
    for statements in database._MIGRATIONS[:2]:
        for statement in statements:
            connection.execute(statement)
    connection.execute(f"PRAGMA application_id = {db.APPLICATION_ID}")
    connection.execute("PRAGMA user_version = 2")
    for number in range(3):
        data = document(f"trc_old{number}")
        connection.execute(
            "INSERT INTO traces (trace_id, stored_at, started_at, source, record_count, size,"
            " msgpack, codec, outcome, kind) VALUES (?, ?, 12.5, 'script a.py', 0, ?, ?, 'zstd',"
            " NULL, 'script')",
            (f"trc_old{number}", number, len(data), zstandard.compress(data)),
        )
    connection.close()


def user_version(path):
    connection = sqlite3.connect(path)
    try:
        return connection.execute("PRAGMA user_version").fetchone()[0]
    finally:
        connection.close()


def test_previous_schema_is_read_then_upgraded_in_place_by_the_first_write(tmp_path, monkeypatch):
    path = tmp_path / "db.sqlite3"
    version_2_database(path)
    assert [row.trace_id for row in list_traces(path)] == ["trc_old2", "trc_old1", "trc_old0"]
    assert list_traces(path)[0].run_id is None and latest_run_id(path) is None
    assert list_traces(path, run_id="run_x") == []
    assert user_version(path) == 2  # reading changes nothing

    monkeypatch.setenv("VEXO_RUN_ID", "run_new")
    save_trace_in_sqlite(path, "trc_new", msgpack=document("trc_new"), wait=True)
    assert user_version(path) == db.SCHEMA_VERSION == 3
    new, *old = list_traces(path)
    assert (new.trace_id, new.run_id) == ("trc_new", "run_new") and len(new.process_id) == 32
    assert [(row.trace_id, row.run_id) for row in old] == [
        ("trc_old2", None), ("trc_old1", None), ("trc_old0", None),
    ]  # fmt: skip
    for row in list_traces(path):
        assert msgpack.unpackb(load_trace(path, row.trace_id))["trace_id"] == row.trace_id
    assert [row.trace_id for row in list_traces(path, run_id="run_new")] == ["trc_new"]
    # A trace outside any run counts as a run of its own.
    assert prune(path, before=1.5).traces == 2  # stored at 0 and 1
    assert [row.trace_id for row in list_traces(path)] == ["trc_new", "trc_old2"]
    assert prune(path, keep_runs=1).traces == 1
    assert [row.trace_id for row in list_traces(path)] == ["trc_new"]


def test_eight_processes_save_while_old_runs_are_pruned(tmp_path, monkeypatch):
    path = tmp_path / "db.sqlite3"
    for run in range(30):  # old runs, each with one large trace
        monkeypatch.setenv("VEXO_RUN_ID", f"run_old{run:02}")
        save_trace_in_sqlite(path, f"trc_old{run}", msgpack=os.urandom(20000), wait=True)
    monkeypatch.delenv("VEXO_RUN_ID")
    db.record_run_start(path, "run_now", "the savers", time.time() + 1)
    workers, count = 8, 30
    savers = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, str(path), str(worker), str(count)],
            stdin=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env={**os.environ, "VEXO_RUN_ID": "run_now"},
        )
        for worker in range(workers)
    ]
    for saver in savers:
        saver.stdin.write(b"go\n")
        saver.stdin.close()
    keep = 30
    while any(saver.poll() is None for saver in savers):
        keep = max(keep - 2, 1)
        prune(path, keep_runs=keep)
        time.sleep(0.01)
    for saver in savers:
        assert saver.wait(timeout=TIMEOUT) == 0
        assert saver.stderr.read() == b""
    prune(path, keep_runs=1)
    stored = list_traces(path)
    assert {row.trace_id for row in stored} == {
        f"trc_{w}_{i}" for w in range(workers) for i in range(count)
    }
    assert {row.run_id for row in stored} == {"run_now"} and latest_run_id(path) == "run_now"
    assert msgpack.unpackb(load_trace(path, "trc_7_29")) == [7029]
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        assert connection.execute("PRAGMA freelist_count").fetchone() == (0,)
    connection.close()
    assert db.store_size(path) < 30 * 20000  # the old runs' space went back


FILLING = textwrap.dedent(
    """
    import os, sys
    import vexo.db
    from vexo.store import sqlite

    opened = sqlite.opened

    def small_disk(*args, **kwargs):
        connection = opened(*args, **kwargs)
        pages = connection.execute("PRAGMA page_count").fetchone()[0]
        connection.execute(f"PRAGMA max_page_count = {max(pages, 20) + 10}")
        return connection

    sqlite.opened = small_disk

    path = sys.argv[1]
    for number in range(3):
        vexo.db.save_trace_in_sqlite(path, f"trc_fits{number}", msgpack=b"\\x90", wait=True)
    for number in range(20):
        vexo.db.save_trace_in_sqlite(path, f"trc_big{number}", msgpack=os.urandom(50000))
        vexo.db.flush()
    print("the program went on")
    """
)


def test_a_full_disk_loses_the_new_traces_once_and_keeps_the_stored_ones(tmp_path):
    path = tmp_path / "db.sqlite3"
    result = subprocess.run(
        [sys.executable, "-c", FILLING, str(path)],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert result.returncode == 0 and result.stdout == "the program went on\n", result.stderr
    first, *rest = result.stderr.splitlines()
    assert first.startswith("vexo: cannot save traces in ") and "full" in first, result.stderr
    assert re.search(r"; lost trc_big\d+$", first), first
    assert rest == [] or (len(rest) == 1 and "more traces were not saved" in rest[0])
    assert [row.trace_id for row in list_traces(path)][-3:] == [f"trc_fits{n}" for n in (2, 1, 0)]
    assert all(load_trace(path, f"trc_fits{n}") == b"\x90" for n in range(3))
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    connection.close()


def vexo(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "vexo", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


def test_each_vexo_run_is_a_run_and_the_last_ones_are_kept(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.vexo]\nkeep-runs = 2\n")
    (tmp_path / "work.py").write_text("import sys\nprint(sys.argv[1])\n")
    for number in range(3):
        assert vexo(tmp_path, "run", "work.py", number).returncode == 0
    path = tmp_path / ".vexo" / "db.sqlite3"
    stored = list_traces(path)
    assert len(stored) == 2 and len({row.run_id for row in stored}) == 2
    connection = sqlite3.connect(path)
    runs = connection.execute("SELECT run_id, command, started_at, ended_at FROM runs").fetchall()
    connection.close()
    assert sorted(run[1] for run in runs) == ["vexo run work.py 1", "vexo run work.py 2"]
    assert all(run[2] <= run[3] for run in runs)

    latest = vexo(tmp_path, "traces", "--run", "latest")
    (row,) = [line for line in latest.stdout.splitlines() if line.startswith("trc_")]
    assert row.split()[0] == stored[0].trace_id
    assert latest.stdout.splitlines()[-1].startswith(f"1 trace of run {stored[0].run_id}; ")
    assert " takes " in latest.stdout and latest.returncode == 0
    unknown = vexo(tmp_path, "traces", "--run", "run_unknown")
    assert unknown.returncode == 1 and unknown.stderr.startswith("vexo: no traces of run ")

    pruned = vexo(tmp_path, "prune", "--max-size", "1KB")
    assert pruned.returncode == 0 and pruned.stdout.startswith("pruned 2 runs (2 traces), ")
    assert list_traces(path) == []
    bad = vexo(tmp_path, "prune", "--older-than", "soon")
    assert bad.returncode == 2 and bad.stderr.startswith("vexo: prune: not an age: 'soon'")


SERVER = textwrap.dedent(
    """
    import sys
    from vexo.config import Settings
    from vexo.middleware import VexoMiddleware

    def app(environ, start_response):
        start_response("200 OK", [])
        return [b"ok"]

    served = VexoMiddleware(app, settings=Settings(db_path=sys.argv[1]))
    for path in ("/a", "/b"):
        served({"PATH_INFO": path}, lambda *args: None).close()
    """
)


def test_a_server_process_is_one_run_ended_at_its_exit(tmp_path):
    path = tmp_path / "db.sqlite3"
    result = subprocess.run(
        [sys.executable, "-c", SERVER, str(path)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert result.returncode == 0 and result.stderr == "", result.stderr
    stored = list_traces(path)
    assert sorted(row.source for row in stored) == ["wsgi GET /a", "wsgi GET /b"]
    (run_id,) = {row.run_id for row in stored}
    connection = sqlite3.connect(path)
    ((command, started, ended),) = connection.execute(
        "SELECT command, started_at, ended_at FROM runs WHERE run_id = ?", (run_id,)
    )
    connection.close()
    assert command.startswith("-c ") and started <= ended
