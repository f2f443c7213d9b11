"""The writer thread: every queued trace is written before the process ends, and a waited save
keeps its records when the trace cannot be stored."""

import subprocess
import sys
import textwrap

import msgpack
import pytest

from vexo import Profiler
from vexo.db import DatabaseError, list_traces, load_trace

PROGRAM = textwrap.dedent(
    """
    import atexit, sys, threading, time

    path, ending = sys.argv[1], sys.argv[2]

    def save(trace_id):
        from vexo.db import save_trace_in_sqlite

        save_trace_in_sqlite(path, trace_id, msgpack=b"\\x91" + bytes([len(trace_id)]))

    atexit.register(save, "trc_at_exit")  # runs after the writer has stopped
    for number in range(50):
        save(f"trc_{number}")

    def later():
        time.sleep(0.2)
        save("trc_from_a_thread")

    threading.Thread(target=later).start()
    if ending == "exit":
        sys.exit(3)
    if ending == "exception":
        raise LookupError("the program fails")
    if ending == "interrupt":
        raise KeyboardInterrupt
    """
)


@pytest.mark.parametrize("ending", ["end", "exit", "exception", "interrupt"])
def test_every_queued_trace_is_written_however_the_program_ends(tmp_path, ending):
    path = tmp_path / "db.sqlite3"
    result = subprocess.run(
        [sys.executable, "-c", PROGRAM, str(path), ending], capture_output=True, timeout=120
    )
    assert result.returncode != 0 or ending == "end"
    assert b"vexo" not in result.stderr
    stored = {row.trace_id for row in list_traces(path)}
    assert stored == {f"trc_{n}" for n in range(50)} | {"trc_from_a_thread", "trc_at_exit"}


def traced(value):
    return value


def test_a_waited_save_that_fails_keeps_the_records(tmp_path):
    blocker = tmp_path / "in the way"
    blocker.write_text("")
    profiler = Profiler(db_path=blocker / "db.sqlite3").start()
    traced(1)
    profiler.stop()
    with pytest.raises(DatabaseError, match="cannot create the folder"):
        profiler.save(wait=True)
    blocker.unlink()
    profiler.save(wait=True)
    document = msgpack.unpackb(load_trace(blocker / "db.sqlite3", profiler.trace_id))
    calls = [r for r in document["frames_of_interest"] if r["event"] == "call"]
    assert [r["locals"]["value"] for r in calls if r["co_name"] == "traced"] == [1]


def test_a_full_queue_holds_the_saving_thread_and_loses_nothing(tmp_path, monkeypatch):
    from vexo.db import count_traces, save_trace_in_sqlite
    from vexo.store import writer

    monkeypatch.setattr(writer, "_MAX_QUEUED_BYTES", 1)
    path = tmp_path / "db.sqlite3"
    for number in range(30):
        save_trace_in_sqlite(path, f"trc_{number}", msgpack=b"\x90")
        assert writer.current_writer().queued_bytes <= 2
    assert count_traces(path) == 30


def test_a_read_or_a_waited_save_does_not_wait_for_the_writer_to_gather_more(tmp_path, monkeypatch):
    from vexo.db import save_trace_in_sqlite
    from vexo.store import writer

    monkeypatch.setattr(writer, "_LINGER", 600.0)
    path = tmp_path / "db.sqlite3"
    save_trace_in_sqlite(path, "trc_queued", msgpack=b"\x90")
    assert [row.trace_id for row in list_traces(path)] == ["trc_queued"]
    save_trace_in_sqlite(path, "trc_gathering", msgpack=b"\x90")
    save_trace_in_sqlite(path, "trc_waited", msgpack=b"\x90", wait=True)
    assert {row.trace_id for row in list_traces(path)} == {
        "trc_queued",
        "trc_gathering",
        "trc_waited",
    }
