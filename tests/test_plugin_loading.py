"""Loading plugin descriptions from vexo.plugins into processors."""

import sys

import pytest

import vexo.plugins
from conftest import FakeProfiler, decode
from vexo import _vexo


def fatal_type():
    saved = vexo.plugins.load_plugin_data
    vexo.plugins.load_plugin_data = lambda config: ()
    try:
        _vexo.register_profiler(FakeProfiler())
    except BaseException as error:
        return type(error)
    finally:
        vexo.plugins.load_plugin_data = saved


def description(**overrides):
    base = {
        "co_names": ["marked"],
        "path_fragment": "",
        "call_type": "marked_call",
        "return_type": "marked_return",
    }
    base.update(overrides)
    return base


def marked(value):
    return value


def plugin_types(profiler):
    _vexo.register_profiler(profiler)
    marked(1)
    _vexo.register_noop_profiler()
    return [r["type"] for r in decode(profiler.rust_profiler.build_trace())["frames_of_interest"]]


def test_fatal_errors_are_base_exceptions():
    kind = fatal_type()
    assert kind.__name__ == "VexoFatalError" and kind.__module__ == "vexo._vexo"
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert not hasattr(_vexo, kind.__name__)


@pytest.mark.parametrize(
    "patch, message",
    [
        ("no_module", "vexo.plugins should always be importable"),
        ("no_function", "load_plugin_data should exist"),
        ("raises", "load_plugin_data should be callable"),
        ("not_callable", "load_plugin_data should be callable"),
        ("tuple", "load_plugin_data should return a list"),
    ],
)
def test_fatal_loading_conditions(make_profiler, monkeypatch, patch, message):
    fatal = fatal_type()
    if patch == "no_module":
        monkeypatch.setitem(sys.modules, "vexo.plugins", None)
    elif patch == "no_function":
        monkeypatch.delattr(vexo.plugins, "load_plugin_data")
    elif patch == "raises":
        monkeypatch.setattr(vexo.plugins, "load_plugin_data", lambda c: 1 / 0)
    elif patch == "not_callable":
        monkeypatch.setattr(vexo.plugins, "load_plugin_data", 5)
    else:
        monkeypatch.setattr(vexo.plugins, "load_plugin_data", lambda c: ())
    with pytest.raises(BaseException, match=f"^{message}$") as caught:
        _vexo.register_profiler(make_profiler())
    assert type(caught.value) is fatal
    assert sys.getprofile() is None


def test_empty_list_and_empty_co_names(make_profiler):
    built = []
    plugins = [description(co_names=[], build_context=lambda c: built.append(c) or {})]
    del plugins[0]["path_fragment"]
    config = {"k": 1}
    assert plugin_types(make_profiler(config, plugins=plugins)) == ["frame", "frame"]
    assert built == [config]


def test_build_context_once_per_description_shared_by_its_processors(make_profiler):
    contexts = []

    def build(config):
        contexts.append({})
        return contexts[-1]

    seen = []

    def call(frame, event, arg, context):
        seen.append(id(context))
        return True

    plugins = [description(co_names=["marked", "marked", "x"], build_context=build, call=call)]
    assert plugin_types(make_profiler(plugins=plugins)) == [
        "marked_call",
        "marked_call",
        "frame",
        "frame",
        "marked_return",
        "marked_return",
    ]
    assert len(contexts) == 1 and set(seen) == {id(contexts[0])}


def q(value):
    return value


def test_co_names_as_a_str_is_iterated(make_profiler):
    profiler = make_profiler(plugins=[description(co_names="qz")])
    _vexo.register_profiler(profiler)
    q(1)
    _vexo.register_noop_profiler()
    records = decode(profiler.rust_profiler.build_trace())["frames_of_interest"]
    assert [r["type"] for r in records] == ["marked_call", "frame", "frame", "marked_return"]


def test_processors_of_two_descriptions_in_order(make_profiler):
    plugins = [description(call_type="a"), description(call_type="b", return_type="r")]
    assert plugin_types(make_profiler(plugins=plugins)) == [
        "a",
        "b",
        "frame",
        "frame",
        "r",
        "marked_return",
    ]


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"path_fragment": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"call_type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"return_type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"subtype": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"events": "call"}, TypeError, "Can't extract `str` to `Vec`"),
        ({"events": 5}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"events": ["call", 1]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"co_names": 5}, TypeError, "'int' object is not iterable"),
        ({"co_names": [1]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"build_context": lambda c: None}, TypeError, "cannot be converted to 'PyDict'"),
        ({"build_context": lambda c: 1 / 0}, ZeroDivisionError, "division"),
    ],
)
def test_bad_descriptions_fail_construction(make_profiler, change, error, message):
    with pytest.raises(error, match=message):
        _vexo.register_profiler(make_profiler(plugins=[description(**change)]))
    assert sys.getprofile() is None


@pytest.mark.parametrize("key", ["co_names", "path_fragment", "call_type", "return_type"])
def test_missing_required_key(make_profiler, key):
    broken = description()
    del broken[key]
    with pytest.raises(KeyError):
        _vexo.register_profiler(make_profiler(plugins=[broken]))


def test_description_that_is_not_a_dict(make_profiler):
    with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyDict'$"):
        _vexo.register_profiler(make_profiler(plugins=[[]]))


def test_events_none_means_all_and_absent_subtype(make_profiler):
    assert plugin_types(make_profiler(plugins=[description(events=None, call=None)])) == [
        "marked_call",
        "frame",
        "frame",
        "marked_return",
    ]
