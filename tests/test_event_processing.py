"""What a traced program's calls and returns turn into."""

import asyncio
import logging
import re
import sys

import msgpack
import pytest

import vexo.serialize
from conftest import decode, records_of, run_traced
from vexo import _vexo

HERE = __file__.rsplit("/", 1)[-1]


def calls(records):
    return [(r["event"], r["co_name"]) for r in records if r["type"] == "frame"]


def leaf(x):
    y = x + 1
    return y


def middle(x):
    return leaf(x) * 2


class Shop:
    kind = "shop"

    def __init__(self, items):
        self.items = items

    def total(self):
        return sum(self.items)

    @classmethod
    def make(cls):
        return cls([1, 2])

    @property
    def size(self):
        return len(self.items)


def test_nested_calls_pair_ids_and_call_sites(make_profiler):
    profiler = make_profiler()
    assert run_traced(profiler, middle, 1) == 4
    records = records_of(profiler)
    assert calls(records) == [
        ("call", "middle"),
        ("call", "leaf"),
        ("return", "leaf"),
        ("return", "middle"),
    ]
    middle_call, leaf_call, leaf_return, middle_return = records
    assert middle_call["frame_id"] == middle_return["frame_id"]
    assert leaf_call["frame_id"] == leaf_return["frame_id"] != middle_call["frame_id"]
    assert middle_call["frame_id"].startswith("frm_") and len(middle_call["frame_id"]) == 30
    line_of_leaf_call = middle.__code__.co_firstlineno + 1
    expected_site = {"call_frame_id": middle_call["frame_id"], "line_number": line_of_leaf_call}
    assert leaf_call["user_code_call_site"] == expected_site
    assert leaf_return["user_code_call_site"] == expected_site
    assert middle_call["user_code_call_site"] is None
    assert leaf_call["arg"] is None and leaf_return["arg"] == 2
    assert leaf_call["locals"] == {"x": 1} and leaf_return["locals"] == {"x": 1, "y": 2}
    assert leaf_call["path"].endswith(f":{leaf.__code__.co_firstlineno}")
    assert leaf_return["path"].endswith(f":{leaf.__code__.co_firstlineno + 2}")
    assert leaf_call["path"].split(":")[0].endswith(HERE)
    assert leaf_call["qualname"] == f"{__name__}.leaf"
    assert leaf_call["thread"] == "MainThread"
    assert leaf_call["type"] == "frame"


def test_record_layout_is_twelve_entries_in_order(make_profiler):
    profiler = make_profiler()
    run_traced(profiler, leaf, 1)
    document = profiler.rust_profiler.build_trace()
    raw = msgpack.unpackb(document, object_pairs_hook=list, strict_map_key=False)
    (record, _) = dict(raw)["frames_of_interest"]
    assert [key for key, _ in record] == [
        "path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
        "thread_native_id", "timestamp", "type", "user_code_call_site",
    ]  # fmt: skip
    # The map header is the one byte 0x8c, and the timestamp a float64.
    start = document.index(b"\x8c\xa4path")
    assert document[start : start + 1] == b"\x8c"
    assert b"\xa9timestamp\xcb" in document


def test_methods_classmethods_properties_closures(make_profiler):
    def closure_maker():
        factor = 3

        def scaled(v):
            return v * factor

        return scaled(2)

    def program():
        shop = Shop.make()
        return shop.total(), shop.size, closure_maker()

    profiler = make_profiler()
    assert run_traced(profiler, program) == (3, 2, 6)
    qualnames = {r["co_name"]: r["qualname"] for r in records_of(profiler)}
    prefix = __name__
    assert qualnames["make"] == f"{prefix}.Shop.make"
    assert qualnames["total"] == f"{prefix}.Shop.total"
    assert qualnames["size"] == f"{prefix}.Shop.size"
    assert qualnames["__init__"] == f"{prefix}.Shop.__init__"
    if sys.version_info >= (3, 11):
        assert qualnames["scaled"] == (
            f"{prefix}.test_methods_classmethods_properties_closures.<locals>"
            ".closure_maker.<locals>.scaled"
        )


