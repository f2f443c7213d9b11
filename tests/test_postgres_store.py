"""The trace store on a real PostgreSQL server, next to SQLite: the same saves, listings and
refusals through the same functions, and what only a server brings (passwords, a server that
goes away, many machines)."""

import os
import socket
import subprocess
import sys

import msgpack
import psycopg
import pytest

from vexo import db
from vexo.db import (
    DatabaseError,
    TraceNotFoundError,
    count_traces,
    list_traces,
    load_trace,
    save_trace_in_sqlite,
)
from vexo.store.locations import shown


def document(trace_id, source):
    return msgpack.packb(
        {"frames": {}, "meta": {"source": source}, "timestamp": 1.5, "trace_id": trace_id}
    )


def test_saves_listings_and_loads_are_the_same_in_both_stores(store):
    db.prepare_database(store)
    assert list_traces(store) == [] and count_traces(store) == 0
    for number, source in enumerate(["script a.py", "pytest t.py::test_ada", "wsgi GET /ada"]):
        save_trace_in_sqlite(store, f"trc_{number}", msgpack=document(f"trc_{number}", source))
    save_trace_in_sqlite(store, "trc_0", msgpack=document("trc_0", "script b.py"), wait=True)
    listed = list_traces(store)
    assert [row.trace_id for row in listed] == ["trc_0", "trc_2", "trc_1"]
    assert listed[0].source == "script b.py" and listed[0].started_at == 1.5
    assert count_traces(store, text="ADA") == 2 and count_traces(store, kind="test") == 1
    assert [row.trace_id for row in list_traces(store, limit=1, offset=1)] == ["trc_2"]
    assert msgpack.unpackb(load_trace(store, "trc_1"))["meta"]["source"] == "pytest t.py::test_ada"
    with pytest.raises(TraceNotFoundError):
        load_trace(store, "trc_missing")


def test_a_newer_schema_is_refused(postgres_server):
    url = postgres_server.create_database("newer")
    save_trace_in_sqlite(url, "trc_1", msgpack=document("trc_1", "script a.py"), wait=True)
    with psycopg.connect(url, autocommit=True) as connection:
        connection.execute("UPDATE vexo_schema SET version = 99")
    for attempt in (lambda: list_traces(url), lambda: db.prepare_database(url)):
        with pytest.raises(DatabaseError, match="newer vexo"):
            attempt()


def test_passwords_never_appear(postgres_server, tmp_path):
    url = postgres_server.url("postgres", password="not-the-password")
    result = subprocess.run(
        [sys.executable, "-m", "vexo", "traces", "--db", url],
        capture_output=True, text=True, timeout=60,
    )  # fmt: skip
    assert result.returncode == 1
    assert "password authentication failed" in result.stderr
    assert "not-the-password" not in result.stdout + result.stderr
    assert shown(url) in result.stderr
    assert shown("postgresql://u:pw@h/d?password=pw&sslmode=require") == (
        "postgresql://u@h/d?password=***&sslmode=require"
    )


SAVER = """
import sys
from vexo.db import save_trace_in_sqlite
url, worker, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
for number in range(count):
    trace_id = f"trc_{worker}_{number}"
    save_trace_in_sqlite(url, trace_id, msgpack=bytes([0x90]) * 1000, wait=True)
    print(trace_id, flush=True)
"""


