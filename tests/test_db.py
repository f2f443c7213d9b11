"""The SQLite trace store: creation, atomic upserts, listing, loading and refusing foreign files."""

import os
import pathlib
import sqlite3
import subprocess
import sys
import textwrap

import msgpack
import pytest

from vexo import db
from vexo.db import (
    DatabaseError,
    StoreError,
    TraceNotFoundError,
    count_traces,
    document_trace_id,
    list_traces,
    load_trace,
    save_trace_in_sqlite,
    summarize_trace,
)
from vexo.store.codec import compress_all, decompress


def document(trace_id="trc_x", source="script", frames_of_interest=(), frames=None, timestamp=12.5):
    return msgpack.packb(
        {
            "command_line_args": ["prog"],
            "current_commit_sha": None,
            "frames": frames or {},
            "frames_of_interest": [msgpack.packb({"n": i}) for i in frames_of_interest],
            "main_thread_id": 1,
            "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
            "timestamp": timestamp,
            "trace_id": trace_id,
        }
    )


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / "nested" / "folder" / "db.sqlite3"


def test_first_save_creates_folder_file_and_schema(db_path):
    data = document()
    assert save_trace_in_sqlite(str(db_path), "trc_1", timeout=5, msgpack=data, wait=True) is None
    assert db_path.is_file()
    assert load_trace(db_path, "trc_1") == data
    with sqlite3.connect(db_path) as connection:
        assert connection.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        assert connection.execute("PRAGMA application_id").fetchone()[0] == db.APPLICATION_ID
        assert connection.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
    connection.close()


def test_path_like_and_positional_arguments_as_the_tracer_passes_them(db_path):
    save_trace_in_sqlite(db_path, "trc_1", **{"timeout": 60, "msgpack": document()})
    assert [row.trace_id for row in list_traces(str(db_path))] == ["trc_1"]


def test_summary_columns(store):
    data = document(source="pytest", frames_of_interest=[1, 2, 3], frames={7: [b"\x01", b"\x02"]})
    save_trace_in_sqlite(store, "trc_1", timeout=5, msgpack=data)
    (row,) = list_traces(store)
    assert row.trace_id == "trc_1"
    assert row.source == "pytest"
    assert row.record_count == 5
    assert row.size == len(data)
    assert row.started_at == 12.5
    assert row.stored_at > 1_600_000_000


@pytest.mark.parametrize(
    "data",
    [b"", b"\xc1", b"\x92\x01\x02", msgpack.packb({"meta": 3, "frames": "x"}), b"\x88\xa6frames"],
    ids=repr,
)
def test_unparsable_documents_are_stored_whole_without_summary(store, data):
    save_trace_in_sqlite(store, "trc_odd", timeout=5, msgpack=data)
    assert load_trace(store, "trc_odd") == data
    (row,) = list_traces(store)
    assert (row.source, row.size) == (None, len(data))


def test_summarize_skips_unknown_keys_and_handles_int_thread_keys():
    data = msgpack.packb({"extra": [1, {"a": 2}], "frames": {2**40: [1], 3: []}, "timestamp": 1})
    assert summarize_trace(data) == (1.0, None, 1, None)


@pytest.mark.parametrize("record_size", [10, 101 * 2**20], ids=["small", "over 100 MiB"])
def test_large_documents_are_read_past_their_records(record_size):
    # msgpack's stream reader refuses more than 100 MiB fed at once by default.
    records = ["x" * record_size, {"a": 1}]
    data = msgpack.packb(
        {"frames": {7: records}, "frames_of_interest": records, "timestamp": 2, "trace_id": "trc_9"}
    )
    assert summarize_trace(data) == (2.0, None, 4, None)
    assert document_trace_id(data) == "trc_9"


def test_same_trace_id_replaces_the_trace(store):
    save_trace_in_sqlite(store, "trc_1", timeout=5, msgpack=document(source="a"))
    save_trace_in_sqlite(store, "trc_2", timeout=5, msgpack=document(source="b"))
    save_trace_in_sqlite(store, "trc_1", timeout=5, msgpack=document(source="c"))
    rows = list_traces(store)
    assert [(row.trace_id, row.source) for row in rows] == [("trc_1", "c"), ("trc_2", "b")]
    assert load_trace(store, "trc_1") == document(source="c")