def test_module_level_code_and_class_bodies(make_profiler, tmp_path):
    source = "import os\nclass Body:\n    value = 1\nresult = Body.value + 1\n"
    code = compile(source, str(tmp_path / "module_x.py"), "exec")
    namespace = {"__name__": "module_x"}
    profiler = make_profiler()
    run_traced(profiler, exec, code, namespace)
    records = records_of(profiler)
    assert calls(records) == [
        ("call", "<module>"),
        ("call", "Body"),
        ("return", "Body"),
        ("return", "<module>"),
    ]
    module_call = records[0]
    assert module_call["qualname"] == "module_x.<module>"
    assert "__builtins__" not in module_call["locals"]
    assert "__builtins__" in namespace
    # Without co_qualname a class body's name is found once the body has set __qualname__.
    body_call_name = "module_x.Body" if sys.version_info >= (3, 11) else None
    assert (records[1]["qualname"], records[2]["qualname"]) == (body_call_name, "module_x.Body")
    assert records[3]["locals"]["result"] == 2


def test_exec_in_a_plain_dict_keeps_the_records(make_profiler, tmp_path):
    code = compile("def f(a):\n    return a\nf(1)\n", str(tmp_path / "plain.py"), "exec")
    profiler = make_profiler()
    run_traced(profiler, exec, code, {})
    records = records_of(profiler)
    assert calls(records) == [
        ("call", "<module>"),
        ("call", "f"),
        ("return", "f"),
        ("return", "<module>"),
    ]
    module_names = {r["qualname"] for r in records if r["co_name"] == "<module>"}
    function_names = {r["qualname"] for r in records if r["co_name"] == "f"}
    assert module_names == {None}
    # Without co_qualname the function is found in the caller's namespace, whose functions have
    # no module: their __module__ is None.
    assert function_names == ({"None.f"} if sys.version_info < (3, 11) else {None})


def test_generators_get_a_new_id_per_resume_and_steps_name_their_call(make_profiler):
    def numbers():
        yield 1
        yield 2

    def program():
        # The second generator is likely made at the first one's address, freed by then.
        return list(numbers()), list(numbers())

    profiler = make_profiler()
    run_traced(profiler, program)
    records = records_of(profiler)
    generator_records = [r for r in records if r.get("co_name") == "numbers"]
    events = [(r["event"], r["arg"]) for r in generator_records]
    one_generator = [("call", None), ("return", 1), ("call", None), ("return", 2)]
    assert events == (one_generator + [("call", None), ("return", None)]) * 2
    ids = [r["frame_id"] for r in generator_records]
    assert all(ids[i] == ids[i + 1] for i in range(0, 12, 2))
    assert len(set(ids)) == 6
    # Each resumed step's call record is followed by its step record, naming the first step.
    steps = [
        (records[i - 1]["frame_id"], r["first_frame_id"], r["step"], r["task"])
        for i, r in enumerate(records)
        if r["type"] == "step"
    ]
    assert steps == [
        (ids[2], ids[0], 2, None), (ids[4], ids[0], 3, None),
        (ids[8], ids[6], 2, None), (ids[10], ids[6], 3, None),
    ]  # fmt: skip


def test_coroutines(make_profiler):
    async def child():
        await asyncio.sleep(0)
        return 5

    async def parent():
        return await child() + 1

    async def tasks():
        return await asyncio.gather(asyncio.create_task(parent(), name="first"), parent())

    profiler = make_profiler()
    assert run_traced(profiler, asyncio.run, tasks()) == [6, 6]
    records = records_of(profiler)
    # Each task's own coroutine is named with its task at its first step.
    started = {r["frame_id"]: r["task"] for r in records if r["type"] == "step" and r["step"] == 1}
    calls_of = {r["frame_id"]: r["co_name"] for r in records if r.get("event") == "call"}
    numbered = {name: re.sub(r"^Task-\d+$", "Task-N", name) for name in started.values()}
    assert sorted((calls_of[i], numbered[task]) for i, task in started.items()) == [
        ("parent", "Task-N"), ("parent", "first"), ("tasks", "Task-N"),
    ]  # fmt: skip
    records = [r for r in records if r.get("co_name") in ("child", "parent")]
    ids_by_frame = {}
    for record in records:
        ids_by_frame.setdefault(record["co_name"], []).append((record["event"], record["frame_id"]))
    for name, events in ids_by_frame.items():
        pending = None
        for event, frame_id in events:
            if event == "call":
                pending = frame_id
            else:
                assert frame_id == pending, name
    parent_returns = [r for r in records if r["event"] == "return" and r["co_name"] == "parent"]
    assert parent_returns[-1]["arg"] == 6


