"""Building the profiler state from the profiler object and its configuration."""

import os
import pathlib
import sys
import threading

import pytest

import vexo.serialize
from conftest import decode
from vexo import _vexo


def traced_once(profiler, function, *args):
    _vexo.register_profiler(profiler)
    function(*args)
    _vexo.register_noop_profiler()
    return decode(profiler.rust_profiler.build_trace())


def sample(value):
    return value


def test_empty_configuration_defaults(make_profiler, saved_calls):
    profiler = make_profiler({})
    document = traced_once(profiler, sample, 1)
    assert [r["co_name"] for r in document["frames_of_interest"]] == ["sample", "sample"]
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[0][1]["timeout"] == 60


@pytest.mark.parametrize("filters", [None, {}, [], 5, {"include_frames": None}.get("x")])
def test_unusable_filters_give_empty_lists(make_profiler, filters):
    document = traced_once(make_profiler({"filters": filters}), sample, 1)
    assert len(document["frames_of_interest"]) == 2


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("tests", TypeError, "^Can't extract `str` to `Vec`$"),
        (None, TypeError, "^'NoneType' object cannot be converted to 'Sequence'$"),
        (["ok", 3], TypeError, "^'int' object cannot be converted to 'PyString'$"),
    ],
)
@pytest.mark.parametrize("key", ["include_frames", "ignore_frames"])
def test_bad_fragment_lists_fail_construction(make_profiler, key, value, error, message):
    profiler = make_profiler({"filters": {key: value}})
    with pytest.raises(error, match=message):
        _vexo.register_profiler(profiler)
    assert sys.getprofile() is None
    assert not hasattr(profiler, "rust_profiler")


@pytest.mark.parametrize("fragments", [[os.path.basename(__file__)], (__file__, "x")])
def test_ignore_fragments_from_list_or_tuple(make_profiler, fragments):
    document = traced_once(make_profiler({"filters": {"ignore_frames": fragments}}), sample, 1)
    assert document["frames_of_interest"] == []


@pytest.mark.parametrize(
    "value, accepted", [(0, 0), (5, 5), (None, None), (-1, None), (5.0, None), (2**64, None)]
)
def test_sqlite_busy_timeout(make_profiler, saved_calls, value, accepted):
    profiler = make_profiler({"sqlite_busy_timeout": value})
    if accepted is None:
        with pytest.raises((TypeError, OverflowError)):
            _vexo.register_profiler(profiler)
        assert sys.getprofile() is None
        return
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[0][1]["timeout"] == accepted
    assert list(saved_calls[0][1]) == ["timeout", "msgpack"]


def test_sqlite_busy_timeout_through_index_protocol(make_profiler, saved_calls):
    class Seconds:
        def __index__(self):
            return 7

    profiler = make_profiler({"sqlite_busy_timeout": Seconds()})
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[0][1]["timeout"] == 7


DUMPERS = ["", "_in_trace", "_repr", "_full", "_lightweight_repr", "_lightweight_with_repr"]


@pytest.mark.parametrize(
    "config, dumper",
    [
        ({}, ""),
        ({"values": "safe"}, "_in_trace"),
        ({"values": "repr"}, "_repr"),
        ({"values": "full"}, "_full"),
        ({"values": "Full"}, ""),
        ({"values": 5}, ""),
        ({"lightweight_repr": True}, "_lightweight_repr"),
        ({"lightweight_repr": True, "values": "safe"}, "_lightweight_repr"),
        ({"lightweight_repr": True, "values": "full"}, "_lightweight_with_repr"),
        ({"lightweight_repr": 1, "values": "repr"}, "_repr"),
        ({"lightweight_repr": "yes"}, ""),
    ],
)
def test_values_and_lightweight_repr_choose_the_dump(make_profiler, monkeypatch, config, dumper):
    used = []
    for suffix in DUMPERS:
        name = "dump_msgpack" + suffix
        real = getattr(vexo.serialize, name)
        monkeypatch.setattr(
            vexo.serialize,
            name,
            lambda *a, real=real, suffix=suffix: used.append(suffix) or real(*a),
        )
    traced_once(make_profiler(config), sample, 1)
    assert set(used) == {dumper}


@pytest.mark.parametrize("value, separate", [(True, True), (1, False), ("on", False)])
def test_threading_flag_decides_the_buffer(make_profiler, value, separate):
    profiler = make_profiler({"threading": value})

    def run_thread():
        thread = threading.Thread(target=sample, args=(1,))
        thread.start()
        thread.join()

    _vexo.register_profiler(profiler)
    run_thread()
    _vexo.register_noop_profiler()
    threading.setprofile(None)
    document = decode(profiler.rust_profiler.build_trace())
    if separate:
        (records,) = document["frames"].values()
        assert [r["co_name"] for r in records] == ["sample", "sample"]
    else:
        assert document["frames"] == {}


@pytest.mark.parametrize(
    "attribute, value, error",
    [
        ("config", [], "'list' object cannot be converted to 'PyDict'"),
        ("one_trace_per_test", 1, "'int' object cannot be converted to 'PyBool'"),
        ("trace_id", b"trc", "'bytes' object cannot be converted to 'PyString'"),
        ("source", None, "'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_profiler_attributes(make_profiler, attribute, value, error):
    profiler = make_profiler()
    setattr(profiler, attribute, value)
    with pytest.raises(TypeError, match=f"^{error}$"):
        _vexo.register_profiler(profiler)
    assert sys.getprofile() is None


@pytest.mark.parametrize("attribute", ["config", "db_path", "one_trace_per_test", "trace_id"])
def test_attribute_that_raises_on_access(make_profiler, attribute):
    profiler = make_profiler()

    class Raising(type(profiler)):
        pass

    def broken(self):
        raise LookupError(attribute)

    setattr(Raising, attribute, property(broken))
    profiler.__class__ = Raising
    with pytest.raises(LookupError, match=attribute):
        _vexo.register_profiler(profiler)
    assert sys.getprofile() is None


def test_db_path_is_stored_as_its_str(make_profiler, saved_calls, tmp_path):
    profiler = make_profiler(db_path=pathlib.Path(tmp_path) / "db.sqlite3")
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[0][0][0] == str(tmp_path / "db.sqlite3")


def test_db_path_whose_str_raises(make_profiler):
    class Path:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        _vexo.register_profiler(make_profiler(db_path=Path()))


def test_main_thread_without_native_id(make_profiler, monkeypatch):
    class MainThread:
        native_id = None

    monkeypatch.setattr(threading, "main_thread", lambda: MainThread())
    with pytest.raises(TypeError):
        _vexo.register_profiler(make_profiler())
    assert sys.getprofile() is None


def test_config_subclass_with_odd_getitem_uses_the_dict_lookup(make_profiler, saved_calls):
    class Config(dict):
        def __getitem__(self, key):
            raise KeyError(key)

    profiler = make_profiler(Config(sqlite_busy_timeout=3))
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    profiler.rust_profiler.save_request_in_db()
    assert saved_calls[0][1]["timeout"] == 3


def test_filters_object_whose_item_access_raises(make_profiler):
    class Filters:
        def __getitem__(self, key):
            raise RuntimeError("boom")

    document = traced_once(make_profiler({"filters": Filters()}), sample, 1)
    assert len(document["frames_of_interest"]) == 2


def test_creation_timestamp_is_taken_at_registration(make_profiler):
    import time

    before = time.time()
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    after = time.time()
    assert before <= decode(profiler.rust_profiler.build_trace())["timestamp"] <= after