def test_listing_is_newest_first_and_can_be_limited(store, monkeypatch):
    clock = iter([100.0, 300.0, 200.0, 200.0])
    monkeypatch.setattr(db.time, "time", lambda: next(clock))
    for trace_id in ["trc_a", "trc_b", "trc_c", "trc_d"]:
        save_trace_in_sqlite(store, trace_id, timeout=5, msgpack=document())
    # Equal times: the one stored later comes first.
    assert [row.trace_id for row in list_traces(store)] == ["trc_b", "trc_d", "trc_c", "trc_a"]
    assert [row.trace_id for row in list_traces(store, limit=2)] == ["trc_b", "trc_d"]


def test_unknown_trace_id(store):
    save_trace_in_sqlite(store, "trc_1", timeout=5, msgpack=document())
    with pytest.raises(TraceNotFoundError, match="no trace trc_2 in") as caught:
        load_trace(store, "trc_2")
    assert isinstance(caught.value, LookupError) and isinstance(caught.value, StoreError)
    assert caught.value.trace_id == "trc_2"


def test_failed_save_stores_nothing(db_path):
    save_trace_in_sqlite(db_path, "trc_1", timeout=5, msgpack=document(source="old"), wait=True)
    connection = sqlite3.connect(db_path)
    # FAIL keeps what the statement did so far (the replaced row is already gone): only the
    # save's own transaction can bring the old trace back.
    connection.execute(
        "CREATE TRIGGER refuse AFTER INSERT ON traces WHEN NEW.source = 'new'"
        " BEGIN SELECT RAISE(FAIL, 'refused'); END"
    )
    connection.commit()
    connection.close()
    with pytest.raises(DatabaseError, match="refused"):
        save_trace_in_sqlite(db_path, "trc_1", timeout=5, msgpack=document(source="new"), wait=True)
    assert [(row.trace_id, row.source) for row in list_traces(db_path)] == [("trc_1", "old")]
    assert load_trace(db_path, "trc_1") == document(source="old")


@pytest.mark.parametrize(
    ("trace_id", "data"), [(1, b""), ("trc_1", "text"), ("trc_1", None)], ids=["id", "str", "none"]
)
def test_wrong_argument_types(db_path, trace_id, data):
    with pytest.raises(TypeError):
        save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=data)
    assert not db_path.exists()


def test_bytes_like_documents_are_accepted(db_path):
    save_trace_in_sqlite(db_path, "trc_1", timeout=5, msgpack=bytearray(b"\x90"))
    save_trace_in_sqlite(db_path, "trc_2", timeout=5, msgpack=memoryview(b"\x91\x01"))
    assert load_trace(db_path, "trc_1") == b"\x90"
    assert load_trace(db_path, "trc_2") == b"\x91\x01"