def test_return_of_a_function_entered_before_tracing(make_profiler):
    profiler = make_profiler()

    def outer():
        _vexo.register_profiler(profiler)
        return 5

    outer()
    _vexo.register_noop_profiler()
    (record,) = records_of(profiler)
    assert (record["event"], record["co_name"], record["frame_id"]) == ("return", "outer", None)
    assert record["user_code_call_site"] is None


class Refusal(Exception):
    def __str__(self):
        raise AssertionError("str() of the exception ran")


class Opaque:
    def __repr__(self):
        raise AssertionError("repr() of an argument ran")


def test_exceptions_propagate_unchanged(make_profiler):
    def fails():
        raise KeyError("k")

    def catches():
        try:
            fails()
        except KeyError as error:
            return error.args

    profiler = make_profiler()
    assert run_traced(profiler, catches) == ("k",)
    with pytest.raises(KeyError, match="k"):
        run_traced(make_profiler(), fails)
    records = records_of(profiler)
    frames = [r for r in records if r["type"] == "frame"]
    assert calls(frames) == [
        ("call", "catches"),
        ("call", "fails"),
        ("return", "fails"),
        ("return", "catches"),
    ]
    assert frames[2]["arg"] is None


def run_recording_exceptions(profiler, function, *args):
    """Runs under the backend that records exceptions: the profile hook before 3.12 (which learns
    the exception through the trace function it lends), the monitoring backend from 3.12 on (the
    profile hook then stands in only where no tool id is free, and is not told the exception)."""
    if sys.version_info < (3, 12):
        return run_traced(profiler, function, *args)
    from vexo import _vexo_monitoring

    _vexo_monitoring.register_profiler(profiler)
    try:
        return function(*args)
    finally:
        _vexo_monitoring.register_noop_profiler()


def raises(error):
    raise error


def passes_on(error):
    return raises(error)


def catches_inside(error):
    try:
        raises(error)
    except Exception:
        return "caught"


@pytest.mark.parametrize(
    ("error", "type_name", "message"),
    [
        (KeyError("k"), "KeyError", "k"),
        (ValueError(), "ValueError", ""),
        (Refusal("no", 3, None, Opaque()), "test_event_processing.Refusal",
         "no, 3, None, <test_event_processing.Opaque object>"),
        (OSError(2, "gone"), "FileNotFoundError", "2, gone"),
        (ValueError("x" * 2000), "ValueError", "x" * 1000 + "…"),
    ],
)  # fmt: skip
def test_a_frame_left_by_an_exception_is_followed_by_its_record(
    make_profiler, error, type_name, message
):
    profiler = make_profiler()
    with pytest.raises(type(error)):
        run_recording_exceptions(profiler, passes_on, error)
    packed = msgpack.unpackb(profiler.rust_profiler.build_trace(), raw=True)
    records = packed[b"frames_of_interest"]
    kinds = [(r[b"type"], r.get(b"event"), r.get(b"co_name")) for r in records]
    assert kinds == [
        (b"frame", b"call", b"passes_on"),
        (b"frame", b"call", b"raises"),
        (b"frame", b"return", b"raises"),
        (b"exception", None, None),
        (b"frame", b"return", b"passes_on"),
        (b"exception", None, None),
    ]
    raised_in, passed = records[3], records[5]
    assert list(raised_in) == [
        b"type", b"frame_id", b"exception_type", b"message", b"line", b"timestamp", b"thread",
        b"thread_native_id",
    ]  # fmt: skip
    assert raised_in[b"frame_id"] == records[1][b"frame_id"]
    assert passed[b"frame_id"] == records[0][b"frame_id"]
    assert {raised_in[b"exception_type"], passed[b"exception_type"]} == {type_name.encode()}
    assert {raised_in[b"message"], passed[b"message"]} == {message.encode()}
    assert raised_in[b"line"] == raises.__code__.co_firstlineno + 1
    assert passed[b"line"] == passes_on.__code__.co_firstlineno + 1


