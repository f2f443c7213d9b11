"""The package's profiler object: its attributes, and starting, stopping, building and saving."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
import time

import msgpack
import pytest

import vexo
import vexo.common.compiled
import vexo.recording.profiler
from vexo import _vexo
from vexo.common.ids import CROCKFORD_BASE32, new_trace_id, new_ulid
from vexo.db import list_traces, load_trace
from vexo.profiler import Profiler, thread_tracer

TRACE_ID = re.compile(r"trc_[0-9A-HJKMNP-TV-Z]{26}")

requires_native = pytest.mark.skipif(
    not hasattr(_vexo, "register_profiler"), reason="the native tracer has no register_profiler yet"
)


def decode(document):
    return msgpack.unpackb(document, strict_map_key=False)


def ulid_milliseconds(ulid):
    value = 0
    for char in ulid[:10]:
        value = value * 32 + CROCKFORD_BASE32.index(char)
    return value


def test_defaults(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    profiler = Profiler()
    assert profiler.config == {"values": "safe"}
    assert profiler.db_path == str(tmp_path / ".vexo" / "db.sqlite3")
    assert profiler.one_trace_per_test is False
    assert profiler.source == "script"
    assert TRACE_ID.fullmatch(profiler.trace_id)
    assert profiler.rust_profiler is None and not profiler.started
    assert callable(profiler) and profiler(None, "call", None) is None


def test_given_values(tmp_path):
    config = {"threading": True}
    profiler = Profiler(
        config,
        db_path=pathlib.Path(tmp_path, "x.sqlite3"),
        one_trace_per_test=True,
        trace_id="trc_given",
        source="pytest",
    )
    assert profiler.config == {**config, "values": "safe"} and profiler.config is not config
    assert profiler.db_path == str(tmp_path / "x.sqlite3")
    assert (profiler.one_trace_per_test, profiler.trace_id, profiler.source) == (
        True,
        "trc_given",
        "pytest",
    )


def test_relative_db_path_is_fixed_at_construction(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    profiler = Profiler(db_path="traces/db.sqlite3")
    monkeypatch.chdir("/")
    assert profiler.db_path == str(tmp_path / "traces" / "db.sqlite3")


class OwnPath(os.PathLike):
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_any_path_like_gives_its_path_not_its_str(tmp_path):
    assert Profiler(db_path=OwnPath(str(tmp_path / "p.db"))).db_path == str(tmp_path / "p.db")


@pytest.mark.parametrize(("name", "value"), [("trace_id", 5), ("source", None)])
def test_wrong_types_are_refused(name, value):
    with pytest.raises(TypeError, match=name):
        Profiler(**{name: value})


def test_trace_ids_are_new_ulids_of_now():
    # The compiled generator, unless the run asks for pure Python.
    assert (vexo.common.compiled.compiled is None) == (os.environ.get("VEXO_PURE_PYTHON") == "1")
    before = time.time_ns() // 1_000_000
    ids = {Profiler().trace_id for _ in range(200)}
    after = time.time_ns() // 1_000_000
    assert len(ids) == 200
    for trace_id in ids:
        assert TRACE_ID.fullmatch(trace_id)
        assert before <= ulid_milliseconds(trace_id[4:]) <= after


@pytest.mark.parametrize(
    ("milliseconds", "prefix"),
    [
        (1_700_000_000_000, "01HF7YAT00"),
        (0, "0000000000"),
        (-5, "0000000000"),
        (2**48 - 1, "7ZZZZZZZZZ"),
    ],
)
def test_ulid_time_part(milliseconds, prefix):
    ulid = new_ulid(milliseconds)
    assert len(ulid) == 26 and ulid.startswith(prefix)
    assert set(ulid) <= set(CROCKFORD_BASE32)


@pytest.mark.parametrize(
    "random_part",
    [lambda: new_ulid(0)[10:], lambda: new_trace_id()[14:]],
    ids=["python ulid", "trace id"],
)
def test_random_parts_vary_also_across_a_fork(random_part):
    assert len({random_part() for _ in range(100)}) == 100
    reading, writing = os.pipe()
    child = os.fork()
    if child == 0:  # the child's first ids must not be the parent's next ones
        os.write(writing, "".join(random_part() for _ in range(3)).encode())
        os._exit(0)
    os.close(writing)
    os.waitpid(child, 0)
    with os.fdopen(reading) as pipe:
        in_child = pipe.read()
    ours = [random_part() for _ in range(3)]
    assert len(in_child) == 48 and not set(ours) & {in_child[i : i + 16] for i in (0, 16, 32)}


def test_build_and_save_need_a_started_profiler():
    profiler = Profiler()
    with pytest.raises(RuntimeError, match="not been started"):
        profiler.build()
    with pytest.raises(RuntimeError, match="not been started"):
        profiler.save()


class FakeNative:
    """Stands in for vexo._vexo, recording what the profiler object asks of it."""

    def __init__(self):
        self.calls = []

    def register_profiler(self, profiler):
        native = FakeVexoProfiler(self)
        profiler.rust_profiler = native
        self.calls.append(("register_profiler", profiler))
        if profiler.config.get("threading") is True:
            threading.setprofile(native.register_threading_profiler)

    def register_noop_profiler(self):
        self.calls.append(("register_noop_profiler",))


class FakeVexoProfiler:
    def __init__(self, native):
        self.native = native

    def build_trace(self):
        self.native.calls.append(("build_trace",))
        return b"\x88"

    def save_request_in_db(self):
        self.native.calls.append(("save_request_in_db",))

    def register_threading_profiler(self, frame, event, arg):
        pass


@pytest.fixture
def fake(monkeypatch):
    native = FakeNative()
    monkeypatch.setattr(vexo.recording.profiler, "_tracer", lambda backend="profile": native)
    yield native
    threading.setprofile(None)


def current_threading_profile():
    getter = getattr(threading, "getprofile", None)
    return getter() if getter else threading._profile_hook


def test_methods_call_the_native_interface(fake):
    profiler = Profiler()
    assert profiler.start() is profiler
    assert profiler.started
    assert profiler.build() == b"\x88"
    assert profiler.save() is None
    profiler.stop()
    assert fake.calls == [
        ("register_profiler", profiler),
        ("build_trace",),
        ("save_request_in_db",),
        ("register_noop_profiler",),
    ]


def test_context_manager_starts_and_stops(fake):
    with Profiler() as profiler:
        assert fake.calls == [("register_profiler", profiler)]
    assert fake.calls[-1] == ("register_noop_profiler",)


def test_stop_clears_the_threading_hook_it_set(fake):
    profiler = Profiler({"threading": True}).start()
    assert current_threading_profile() == profiler.rust_profiler.register_threading_profiler
    profiler.stop()
    assert current_threading_profile() is None


def test_stop_leaves_a_threading_hook_set_by_someone_else(fake):
    profiler = Profiler({"threading": True}).start()

    def other(frame, event, arg):
        pass

    threading.setprofile(other)
    profiler.stop()
    assert current_threading_profile() is other


def test_stop_without_threading_leaves_threading_alone(fake):
    def other(frame, event, arg):
        pass

    threading.setprofile(other)
    Profiler({"threading": 1}).start().stop()
    assert current_threading_profile() is other


def test_plugin_mistakes_are_raised_before_registering(fake):
    with pytest.raises(ValueError, match="unknown vexo plugin 'nope'"):
        Profiler({"plugins": ["nope"]}).start()
    assert fake.calls == []


def traced_function(value):
    doubled = value * 2
    return doubled


def frame_records(records, name):
    return [r for r in records if r.get("type") == "frame" and r.get("co_name") == name]


@requires_native
def test_real_tracer_records_between_start_and_stop(tmp_path):
    profiler = Profiler(db_path=tmp_path / "db.sqlite3", source="unit")
    profiler.start()
    assert thread_tracer() is profiler.rust_profiler
    traced_function(5)
    profiler.stop()
    assert thread_tracer() is None
    document = decode(profiler.build())
    assert document["trace_id"] == profiler.trace_id
    assert document["meta"]["source"] == "unit"
    assert document["meta"]["version"] == vexo.__version__
    assert document["current_commit_sha"] == vexo.git.COMMIT_SHA
    records = frame_records(document["frames_of_interest"], "traced_function")
    assert [r["event"] for r in records] == ["call", "return"]
    assert records[1]["arg"] == 10
    assert records[1]["locals"] == {"value": 5, "doubled": 10}
    # No frame of the package itself is recorded.
    assert not any("/vexo/" in r.get("path", "") for r in document["frames_of_interest"])


@requires_native
def test_real_tracer_saves_into_the_database(tmp_path):
    path = tmp_path / "store" / "db.sqlite3"
    with Profiler(db_path=path, source="unit") as profiler:
        traced_function(1)
    profiler.save()
    (row,) = list_traces(path)
    assert (row.trace_id, row.source) == (profiler.trace_id, "unit")
    assert row.record_count >= 2
    document = decode(load_trace(path, profiler.trace_id))
    assert frame_records(document["frames_of_interest"], "traced_function")


THREADED = textwrap.dedent(
    """
    import threading, msgpack
    from vexo.profiler import Profiler

    def traced_function(value):
        return value * 2

    def worker(results):
        results.append(traced_function(21))

    results = []
    profiler = Profiler({"threading": True}, db_path="unused.sqlite3")
    profiler.start()
    thread = threading.Thread(target=worker, args=(results,))
    thread.start()
    thread.join()
    profiler.stop()
    getter = getattr(threading, "getprofile", None)
    assert (getter() if getter else threading._profile_hook) is None
    document = msgpack.unpackb(profiler.build(), strict_map_key=False)
    names = [r.get("co_name") for rs in document["frames"].values() for r in rs]
    print(results, names.count("traced_function"), len(document["frames"]))
    """
)


@requires_native
def test_real_tracer_with_threading(tmp_path):
    # Threads under a tracer can deadlock if something is wrong: keep them in a child process.
    script = tmp_path / "threaded.py"  # a real file: code from -c counts as generated
    script.write_text(THREADED)
    result = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[42]", "2", "1"]


@requires_native
def test_real_tracer_with_lightweight_dumps(tmp_path):
    profiler = Profiler({"lightweight_repr": True}, db_path=tmp_path / "db.sqlite3")
    profiler.start()
    traced_function("x" * 1000)
    profiler.stop()
    records = frame_records(decode(profiler.build())["frames_of_interest"], "traced_function")
    returned = records[1]["arg"]
    assert returned.endswith("…") and len(returned) < 1000