def test_busy_timeout_applies_to_writers(db_path):
    save_trace_in_sqlite(db_path, "trc_1", timeout=5, msgpack=document(), wait=True)
    blocker = sqlite3.connect(db_path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(DatabaseError, match="locked"):
            save_trace_in_sqlite(db_path, "trc_2", timeout=0, msgpack=document(), wait=True)
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    save_trace_in_sqlite(db_path, "trc_2", timeout=0, msgpack=document())
    assert {row.trace_id for row in list_traces(db_path)} == {"trc_1", "trc_2"}


def test_folder_that_cannot_be_made(tmp_path):
    (tmp_path / "file").write_text("in the way")
    with pytest.raises(DatabaseError, match="cannot create the folder"):
        save_trace_in_sqlite(
            tmp_path / "file" / "db.sqlite3", "trc_1", timeout=1, msgpack=b"\x90", wait=True
        )


def test_readers_never_create_the_file(tmp_path):
    path = tmp_path / "missing" / "db.sqlite3"
    with pytest.raises(DatabaseError, match="no trace database at"):
        list_traces(path)
    with pytest.raises(DatabaseError, match="no trace database at"):
        load_trace(path, "trc_1")
    assert not path.parent.exists()


def test_empty_file_reads_as_empty_and_is_taken_over(tmp_path):
    path = tmp_path / "db.sqlite3"
    path.touch()
    assert list_traces(path) == []
    with pytest.raises(TraceNotFoundError):
        load_trace(path, "trc_1")
    save_trace_in_sqlite(path, "trc_1", timeout=5, msgpack=b"\x90")
    assert load_trace(path, "trc_1") == b"\x90"


def foreign_sqlite(path):
    connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE notes (body TEXT)")
    connection.execute("INSERT INTO notes VALUES ('mine')")
    connection.commit()
    connection.close()


def newer_schema(path):
    save_trace_in_sqlite(path, "trc_1", timeout=5, msgpack=b"\x90", wait=True)
    connection = sqlite3.connect(path)
    connection.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")  # all of it in the file compared
    connection.close()


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda path: path.write_bytes(b"not a database at all" * 100), "file is not a database"),
        (foreign_sqlite, "is not a vexo trace database"),
        (newer_schema, "newer vexo"),
        (lambda path: path.mkdir(), "is a folder"),
    ],
    ids=["text", "foreign", "newer", "folder"],
)
def test_foreign_files_are_refused_and_left_alone(tmp_path, make, message):
    path = tmp_path / "db.sqlite3"
    make(path)
    before = path.read_bytes() if path.is_file() else None
    for call in (
        lambda: list_traces(path),
        lambda: load_trace(path, "trc_1"),
        lambda: save_trace_in_sqlite(path, "trc_9", timeout=1, msgpack=b"\x90", wait=True),
    ):
        with pytest.raises(DatabaseError, match=message):
            call()
    if before is not None:
        assert path.read_bytes() == before


WRITER = textwrap.dedent(
    """
    import sys
    from vexo.db import save_trace_in_sqlite
    path, worker, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    sys.stdin.readline()  # all writers start together
    for i in range(count):
        document = bytes([0x91, 0xCD]) + (worker * 1000 + i).to_bytes(2, "big")
        save_trace_in_sqlite(path, f"trc_{worker}_{i}", timeout=60, msgpack=document)
    """
)


@pytest.mark.parametrize("existing", [False, True], ids=["new-database", "existing-database"])
def test_concurrent_writer_processes_lose_no_trace(tmp_path, existing):
    path = tmp_path / "shared" / "db.sqlite3"
    if existing:
        save_trace_in_sqlite(path, "trc_first", timeout=5, msgpack=b"\x90")
    workers, count = 4, 25
    processes = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, str(path), str(worker), str(count)],
            stdin=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        for worker in range(workers)
    ]
    for process in processes:
        process.stdin.write(b"go\n")
        process.stdin.flush()
        process.stdin.close()
    # Read while they write: a reader sees complete saves only, never an error.
    seen = 0
    while any(process.poll() is None for process in processes):
        if path.exists():
            rows = list_traces(path)
            assert len(rows) >= seen
            seen = len(rows)
    for process in processes:
        assert process.wait(timeout=120) == 0, process.stderr.read().decode()
    stored = {row.trace_id for row in list_traces(path)}
    expected = {f"trc_{w}_{i}" for w in range(workers) for i in range(count)}
    assert stored - {"trc_first"} == expected
    assert msgpack.unpackb(load_trace(path, "trc_3_24")) == [3024]