def raise_missing(self):
    raise AttributeError("missing")


class Lazy:
    missing = property(raise_missing)


def asks_hasattr():
    found = hasattr(Lazy(), "missing")  # hasattr() keeps the AttributeError
    return found, sys.gettrace()


def test_an_exception_kept_by_c_code_leaves_no_trace_function_behind(make_profiler):
    profiler = make_profiler()
    assert run_recording_exceptions(profiler, asks_hasattr) == (False, None)
    (raised,) = [r for r in records_of(profiler) if r["type"] == "exception"]
    # Before 3.12 no frame of the program is told the exception, only that one left the getter.
    expected = "AttributeError" if sys.version_info >= (3, 12) else None
    assert (raised["exception_type"], raised["line"]) == (
        expected,
        raise_missing.__code__.co_firstlineno + 1,
    )


def raises_under_a_debugger():
    def debugger(frame, event, arg):
        return None

    sys.settrace(debugger)
    try:
        passes_on(KeyError("k"))
    except KeyError:
        pass
    finally:
        kept = sys.gettrace() is debugger
        sys.settrace(None)
    return kept


def test_a_debuggers_trace_function_is_left_alone(make_profiler):
    profiler = make_profiler()
    assert run_recording_exceptions(profiler, raises_under_a_debugger) is True
    raised = [r["exception_type"] for r in records_of(profiler) if r["type"] == "exception"]
    # Before 3.12 learning the exception would take the thread's one trace function.
    assert raised == ["KeyError" if sys.version_info >= (3, 12) else None] * 2


def test_an_exception_caught_inside_the_frame_does_not_leave_it(make_profiler):
    profiler = make_profiler()
    assert run_recording_exceptions(profiler, catches_inside, KeyError("k")) == "caught"
    records = records_of(profiler)
    assert [r["type"] for r in records] == ["frame", "frame", "frame", "exception", "frame"]
    assert records[3]["frame_id"] == records[1]["frame_id"]


def test_recursion_near_the_limit(make_profiler):
    def down(n):
        return 0 if n == 0 else 1 + down(n - 1)

    depth = sys.getrecursionlimit() - 100
    profiler = make_profiler()
    assert run_traced(profiler, down, depth) == depth
    records = records_of(profiler)
    assert len(records) == 2 * (depth + 1)
    assert records[1]["user_code_call_site"]["call_frame_id"] == records[0]["frame_id"]


def test_library_frames_produce_nothing_and_include_overrides(make_profiler):
    import json

    def program():
        return json.dumps([1])

    profiler = make_profiler()
    run_traced(profiler, program)
    assert calls(records_of(profiler)) == [("call", "program"), ("return", "program")]
    profiler = make_profiler({"filters": {"include_frames": ["/json/"]}})
    run_traced(profiler, program)
    assert ("call", "dumps") in calls(records_of(profiler))


def test_lone_surrogate_file_name_abandons_only_that_event(make_profiler, vexo_warnings):
    code = compile("def f():\n    return 3\n", "/tmp/bad\udcff.py", "exec")
    namespace = {"__name__": "bad"}
    exec(code, namespace)

    def program():
        return sum(namespace["f"]() for _ in range(50)) + leaf(1)

    profiler = make_profiler()
    assert run_traced(profiler, program) == 152
    assert [c for c in calls(records_of(profiler)) if c[1] != "<genexpr>"] == [
        ("call", "program"),
        ("call", "leaf"),
        ("return", "leaf"),
        ("return", "program"),
    ]
    # Logged once, the 99 repeats counted once when the trace is built.
    (first, repeats) = vexo_warnings
    assert isinstance(first.exc_info[1], UnicodeEncodeError)
    (line,) = repeats.args[0].strip().splitlines()
    assert line.startswith("/tmp/bad\\udcff.py f: UnicodeEncodeError: ")
    assert line.endswith("(99 more)")


