"""Saving traces through vexo.db, and what a failed save keeps."""

import sys

import pytest

import vexo.db
from conftest import decode
from vexo import _vexo


def traced(value):
    return value


def record_count(document):
    return len(decode(document)["frames_of_interest"])


def test_the_call_exactly(make_profiler, saved_calls):
    profiler = make_profiler(db_path="some/where.sqlite3", trace_id="trc_1")
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    assert profiler.rust_profiler.save_request_in_db() is None
    ((args, kwargs),) = saved_calls
    assert args == ("some/where.sqlite3", "trc_1")
    assert list(kwargs) == ["timeout", "msgpack"] and kwargs["timeout"] == 60
    document = decode(kwargs["msgpack"])
    assert document["frames"] == {} and document["frames_of_interest"] == []
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[1][0] == ("some/where.sqlite3", "trc_1")


def failing_module(monkeypatch):
    monkeypatch.setitem(sys.modules, "vexo.db", None)


def missing_function(monkeypatch):
    monkeypatch.delattr(vexo.db, "save_trace_in_sqlite")


def raising_function(monkeypatch):
    def save_trace_in_sqlite(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(vexo.db, "save_trace_in_sqlite", save_trace_in_sqlite)


@pytest.mark.parametrize(
    "break_it, error",
    [
        (failing_module, ImportError),
        (missing_function, AttributeError),
        (raising_function, OSError),
    ],
)
def test_a_failed_save_loses_no_records(make_profiler, monkeypatch, break_it, error):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    traced(1)
    with monkeypatch.context() as patch:
        break_it(patch)
        with pytest.raises(error):
            profiler.rust_profiler.save_request_in_db()
    traced(2)  # arrives after the failure, goes behind the kept records
    _vexo.register_noop_profiler()
    stored = []
    monkeypatch.setattr(
        vexo.db, "save_trace_in_sqlite", lambda *a, **k: stored.append(decode(k["msgpack"]))
    )
    profiler.rust_profiler.save_request_in_db()
    profiler.rust_profiler.save_request_in_db()
    args = [
        r["locals"]["value"]
        for r in stored[0]["frames_of_interest"]
        if r.get("event") == "call" and r["co_name"] == "traced"
    ]
    assert args == [1, 2]
    assert stored[1]["frames_of_interest"] == []
    assert stored[0]["trace_id"] == profiler.trace_id


def test_retry_stores_every_record_once_in_sqlite(make_profiler, monkeypatch, tmp_path):
    db_path = tmp_path / "traces" / "db.sqlite3"
    profiler = make_profiler(db_path=db_path)
    _vexo.register_profiler(profiler)
    traced(1)
    traced(2)
    _vexo.register_noop_profiler()
    with monkeypatch.context() as patch:
        raising_function(patch)
        with pytest.raises(OSError):
            profiler.rust_profiler.save_request_in_db()
    profiler.rust_profiler.save_request_in_db()
    assert vexo.db.count_traces(db_path) == 1
    document = vexo.db.load_trace(db_path, profiler.trace_id)
    assert record_count(document) == 4