@pytest.mark.parametrize("round_", range(3))
def test_writers_racing_to_create_the_database(tmp_path, round_):
    path = tmp_path / "db.sqlite3"
    processes = [
        subprocess.Popen(
            [sys.executable, "-c", WRITER, str(path), str(worker), "1"],
            stdin=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        for worker in range(8)
    ]
    for process in processes:
        process.stdin.write(b"go\n")
        process.stdin.close()
    for process in processes:
        assert process.wait(timeout=120) == 0, process.stderr.read().decode()
    assert len(list_traces(path)) == 8


def test_default_database_file_name_is_not_created_by_import(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    subprocess.run([sys.executable, "-c", "import vexo.db"], check=True, timeout=60, cwd=tmp_path)
    assert os.listdir(tmp_path) == []
    assert pathlib.Path(tmp_path).is_dir()


def version_1_database(path):
    """A database as the first release wrote it: uncompressed documents, no kind or outcome."""
    connection = sqlite3.connect(path)
    connection.executescript(
        f"""
        PRAGMA journal_mode = WAL;
        CREATE TABLE traces (trace_id TEXT PRIMARY KEY NOT NULL, stored_at REAL NOT NULL,
            started_at REAL, source TEXT, record_count INTEGER, size INTEGER NOT NULL,
            msgpack BLOB NOT NULL);
        CREATE INDEX traces_by_stored_at ON traces (stored_at);
        PRAGMA application_id = {db.APPLICATION_ID};
        PRAGMA user_version = 1;
        """
    )
    for number, source in enumerate(["script a.py", "pytest tests/t.py::test_x", "wsgi GET /"]):
        data = document(trace_id=f"trc_old{number}", source=source)
        connection.execute(
            "INSERT INTO traces VALUES (?, ?, 12.5, ?, 0, ?, ?)",
            (f"trc_old{number}", number, source, len(data), data),
        )
    connection.commit()
    connection.close()


def test_version_1_is_read_as_it_is_and_upgraded_by_the_first_write(tmp_path):
    path = tmp_path / "db.sqlite3"
    version_1_database(path)
    old = [(row.trace_id, row.outcome) for row in list_traces(path)]
    assert old == [("trc_old2", None), ("trc_old1", None), ("trc_old0", None)]
    assert [row.trace_id for row in list_traces(path, kind="test")] == ["trc_old1"]
    assert count_traces(path, kind="request") == 1
    assert list_traces(path, failed=True) == [] and count_traces(path, test="t.py::") == 1
    assert db.full_trace_id(path, "trc_old2") == "trc_old2"
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone()[0] == 1
    connection.close()

    save_trace_in_sqlite(path, "trc_new", msgpack=document(source="module pkg"), wait=True)
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
        rows = dict(connection.execute("SELECT trace_id, kind FROM traces"))
        (codec,) = connection.execute(
            "SELECT codec FROM traces WHERE trace_id = 'trc_new'"
        ).fetchone()
    connection.close()
    assert rows == {
        "trc_old0": "script",
        "trc_old1": "test",
        "trc_old2": "request",
        "trc_new": "module",
    }
    assert codec == "zstd"
    assert load_trace(path, "trc_old1") == document(
        trace_id="trc_old1", source="pytest tests/t.py::test_x"
    )
    assert load_trace(path, "trc_new") == document(source="module pkg")


def cut_in_half(path):
    connection = sqlite3.connect(path)
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    connection.close()
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) // 2)


@pytest.mark.parametrize(
    ("change", "message"),
    [(newer_schema, "newer vexo"), (cut_in_half, "cut short")],
    ids=["newer", "cut"],
)
def test_the_writer_refuses_a_file_changed_under_its_connection(db_path, change, message):
    # Batches larger than one statement, then one trace, through the connection the writer keeps.
    for i in range(1500):
        save_trace_in_sqlite(db_path, f"trc_{i:04}", timeout=5, msgpack=document(), wait=False)
    assert db.flush()
    assert count_traces(db_path) == 1500
    change(db_path)
    with pytest.raises(DatabaseError, match=message):
        save_trace_in_sqlite(db_path, "trc_late", timeout=1, msgpack=document(), wait=True)


def test_a_batch_of_small_and_large_documents_keeps_its_order():
    # Small and large documents are compressed at different levels, each group in one call.
    documents = [b"a" * 10, os.urandom(100_000), b"b" * 70_000, b"c" * 5]
    compressed = compress_all(documents)
    assert [decompress(part, "zstd", "trc_x") for part in compressed] == documents


def test_documents_compressed_by_zlib_or_damaged(db_path):
    import zlib

    save_trace_in_sqlite(db_path, "trc_1", msgpack=document(), wait=True)
    save_trace_in_sqlite(db_path, "trc_2", msgpack=document(), wait=True)
    with sqlite3.connect(db_path) as connection:
        connection.execute(
            "UPDATE traces SET codec = 'zlib', msgpack = ? WHERE trace_id = 'trc_1'",
            (zlib.compress(document()),),
        )
        connection.execute("UPDATE traces SET msgpack = x'28b52ffd00' WHERE trace_id = 'trc_2'")
    connection.close()
    assert load_trace(db_path, "trc_1") == document()
    with pytest.raises(DatabaseError, match="trace trc_2 is damaged"):
        load_trace(db_path, "trc_2")


def test_listing_filtered_by_kind_and_text_in_pages(store):
    sources = [
        "script demo.py",
        "module app",
        "pytest t.py::test_a",
        "wsgi GET /a",
        "django GET /b",
    ]
    sources += ["pytest t.py::test_b", "tests", None, "script a_b%.py"]
    for number, source in enumerate(sources):
        save_trace_in_sqlite(store, f"trc_{number}", msgpack=document(source=source))
    kinds = {kind: count_traces(store, kind=kind) for kind in sorted(db.KINDS)}
    assert kinds == {"module": 1, "request": 2, "script": 2, "test": 2}
    assert count_traces(store) == len(sources)
    assert [r.trace_id for r in list_traces(store, kind="test")] == ["trc_5", "trc_2"]
    assert [r.trace_id for r in list_traces(store, text="get /")] == ["trc_4", "trc_3"]
    assert [r.trace_id for r in list_traces(store, text="RC_7")] == ["trc_7"]
    assert [r.trace_id for r in list_traces(store, text="_b%")] == ["trc_8"]
    assert count_traces(store, kind="request", text="/b") == 1
    pages = [list_traces(store, limit=3, offset=offset) for offset in (0, 3, 6)]
    assert [r.trace_id for page in pages for r in page] == [f"trc_{n}" for n in range(8, -1, -1)]
    with pytest.raises(ValueError, match="unknown kind of trace 'tests'"):
        list_traces(store, kind="tests")


def test_listing_filtered_by_outcome_test_and_id_prefix(store):
    def traced(source, *records):
        return msgpack.packb({"meta": {"source": source}, "frames_of_interest": list(records)})

    def test(nodeid, outcome):
        return traced("pytest", {"type": "start_test", "nodeid": nodeid}, {"a": 1},
                      {"type": "end_test", "outcome": outcome})  # fmt: skip

    def request(source, outcome):
        return traced(source, {"a": 1}, {"type": "end_request", "outcome": outcome})

    traces = {
        "trc_a1": test("t.py::test_a", "passed"),
        "trc_a2": test("t.py::test_a", "failed"),
        "trc_b1": test("u.py::test_b", "error"),
        "trc_r1": request("wsgi GET /a", "200"),
        "trc_r2": request("wsgi GET /b", "503"),
        "trc_r3": request("django GET /c", "error"),
        "trc_s1": traced("script a.py", {"type": "end_request", "outcome": "500"}),
        "trc_s10": traced("script a.py"),
    }
    for trace_id, data in traces.items():
        save_trace_in_sqlite(store, trace_id, msgpack=data)

    def ids(**filters):
        return [row.trace_id for row in list_traces(store, **filters)]

    assert ids(failed=True) == ["trc_s1", "trc_r3", "trc_r2", "trc_b1", "trc_a2"]
    assert count_traces(store, failed=True) == 5
    assert ids(failed=True, kind="request") == ["trc_r3", "trc_r2"]
    assert ids(outcome="200") == ["trc_r1"] and ids(kind="test", outcome="failed") == ["trc_a2"]
    assert ids(test="test_a") == ["trc_a2", "trc_a1"] == ids(test="T.PY::*_A")
    assert ids(test="u*b", failed=True) == ["trc_b1"] and ids(test="%") == []
    assert count_traces(store, test="test_") == 3
    assert ids(id_prefix="trc_a") == ["trc_a2", "trc_a1"] and ids(id_prefix="trc%") == []
    assert ids(passed=True) == ["trc_r1", "trc_a1"]
    assert ids(source="pytest t.py::test_a") == ["trc_a2", "trc_a1"]
    assert db.last_passing(store, "trc_a2").trace_id == "trc_a1"
    assert [db.last_passing(store, t) for t in ("trc_a1", "trc_r2", "trc_s1")] == [None] * 3
    assert db.full_trace_id(store, "trc_r1") == "trc_r1"
    assert db.full_trace_id(store, "trc_s1") == "trc_s1"  # also the beginning of trc_s10
    assert db.full_trace_id(store, "trc_b") == "trc_b1"
    with pytest.raises(db.AmbiguousTraceIdError, match="trace id trc_r is ambiguous in"):
        db.full_trace_id(store, "trc_r")
    with pytest.raises(TraceNotFoundError, match="no trace trc_z in"):
        db.full_trace_id(store, "trc_z")


def _record_documents():
    def packed(doc):
        return msgpack.packb(doc)

    start = {"type": "start_test", "nodeid": "t.py::a"}
    end = {"type": "end_test", "outcome": "failed", "nodeid": "t.py::a"}
    meta = {"source": "pytest"}
    plain = [
        packed({"meta": meta, "timestamp": 3, "frames_of_interest": [start, {"x": [1]}, end]}),
        packed({"meta": meta, "frames_of_interest": [start], "frames": {1: [1, 2], "t": [{}]}}),
        packed({"frames_of_interest": [end, 5, start], "timestamp": True, "meta": {"source": 1}}),
        packed({"frames_of_interest": [{"type": "end_test", "outcome": "lost"}], "frames": {}}),
        packed(
            {
                "meta": {"source": "wsgi GET /"},
                "frames_of_interest": [
                    start,
                    {**end, "type": "end_request", "outcome": "500", "status": 500},
                ],
            }
        ),
        packed(
            {
                "meta": {"source": "wsgi GET /"},
                "frames_of_interest": [{"type": "end_request", "outcome": "5000"}],
            }
        ),
        packed({"timestamp": 2**64 - 1, "meta": [meta], "frames_of_interest": [[start]]}),
        b"\x83\xa9timestamp\x01\xa9timestamp\xa1x\xa4meta\x82\xa6source\xa1a\xa6source\xc0",
        b"\x82\xa4meta\x81\xa6source\xa2\xff!\xb2frames_of_interest\x91\x82\xa4type\xaastart_test"
        b"\xa6nodeid\xa3\xc3(x",  # invalid UTF-8 text
        # vexo's own extension values (a reference, one it does not know) and the record left
        # where recording stopped, which is no test marker
        packed(
            {
                "meta": {**meta, "x": msgpack.ExtType(7, b"")},
                "frames_of_interest": [
                    {"type": "recording_stopped", "reason": "budget", "limit": 8},
                    {
                        **end,
                        "arg": msgpack.ExtType(1, msgpack.packb(["C", "f", "call", "arg", None])),
                    },
                ],
            }
        ),
    ]
    whole = packed({"meta": meta, "timestamp": 1.5, "frames_of_interest": [start, {"a": 1}, end]})
    odd = [
        b"",
        b"\x93\x01\x02\x03",
        whole[:-3],  # cut inside the last record
        whole + b"\xc1",
        b"\x82\xa4meta\x81\xa6source\xa1a\xb2frames_of_interest\xdd\xff\xff\xff\xff"
        + packed(start)
        + b"\x01",  # a huge count, cut after its first record
        b"\x82\xa4meta\x81\xa6source\xa1a\x01\x02",  # a key that is no text
        b"\x82\xa4meta\x81\xa6source\xa1a\xa9timestamp\xd5\xff\x00\x00",  # invalid timestamp
        b"\x81\xa6frames\x81\x01\x91" + b"\x91" * 1100 + b"\x01",  # nested too deep to skip
        b"\x82\xa4meta\x81\xa6source\xa1a\xb2frames_of_interest\x91\x81\x91\x01\x02",
        packed({"meta": meta, "frames": {1: 2}, "timestamp": 4}),
    ]
    return plain, odd


def test_compiled_summary_reads_what_the_reference_reads(monkeypatch):
    from vexo.trace import summary as documents

    speedups = documents.compiled
    if speedups is None:
        pytest.skip("the compiled module is not in use")
    plain, odd = _record_documents()
    compiled = [summarize_trace(data) for data in plain + odd]
    assert all(speedups.summarize_document(data) is not None for data in plain)
    monkeypatch.setattr(documents, "compiled", None)
    assert compiled == [summarize_trace(data) for data in plain + odd]