class Hostile:
    def __repr__(self):
        raise RuntimeError("no repr")

    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = object.__hash__


def test_hostile_locals_do_not_disturb_the_program(make_profiler, vexo_warnings):
    def program():
        hostile = Hostile()
        return hostile is not None

    profiler = make_profiler()
    assert run_traced(profiler, program) is True
    records = records_of(profiler)
    assert calls(records) == [("call", "program"), ("return", "program")]
    assert records[1]["locals"]["hostile"]["__class__"].endswith("Hostile")
    assert vexo_warnings == []


@pytest.mark.parametrize("returned", ["text", 3, [256], RuntimeError("raised")])
def test_bad_serializer_drops_the_event_and_logs_once(
    make_profiler, monkeypatch, vexo_warnings, returned
):
    def dump(value):
        if isinstance(returned, Exception):
            raise returned
        return returned

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", dump)
    profiler = make_profiler()
    assert run_traced(profiler, leaf, 1) == 2
    monkeypatch.undo()
    assert len(vexo_warnings) == 1  # the return fails as the call did
    assert records_of(profiler) == []
    error = vexo_warnings[0].exc_info[1]
    assert vexo_warnings[1].args[0].endswith(f" leaf: {type(error).__name__}: {error} (1 more)")
    records_of(profiler)
    assert len(vexo_warnings) == 2  # reported with its own trace only


def test_a_replaced_trace_dumper_is_called_with_each_value_s_place(make_profiler, monkeypatch):
    # The compiled dumper is reached without a Python call; any other is called as a function.
    places = []

    def dump(value, memo, frame_id, event, field):
        places.append((frame_id, event, field))
        return msgpack.packb(field)

    monkeypatch.setattr(vexo.serialize, "dump_msgpack_in_trace", dump)
    profiler = make_profiler({"values": "safe"})
    assert run_traced(profiler, leaf, 1) == 2
    records = records_of(profiler)
    frame_id = records[0]["frame_id"]
    assert frame_id.startswith("frm_") and [r["arg"] for r in records] == ["arg", "arg"]
    assert places == [(frame_id, event, field) for event in ("call", "return")
                      for field in ("arg", "locals")]  # fmt: skip


def test_different_failures_are_each_logged(make_profiler, monkeypatch, vexo_warnings):
    failures = iter(
        [ValueError("first"), ValueError("second"), KeyError("first"), ValueError("first")]
    )

    def dump(value):
        raise next(failures)

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", dump)
    profiler = make_profiler()

    def program():
        return leaf(1)

    run_traced(profiler, program)
    monkeypatch.undo()
    assert [str(w.exc_info[1]) for w in vexo_warnings] == ["first", "second", "'first'"]
    records_of(profiler)
    assert vexo_warnings[-1].args[0].endswith(" program: ValueError: first (1 more)")


def test_log_error_record(make_profiler, monkeypatch, vexo_warnings):
    failure = ValueError("serializer failed")

    def dump(value):
        raise failure

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", dump)
    run_traced(make_profiler(), leaf, 7)
    call_warning = vexo_warnings[0]
    assert call_warning.levelno == logging.WARNING and call_warning.name == "vexo"
    assert call_warning.msg == (
        "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
        "    event: %s\n    frame locals: %s\n"
    )
    co_filename, co_name, event, frame_locals = call_warning.args
    assert (co_filename, co_name, event) == (leaf.__code__.co_filename, "leaf", "call")
    assert frame_locals["x"] == 7  # the frame's own mapping, as it is now
    assert call_warning.exc_info[1] is failure
    assert call_warning.exc_info[2] is not None


def test_unformatted_locals_are_not_turned_into_text_when_filtered(make_profiler, monkeypatch):
    class Loud:
        def __repr__(self):
            raise AssertionError("formatted")

    def program():
        loud = Loud()
        return loud

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", lambda v: 1 / 0)
    logger = logging.getLogger("vexo")
    level = logger.level
    logger.setLevel(logging.ERROR)
    handler = logging.StreamHandler(sys.stderr)
    logger.addHandler(handler)
    try:
        assert run_traced(make_profiler(), program) is not None
    finally:
        logger.setLevel(level)
        logger.removeHandler(handler)


