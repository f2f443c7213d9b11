"""Plugin records, test markers and one trace per test."""

import sys

import pytest

from conftest import decode, records_of, run_traced

HERE = __file__


def marked(value):
    return value


def other(value):
    return marked(value)


def plugin(**overrides):
    base = {
        "co_names": ["marked"],
        "path_fragment": "test_plugin_processing",
        "call_type": "marked_call",
        "return_type": "marked_return",
    }
    base.update(overrides)
    return base


def test_record_fields_and_order(make_profiler):
    profiler = make_profiler(plugins=[plugin(subtype="sub")])
    run_traced(profiler, other, 3)
    records = records_of(profiler)
    assert [r["type"] for r in records] == [
        "frame", "marked_call", "frame", "frame", "marked_return", "frame"
    ]  # fmt: skip
    call_record, return_record = records[1], records[4]
    assert list(call_record) == [
        "frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type",
        "subtype",
    ]  # fmt: skip
    assert call_record["frame_id"] == return_record["frame_id"] != records[2]["frame_id"]
    assert call_record["user_code_call_site"]["call_frame_id"] == records[0]["frame_id"]
    assert call_record["thread"] == "MainThread" and call_record["subtype"] == "sub"


def test_plugins_run_for_frames_the_filters_drop(make_profiler):
    profiler = make_profiler(
        {"filters": {"ignore_frames": [HERE]}}, plugins=[plugin(events=["return"])]
    )
    run_traced(profiler, marked, 1)
    (record,) = records_of(profiler)
    assert record["type"] == "marked_return" and record["frame_id"].startswith("frm_")


def test_call_test_strict_bool_and_arguments(make_profiler, vexo_warnings):
    seen = []

    def call(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, arg, context))
        return {"call": True, "return": 1}[event]

    profiler = make_profiler(plugins=[plugin(call=call, build_context=lambda c: {"ctx": 1})])
    run_traced(profiler, marked, 5)
    assert seen == [("marked", "call", None, {"ctx": 1}), ("marked", "return", 5, {"ctx": 1})]
    assert [r["type"] for r in records_of(profiler)] == ["marked_call", "frame", "frame"]
    (warning,) = vexo_warnings
    assert "PyBool" in str(warning.exc_info[1])


def test_call_false_gives_nothing_and_no_warning(make_profiler, vexo_warnings):
    profiler = make_profiler(plugins=[plugin(call=lambda *a: False)])
    run_traced(profiler, marked, 5)
    assert [r["type"] for r in records_of(profiler)] == ["frame", "frame"]
    assert vexo_warnings == []


def test_path_fragment_longer_than_the_file_name_never_calls(make_profiler):
    called = []
    fragment = HERE + "x" * 10
    profiler = make_profiler(plugins=[plugin(path_fragment=fragment, call=called.append)])
    run_traced(profiler, marked, 5)
    assert called == []


@pytest.mark.parametrize(
    "result, types, warned",
    [
        ({}, ["marked_call", "frame"], False),
        ({"extra": 1, "type": "renamed"}, ["renamed", "frame"], False),
        ({"type": None}, ["frame"], True),
        ([1, 2], ["frame"], True),
        (None, ["frame"], True),
    ],
)
def test_process_results(make_profiler, vexo_warnings, result, types, warned):
    profiler = make_profiler(plugins=[plugin(events=["call"], process=lambda *a: result)])
    run_traced(profiler, marked, 5)
    records = records_of(profiler)
    assert [r["type"] for r in records][:-1] == types
    assert bool(vexo_warnings) == warned
    if isinstance(result, dict) and "extra" in result:
        assert list(records[0])[-2:] == ["type", "extra"]


def test_process_result_mapping_that_is_not_a_dict(make_profiler):
    from collections.abc import Mapping

    class Data(Mapping):
        def __getitem__(self, key):
            return {"k": "v"}[key]

        def __iter__(self):
            return iter(["k"])

        def __len__(self):
            return 1

    profiler = make_profiler(plugins=[plugin(events=["call"], process=lambda *a: Data())])
    run_traced(profiler, marked, 5)
    assert records_of(profiler)[0]["k"] == "v"


