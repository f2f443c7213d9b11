"""The module's face to the interpreter: its namespace, registering and stopping the hook."""

import sys
import threading

import _vexo_testing
import pytest

from conftest import decode
from vexo import _vexo


def test_module_namespace_holds_exactly_the_two_functions():
    public = [name for name in vars(_vexo) if not name.startswith("__")]
    assert public == ["register_profiler", "register_noop_profiler"]
    assert _vexo.__name__ == "vexo._vexo"
    assert not _vexo.__doc__
    assert _vexo.register_profiler.__text_signature__ == "(profiler)"
    assert _vexo.register_noop_profiler.__text_signature__ == "()"


def test_vexo_profiler_class(make_profiler):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    cls = type(profiler.rust_profiler)
    assert (cls.__module__, cls.__name__) == ("vexo._vexo", "VexoProfiler")
    assert not hasattr(_vexo, "VexoProfiler")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    methods = ["save_request_in_db", "build_trace", "register_threading_profiler"]
    signatures = [getattr(cls, name).__text_signature__ for name in methods]
    assert signatures == ["($self)", "($self)", "($self, _frame, _event, _arg)"]
    with pytest.raises(TypeError):
        cls.build_trace(42)


def test_register_installs_the_hook_for_this_thread_only(make_profiler):
    profiler = make_profiler()
    assert _vexo.register_profiler(profiler=profiler) is None
    assert sys.getprofile() is profiler.rust_profiler
    assert threading.getprofile() is None
    _vexo.register_noop_profiler()
    assert sys.getprofile() is None


@pytest.mark.parametrize("value", [True])
def test_threading_true_hands_the_bound_method_to_threading(make_profiler, value):
    profiler = make_profiler({"threading": value})
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    hook = threading.getprofile()
    assert hook == profiler.rust_profiler.register_threading_profiler


@pytest.mark.parametrize("value", [1, "yes", None, False])
def test_threading_other_values_do_not_touch_threading(make_profiler, value):
    profiler = make_profiler({"threading": value})
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    assert threading.getprofile() is None


def test_threading_item_read_by_item_access_and_errors_discarded(make_profiler):
    class Config(dict):
        def __getitem__(self, key):
            raise RuntimeError("odd getitem")

    profiler = make_profiler(Config(threading=True))
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    # The core's own settings use the dict's lookup and see True; registration's item access
    # raised, so no thread hook was given to threading.
    assert threading.getprofile() is None


def test_not_callable_is_refused_before_anything_changes():
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vexo.register_profiler(42)
    assert sys.getprofile() is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"other": 1})])
def test_argument_parsing(args, kwargs):
    with pytest.raises(TypeError):
        _vexo.register_profiler(*args, **kwargs)
    with pytest.raises(TypeError):
        _vexo.register_noop_profiler(1)


def test_rust_profiler_that_cannot_be_set(make_profiler):
    class Frozen:
        __slots__ = ("config", "db_path", "one_trace_per_test", "trace_id", "source")

        def __call__(self, *args):
            pass

    frozen = Frozen()
    base = make_profiler()
    for name in Frozen.__slots__:
        setattr(frozen, name, getattr(base, name))
    with pytest.raises(AttributeError):
        _vexo.register_profiler(frozen)
    assert sys.getprofile() is None


def test_build_and_save_results(make_profiler, saved_calls):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    document = profiler.rust_profiler.build_trace()
    assert type(document) is bytes and document[0] == 0x88
    assert profiler.rust_profiler.save_request_in_db() is None
    assert len(saved_calls) == 1


def test_noop_stops_processing(make_profiler):
    profiler = make_profiler()

    def traced():
        return 1

    _vexo.register_profiler(profiler)
    traced()
    _vexo.register_noop_profiler()
    traced()
    records = decode(profiler.rust_profiler.build_trace())["frames_of_interest"]
    assert [r["event"] for r in records] == ["call", "return"]


def test_noop_leaves_no_hook_behind(make_profiler):
    _vexo.register_profiler(make_profiler())
    assert _vexo_testing.thread_has_profile_hook()
    _vexo.register_noop_profiler()
    assert not _vexo_testing.thread_has_profile_hook()


def test_threads_started_later_carry_the_hook(make_profiler):
    profiler = make_profiler({"threading": True})
    seen = []

    def work():
        seen.append(sys.getprofile())
        return threading.current_thread().name

    _vexo.register_profiler(profiler)
    thread = threading.Thread(target=work, name="worker")
    thread.start()
    thread.join()
    _vexo.register_noop_profiler()
    threading.setprofile(None)
    document = decode(profiler.rust_profiler.build_trace())
    assert seen == [profiler.rust_profiler]
    (records,) = document["frames"].values()
    work_records = [r for r in records if r["co_name"] == "work"]
    assert [r["event"] for r in work_records] == ["call", "return"]
    assert {r["thread"] for r in work_records} == {"worker"}
    assert document["main_thread_id"] not in document["frames"]