def test_locals_whose_str_raises_in_logging(make_profiler, monkeypatch, capsys):
    class Loud:
        def __repr__(self):
            raise RuntimeError("no text")

    def program():
        loud = Loud()
        return loud is not None

    failures = iter(range(2))

    def dump(value):  # a failure of its own at each event, so that both are logged
        raise ValueError(next(failures))

    monkeypatch.setattr(vexo.serialize, "dump_msgpack", dump)
    handler = logging.StreamHandler(sys.stderr)
    logging.getLogger("vexo").addHandler(handler)
    monkeypatch.setattr(logging.getLogger("vexo"), "propagate", False)
    try:
        assert run_traced(make_profiler(), program) is True
    finally:
        logging.getLogger("vexo").removeHandler(handler)
    assert "Logging error" in capsys.readouterr().err


def test_failing_reporting_never_reaches_the_program(make_profiler, monkeypatch):
    monkeypatch.setattr(vexo.serialize, "dump_msgpack", lambda v: 1 / 0)
    monkeypatch.setattr(logging, "getLogger", None)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    assert run_traced(make_profiler(), leaf, 1) == 2
    monkeypatch.undo()
    assert len(unraisable) == 1  # the return's failure is the call's, not logged again


def test_a_thread_renaming_itself_keeps_its_first_name(make_profiler):
    import threading

    def work():
        leaf(1)
        threading.current_thread().name = "renamed"
        leaf(2)

    profiler = make_profiler()

    def program():
        thread = threading.Thread(target=work, name="original")
        thread.start()
        thread.join()

    profiler = make_profiler({"threading": True})
    run_traced(profiler, program)
    threading.setprofile(None)
    (records,) = decode(profiler.rust_profiler.build_trace())["frames"].values()
    assert {r["thread"] for r in records} == {"original"}
    assert len(records) == 6


CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def test_a_call_records_its_frame_id_time_and_timestamp_from_one_clock_reading(make_profiler):
    profiler = make_profiler()
    run_traced(profiler, middle, 3)
    for record in records_of(profiler):
        if record["event"] != "call":
            continue
        millis = 0
        for char in record["frame_id"][4:14]:  # the first ten characters hold the time
            millis = millis * 32 + CROCKFORD.index(char)
        # The id keeps the whole milliseconds of the same reading the timestamp shows.
        assert -0.001 < record["timestamp"] * 1000 - millis < 1.001


class Tally:
    def __init__(self):
        self.note = "the words counted so far, by word"  # longer written than referred to
        self.counts = {}

    def add(self, word):
        self.counts[word] = self.counts.get(word, 0) + 1

    def size(self):
        return len(self.counts)


def test_an_unchanged_self_refers_to_its_last_dump_within_one_trace(make_profiler):
    def program():
        tally = Tally()
        tally.add("a")
        return tally.size() + tally.size()

    def places(records):
        ids = {r["frame_id"]: r["co_name"] for r in records}
        shown = []
        for record in records:
            value = record["locals"].get("self")
            if isinstance(value, msgpack.ExtType):
                _name, frame_id, event, field, key = msgpack.unpackb(value.data)
                assert (field, key) == ("locals", "self")
                shown.append((record["co_name"], record["event"], ids[frame_id], event))
            elif value is not None:
                shown.append((record["co_name"], record["event"], value.get("counts")))
        return shown

    profiler = make_profiler({"values": "safe"})
    assert run_traced(profiler, program) == 2
    assert places(records_of(profiler)) == [
        ("__init__", "call", None),
        ("__init__", "return", {}),  # changed: written again
        ("add", "call", "__init__", "return"),
        ("add", "return", {"a": 1}),
        ("size", "call", "add", "return"),
        ("size", "return", "add", "return"),
        ("size", "call", "add", "return"),
        ("size", "return", "add", "return"),
    ]
    # The next trace writes it whole again.
    assert run_traced(profiler, program) == 2
    assert places(records_of(profiler))[:2] == [
        ("__init__", "call", None),
        ("__init__", "return", {}),
    ]