def test_raising_plugin_leaves_the_others(make_profiler, vexo_warnings):
    def boom(*args):
        raise LookupError("plugin failed")

    profiler = make_profiler(plugins=[plugin(call=boom), plugin(call_type="second")])
    run_traced(profiler, marked, 5)
    assert [r["type"] for r in records_of(profiler)] == [
        "second", "frame", "frame", "marked_return"
    ]  # fmt: skip
    # The return's failure repeats the call's: logged once, counted when the trace is built.
    assert [type(w.exc_info[1]) for w in vexo_warnings if w.exc_info] == [LookupError]
    assert vexo_warnings[-1].args[0].endswith(" marked: LookupError: plugin failed (1 more)")


def test_events_only_return_gives_a_fresh_id(make_profiler):
    profiler = make_profiler(plugins=[plugin(events=["return"])])
    run_traced(profiler, marked, 5)
    records = records_of(profiler)
    assert [r["type"] for r in records] == ["frame", "frame", "marked_return"]
    assert records[2]["frame_id"].startswith("frm_")


def boundary(kind):
    return kind


def markers_plugin(**overrides):
    return plugin(
        co_names=["boundary"],
        call_type="call_marker",
        return_type="return_marker",
        events=["call"],
        process=lambda frame, event, arg, context: {"type": frame.f_locals["kind"]},
        **overrides,
    )


def test_start_and_end_test_cut_and_save_traces(make_profiler, saved_calls):
    def program():
        leaf_before = marked(0)
        boundary("start_test")
        marked(1)
        boundary("end_test")
        marked(2)
        return leaf_before

    profiler = make_profiler(one_trace_per_test=True, plugins=[markers_plugin()])
    run_traced(profiler, program)
    ((args, kwargs),) = saved_calls
    saved = decode(kwargs["msgpack"])
    assert args[1] == saved["trace_id"] != profiler.trace_id
    types = [(r["type"], r.get("co_name")) for r in saved["frames_of_interest"]]
    assert types == [
        ("start_test", None), ("frame", "boundary"), ("frame", "boundary"),
        ("frame", "marked"), ("frame", "marked"), ("end_test", None),
    ]  # fmt: skip
    left = decode(profiler.rust_profiler.build_trace())
    assert left["trace_id"] == saved["trace_id"]
    assert [(r["type"], r.get("co_name")) for r in left["frames_of_interest"]][0] == (
        "frame",
        "boundary",
    )


def test_markers_are_plain_records_without_one_trace_per_test(make_profiler, saved_calls):
    profiler = make_profiler(plugins=[markers_plugin()])
    run_traced(profiler, boundary, "end_test")
    assert saved_calls == []
    assert [r["type"] for r in records_of(profiler)] == ["end_test", "frame", "frame"]


@pytest.mark.parametrize(
    "kinds, saved_types, left_types",
    [
        (["end_test", "start_test"], [["end_test"]], ["start_test", "frame"]),
        (["start_test", "end_test"], [["start_test", "end_test"]], ["frame"]),
        (
            ["end_test", "start_test", "end_test"],
            [["end_test"], ["start_test", "end_test"]],
            ["frame"],
        ),
    ],
)
def test_several_markers_in_one_event(make_profiler, saved_calls, kinds, saved_types, left_types):
    plugins = [
        plugin(
            co_names=["boundary"],
            events=["call"],
            process=lambda frame, event, arg, context, kind=kind: {"type": kind},
        )
        for kind in kinds
    ]
    profiler = make_profiler(one_trace_per_test=True, plugins=plugins)
    run_traced(profiler, boundary, "x")
    saved = [
        [r["type"] for r in decode(kwargs["msgpack"])["frames_of_interest"]]
        for _, kwargs in saved_calls
    ]
    assert saved == saved_types
    assert [r["type"] for r in records_of(profiler)] == left_types + ["frame"]


def test_return_reverses_plugin_records(make_profiler):
    plugins = [plugin(return_type="A"), plugin(return_type="B")]
    profiler = make_profiler(plugins=plugins)
    run_traced(profiler, marked, 1)
    assert [r["type"] for r in records_of(profiler)][-3:] == ["frame", "B", "A"]


def test_failed_save_at_end_test_is_logged_and_kept(make_profiler, monkeypatch, vexo_warnings):
    import vexo.db

    def save_trace_in_sqlite(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(vexo.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    profiler = make_profiler(one_trace_per_test=True, plugins=[markers_plugin()])
    run_traced(profiler, boundary, "end_test")
    assert [type(w.exc_info[1]) for w in vexo_warnings] == [OSError]
    # The marker's records went back to the buffers; the frame record of the call was dropped.
    assert [r["type"] for r in records_of(profiler)] == ["end_test", "frame"]
    assert sys.getprofile() is None