def test_eight_processes_save_at_once_and_one_is_killed(postgres_server):
    url = postgres_server.create_database("eight")
    savers = [
        subprocess.Popen(
            [sys.executable, "-c", SAVER, url, str(worker), "10"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )  # fmt: skip
        for worker in range(8)
    ]
    reported = set()
    first = savers[0].stdout.readline().strip()
    savers[0].kill()
    reported.add(first)
    for saver in savers:
        out, err = saver.communicate(timeout=120)
        reported.update(out.split())
        if saver is not savers[0]:
            assert saver.returncode == 0, err
    stored = [row.trace_id for row in list_traces(url)]
    assert len(stored) == len(set(stored))
    assert reported <= set(stored)
    assert sum(1 for trace_id in stored if not trace_id.startswith("trc_0_")) == 7 * 10


PROGRAM_SAVING_WHILE_THE_SERVER_RESTARTS = """
import sys, time
from vexo.db import save_trace_in_sqlite, flush
url = sys.argv[1]
for number in range(40):
    save_trace_in_sqlite(url, f"trc_{number}", msgpack=bytes([0x90]))
    time.sleep(0.05)
    if number == 10:
        print("restart", flush=True)
        sys.stdin.readline()
print("done", flush=True)
sys.stdin.readline()  # until the server is back
"""


def test_traces_wait_while_the_server_restarts(postgres_server):
    url = postgres_server.create_database("restarts")
    program = subprocess.Popen(
        [sys.executable, "-c", PROGRAM_SAVING_WHILE_THE_SERVER_RESTARTS, url],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    assert program.stdout.readline() == "restart\n"
    postgres_server.stop()
    try:
        program.stdin.write("\n")
        program.stdin.flush()
        assert program.stdout.readline() == "done\n"  # the program was not held up
    finally:
        postgres_server.restart()
    out, err = program.communicate("\n", timeout=120)
    assert program.returncode == 0, err
    assert "not saved" not in err and "lost" not in err, err
    assert {row.trace_id for row in list_traces(url)} == {f"trc_{n}" for n in range(40)}


def test_a_write_the_server_cuts_off_raises_and_the_driver_logs_nothing(
    postgres_server, monkeypatch, caplog
):
    from vexo.store import postgres
    from vexo.store.rows import Pending, rows_of

    url = postgres_server.create_database("cut_off")
    writing = postgres.PostgresStore(url, 5.0).writing()

    def rows(trace_id):
        return rows_of([Pending(url, trace_id, 1.0, document(trace_id, "a"), 5.0, False)])

    writing.write(rows("trc_kept"))  # the connection is open, the schema in place

    def cut_off(connection):
        # A stopping server's last word, its socket closed before the driver has noticed.
        socket.socket(fileno=os.dup(connection.pgconn.socket)).shutdown(socket.SHUT_RDWR)
        raise psycopg.errors.AdminShutdown("terminating connection due to administrator command")

    monkeypatch.setattr(postgres, "_schema_version", cut_off)
    with pytest.raises(DatabaseError, match="administrator command"):
        writing.write(rows("trc_cut_off"))
    assert [record.getMessage() for record in caplog.records] == []
    writing.close()


def test_traces_not_written_by_exit_are_reported_once_or_kept_in_a_file(postgres_server, tmp_path):
    url = postgres_server.url("no_such_database")
    program = (
        "from vexo.db import save_trace_in_sqlite\n"
        f"for n in range(5): save_trace_in_sqlite({url!r}, f'trc_{{n}}', msgpack=b'\\x90')\n"
        "print('ok')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONWARNINGS": "error"},
    )  # fmt: skip
    assert result.returncode == 0 and result.stdout == "ok\n"
    assert result.stderr.count("vexo:") == 1, result.stderr
    assert "trc_0" in result.stderr and "no_such_database" in result.stderr
    assert postgres_server.url("no_such_database").split(":")[2].split("@")[0] not in result.stderr
    fallback = tmp_path / "unsent.sqlite3"
    result = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120,
        env={**os.environ, "VEXO_FALLBACK_DB": str(fallback)},
    )  # fmt: skip
    assert "5 traces that" in result.stderr and "lost" not in result.stderr, result.stderr
    assert count_traces(fallback) == 5


def test_copy_between_stores_adds_no_duplicates(postgres_server, tmp_path):
    sqlite_file, url = str(tmp_path / "ci.sqlite3"), postgres_server.create_database("team")
    for number in range(450):
        save_trace_in_sqlite(sqlite_file, f"trc_{number:03}", msgpack=document("x", "script a.py"))
    save_trace_in_sqlite(url, "trc_000", msgpack=document("kept", "script b.py"), wait=True)

    def copy(source, destination):
        command = [sys.executable, "-m", "vexo", "copy", "--from", source, "--to", destination]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        return result.stdout

    assert copy(sqlite_file, url).startswith("copied 449 of 450 traces")
    assert copy(sqlite_file, url).startswith("copied 0 of 450 traces")
    assert count_traces(url) == 450
    assert msgpack.unpackb(load_trace(url, "trc_000"))["trace_id"] == "kept"
    back = str(tmp_path / "back.sqlite3")
    copy(url, back)
    assert load_trace(back, "trc_449") == load_trace(sqlite_file, "trc_449")


def test_every_entry_point_takes_a_server_url(postgres_server, tmp_path):
    url = postgres_server.create_database("entry_points")
    (tmp_path / "prog.py").write_text("def f(x):\n    return x + 1\n\nf(1)\n")
    (tmp_path / "test_it.py").write_text("def test_ok():\n    assert 1\n")
    environment = {**os.environ, "VEXO_DB": url}

    def vexo(*arguments, module="vexo", status=0):
        result = subprocess.run(
            [sys.executable, "-m", module, *arguments], cwd=tmp_path, env=environment,
            capture_output=True, text=True, timeout=120,
        )  # fmt: skip
        assert result.returncode == status, result.stderr
        assert (
            postgres_server.url().split(":")[2].split("@")[0] not in result.stdout + result.stderr
        )
        return result.stdout

    vexo("run", "prog.py")
    report = ("--vexo-report", "report.html", "--vexo-report-all", "--vexo-summary", "summary.md")
    vexo("-p", "no:cacheprovider", "--vexo", *report, "test_it.py", module="pytest")
    assert {row.source.split()[0] for row in list_traces(url)} == {"script", "pytest"}
    assert [row.outcome for row in list_traces(url, kind="test")] == ["passed"]
    assert "f(x=1) -> 2" in vexo("show", "--db", url, list_traces(url, kind="script")[0].trace_id)
    assert "test_it.py::test_ok" in vexo("traces", "--run", "latest")
    assert count_traces(url, run_id=list_traces(url, kind="test")[0].run_id) == 1
    assert list_traces(url, kind="test")[0].trace_id in (tmp_path / "report.html").read_text()
    assert (tmp_path / "summary.md").read_text() == "## vexo: all 1 traced tests passed\n"
    vexo("prune", "--keep-runs", "1", status=1)
    vexo("html", "-o", "trace.html")
    vexo("export", "--format", "chrome", "-o", "trace.json")
    assert (tmp_path / "trace.html").stat().st_size and (tmp_path / "trace.json").stat().st_size
