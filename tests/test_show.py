"""Reading traces back: the call tree built from real trace documents, its text and JSON."""

import io
import json
import math

import msgpack
import pytest

from explorer_support import FIRST_ID, reference, referenced_fields
from vexo.profiler import Profiler
from vexo.recording.markers import _vexo_end_test, _vexo_start_test
from vexo.trace.model import Call, Event, TraceFormatError
from vexo.trace.render import dump_json, render_text, to_json
from vexo.trace.text import short
from vexo.trace.tree import build_tree
from vexo.values.unpack import UNREADABLE, Reference, unpack


class Basket:
    def __init__(self, owner):
        self.owner = owner

    def weigh(self, items):
        return sum(weight(item) for item in items)


def weight(item):
    return len(item)


def shop():
    return Basket("ada").weigh(["tea", "scone"])


def still_running(profiler):
    return profiler.build()


def test_tree_of_a_real_trace(tmp_path):
    profiler = Profiler(db_path=tmp_path / "db.sqlite3", source="tests").start()
    shop()
    profiler.stop()
    trace = build_tree(profiler.build())
    assert (trace.trace_id, trace.source) == (profiler.trace_id, "tests")
    (thread,) = trace.threads
    assert thread.name == "MainThread" and thread.records == trace.records
    (root,) = thread.roots
    assert (root.name, root.args, root.ret["arg"]) == ("test_show.shop", {}, 8)
    init, weigh = root.children
    assert (init.name, init.args["owner"]) == ("test_show.Basket.__init__", "ada")
    assert init.args["self"] == {"__class__": "test_show.Basket"}
    assert (weigh.name, weigh.ret["arg"]) == ("test_show.Basket.weigh", 8)
    (genexpr,) = weigh.children  # one call, its resumed steps under it
    steps = [child for child in genexpr.children if child.name == genexpr.name]
    assert len(steps) == 2 and ".0" not in genexpr.args  # the genexpr's iterator is hidden
    weights = [
        node for node in (*genexpr.children, *steps[0].children) if node.name == "test_show.weight"
    ]
    assert [(w.args, w.ret["arg"]) for w in weights] == [
        ({"item": "tea"}, 3),
        ({"item": "scone"}, 5),
    ]
    assert all(node.duration >= 0 for node in (root, init, weigh, *weights))
    assert root.duration >= weigh.duration

    lines = list(render_text(trace))
    assert lines[0] == f"trace {profiler.trace_id}"
    assert "  source   tests" in lines
    (weigh_line,) = [line for line in lines if "Basket.weigh(" in line]
    assert weigh_line.startswith(
        "    test_show.Basket.weigh(self=Basket(owner='ada'), items=['tea', 'scone'])"
    )
    assert " -> 8  tests/test_show.py:" in weigh_line and weigh_line.endswith("]")


def test_unpaired_records():
    # The profiler starts inside a call (its return has no call) and the trace is built inside
    # another (its call has no return).
    def started_inside():
        return Profiler(db_path="unused.sqlite3").start()

    profiler = started_inside()
    document = still_running(profiler)
    profiler.stop()
    (thread,) = build_tree(document).threads
    orphan, running = thread.roots
    assert orphan.call is None and orphan.ret["co_name"] == "started_inside"
    assert orphan.args is None and orphan.duration is None
    assert running.ret is None and running.args == {"profiler": running.args["profiler"]}
    text = "\n".join(render_text(build_tree(document)))
    assert "started_inside(?) -> " in text and "still_running(profiler=" in text
    assert "-> (no return recorded)" in text


def test_test_markers_are_events():
    profiler = Profiler({"plugins": ["pytest"]}, db_path="unused.sqlite3").start()
    _vexo_start_test("tests/test_a.py::test_x")
    weight("abc")
    _vexo_end_test("tests/test_a.py::test_x")
    profiler.stop()
    (thread,) = build_tree(profiler.build()).threads
    start, call, end = thread.roots
    assert isinstance(start, Event) and isinstance(call, Call) and isinstance(end, Event)
    assert (start.type, start.data) == ("start_test", {"nodeid": "tests/test_a.py::test_x"})
    assert end.type == "end_test"
    lines = list(render_text(build_tree(profiler.build())))
    assert lines[-1] == "(no records)"


def marker(type_, **data):
    return {"type": type_, "frame_id": None, "timestamp": 1.0, "thread": "t1",
            "thread_native_id": 1, "user_code_call_site": None, **data}  # fmt: skip


START = marker("start_test", nodeid="t.py::test_x")
UNKNOWN = {"outcome": None, "failed": False, "status": None, "error": None}


@pytest.mark.parametrize(
    ("source", "markers", "line", "fields"),
    [
        ("pytest", [START, marker("end_test", outcome="failed")], "test     t.py::test_x  failed",
         {"kind": "test", "name": "t.py::test_x", "outcome": "failed", "failed": True}),
        ("pytest", [START], "test     t.py::test_x  ?", {"kind": "test", "name": "t.py::test_x"}),
        ("wsgi GET /orders/7", [marker("end_request", outcome="500", status=500)],
         "request  GET /orders/7 -> 500",
         {"kind": "request", "name": "GET /orders/7", "outcome": "500", "failed": True,
          "status": 500}),
        ("django POST /a", [marker("end_request", outcome="error", error="ValueError: boom")],
         "request  POST /a -> ValueError: boom",
         {"kind": "request", "name": "POST /a", "outcome": "error", "failed": True,
          "error": "ValueError: boom"}),
        ("wsgi GET /old", [], "request  GET /old", {"kind": "request", "name": "GET /old"}),
        ("script app.py", [], None, {"kind": "script", "name": "script app.py"}),
    ],
)  # fmt: skip
def test_the_header_names_the_test_or_request(source, markers, line, fields):
    calls = [record("call", "f", "frm_1", 1, 1.0), record("return", "f", "frm_1", 1, 2.0)]
    records = markers[:1] + calls + markers[1:] if markers[:1] == [START] else calls + markers
    data = msgpack.unpackb(document(records))
    data["meta"]["source"] = source
    trace = build_tree(msgpack.packb(data))
    header = [text.strip() for text in list(render_text(trace))[:3]]
    assert [h for h in header if h.startswith(("test ", "request "))] == ([line] if line else [])
    assert {key: to_json(trace)[key] for key in [*UNKNOWN, "kind", "name"]} == {**UNKNOWN, **fields}


def record(event, name, frame_id, thread, timestamp, **fields):
    base = {
        "path": f"app.py:{len(name)}",
        "co_name": name,
        "qualname": f"app.{name}",
        "event": event,
        "frame_id": frame_id,
        "arg": None,
        "locals": {},
        "thread": f"t{thread}",
        "thread_native_id": thread,
        "timestamp": timestamp,
        "type": "frame",
        "user_code_call_site": None,
    }
    base.update(fields)
    return base


def document(frames_of_interest, frames=None, main=1):
    return msgpack.packb(
        {
            "command_line_args": ["app.py", "--fast"],
            "current_commit_sha": "ab" * 20,
            "frames": frames or {},
            "frames_of_interest": frames_of_interest,
            "main_thread_id": main,
            "meta": {"version": "0.1.0", "source": "script app.py", "use_frame_boundaries": True},
            "timestamp": 1.0,
            "trace_id": "trc_x",
        }
    )


def test_threads_sharing_one_buffer_are_told_apart():
    # Without "threading" every traced thread writes into the main buffer.
    records = [
        record("call", "a", "frm_1", 1, 1.0),
        record("call", "b", "frm_2", 2, 1.1),
        record("call", "c", "frm_3", 1, 1.2),
        record("return", "b", "frm_2", 2, 1.3, arg=2),
        record("return", "c", "frm_3", 1, 1.4, arg=3),
        record("return", "a", "frm_1", 1, 1.5, arg=1),
    ]
    other = [record("call", "d", "frm_4", 7, 2.0)]
    trace = build_tree(document(records, {7: other}))
    assert [(t.name, t.native_id, t.records) for t in trace.threads] == [
        ("t1", 1, 4), ("t2", 2, 2), ("t7", 7, 1),
    ]  # fmt: skip
    (a,) = trace.threads[0].roots
    assert [child.name for child in a.children] == ["app.c"]
    assert a.duration == pytest.approx(0.5)
    lines = list(render_text(trace))
    assert "  command  app.py --fast" in lines and f"  commit   {'ab' * 20}" in lines
    assert "  app.a() -> 1  app.py:1  [500.00 ms]" in lines
    assert "    app.c() -> 3  app.py:1  [200.00 ms]" in lines


def test_a_return_closes_the_calls_left_open_above_it():
    records = [
        record("call", "outer", "frm_1", 1, 1.0),
        record("call", "lost", "frm_2", 1, 1.0),
        record("return", "outer", "frm_1", 1, 2.0),
        record("call", "after", "frm_3", 1, 2.0),
        record("return", "after", "frm_3", 1, 2.0),
    ]
    (thread,) = build_tree(document(records)).threads
    outer, after = thread.roots
    assert [c.name for c in outer.children] == ["app.lost"] and outer.children[0].ret is None
    assert after.name == "app.after"


def exception(frame_id, line, timestamp, type_name="ValueError", message="negative: -5"):
    return {"type": "exception", "frame_id": frame_id, "exception_type": type_name,
            "message": message, "line": line, "timestamp": timestamp, "thread": "t1",
            "thread_native_id": 1}  # fmt: skip


def test_a_call_left_by_an_exception_shows_it():
    # top catches what validate raised and middle passed on; the last record's call is not here.
    site = {"call_frame_id": "frm_a", "line_number": 16}
    records = [
        record("call", "top", "frm_a", 1, 1.0),
        record("call", "middle", "frm_b", 1, 1.1, locals={"amount": -5}, user_code_call_site=site),
        record("call", "validate", "frm_c", 1, 1.2, locals={"amount": -5}),
        record("return", "validate", "frm_c", 1, 1.3),
        exception("frm_c", 8, 1.3),
        record("return", "middle", "frm_b", 1, 1.4),
        exception("frm_b", 12, 1.4),
        record("return", "top", "frm_a", 1, 1.5, arg="caught"),
        exception("frm_z", 3, 1.6, "KeyError", "k"),
    ]
    trace = build_tree(document(records))
    lines = [line.split("  app.py")[0] for line in render_text(trace)][-4:]
    assert lines == [
        "  app.top() -> 'caught'",
        "    app.middle(amount=-5) !! ValueError: negative: -5",
        "      app.validate(amount=-5) !! ValueError: negative: -5",
        "  * exception exception_type='KeyError' message='k' line=3",
    ]
    top, unpaired = to_json(trace)["threads"][0]["calls"]
    (middle,) = top["children"]
    assert (top["raised"], middle["returned"], middle["return"]) == (None, True, None)
    assert middle["raised"] == {"type": "ValueError", "message": "negative: -5", "line": 12}
    assert middle["children"][0]["raised"]["line"] == 8
    assert unpaired["kind"] == "event"
    written = io.StringIO()
    dump_json(trace, written.write)
    assert json.loads(written.getvalue()) == to_json(trace)
    assert trace.index.detail(2)["exception"] == {
        "type": "ValueError",
        "message": "negative: -5",
        "line": 12,
        "frames": [
            {"node": 3, "name": "app.validate", "file": "app.py", "line": 8},
            {"node": 2, "name": "app.middle", "file": "app.py", "line": 12},
        ],
        "caught_in": {"node": 1, "name": "app.top", "file": "app.py", "line": 16},
    }
    assert trace.index.summary(3)["raised"] == "ValueError: negative: -5"
    assert [trace.index.summary(n).get("folded") for n in (4, 5, 6)] == [True, True, None]


def test_json_holds_the_values_in_full():
    awkward = {"blob": b"\x00\xff", "inf": math.inf, 3: "int key", "long": "x" * 500}
    records = [
        record("call", "f", "frm_1", 1, 1.0, locals=awkward),
        {
            "frame_id": "frm_9",
            "timestamp": 1.2,
            "thread": "t1",
            "thread_native_id": 1,
            "user_code_call_site": {"call_frame_id": "frm_1", "line_number": 4},
            "type": "start_test",
            "nodeid": "t::x",
        },
        record("return", "f", "frm_1", 1, 1.5, arg=[1, 2]),
    ]
    trace = build_tree(document(records))
    data = to_json(trace)
    text = json.dumps(data, allow_nan=False)
    (call,) = data["threads"][0]["calls"]
    assert call["args"] == {
        "blob": "b'\\x00\\xff'",
        "inf": "inf",
        "3": "int key",
        "long": "x" * 500,
    }
    assert (call["return"], call["file"], call["line"], call["returned"]) == (
        [1, 2],
        "app.py",
        1,
        True,
    )
    (event,) = call["children"]
    assert event == {
        "kind": "event",
        "type": "start_test",
        "frame_id": "frm_9",
        "timestamp": 1.2,
        "call_site": {"call_frame_id": "frm_1", "line_number": 4},
        "data": {"nodeid": "t::x"},
    }
    written = io.StringIO()
    dump_json(trace, written.write)
    assert json.loads(written.getvalue()) == json.loads(text)


def test_streamed_json_and_text_follow_the_nesting():
    # a(b(c), d(f)), e: siblings follow a nested call, and two lists close at once.
    steps = ["call a", "call b", "call c", "return c", "return b", "call d", "call f"]
    steps += ["return f", "return d", "return a", "call e", "return e"]
    records = [
        record(event, name, f"frm_{name}", 1, float(time))
        for time, (event, name) in enumerate(step.split() for step in steps)
    ]
    trace = build_tree(document(records))
    written = io.StringIO()
    dump_json(trace, written.write)
    assert json.loads(written.getvalue()) == to_json(trace)
    calls = [line.split("(")[0] for line in render_text(trace) if line.lstrip().startswith("app.")]
    assert calls == ["  app.a", "    app.b", "      app.c", "    app.d", "      app.f", "  app.e"]


def test_deep_traces_render_without_recursion():
    depth = 5000
    records = [record("call", "r", f"frm_{i}", 1, 1.0) for i in range(depth)]
    records += [record("return", "r", f"frm_{i}", 1, 2.0) for i in reversed(range(depth))]
    trace = build_tree(document(records))
    lines = list(render_text(trace))
    assert lines[-1].startswith("  " * depth + "app.r()")
    written = io.StringIO()
    dump_json(trace, written.write)
    text = written.getvalue()
    assert text.count('"children": [') == depth and text.endswith("]}")


@pytest.mark.parametrize(
    "value, text",
    [
        ("<app.models.Order object at 0x7f3a2c1b2d10>", "<Order>"),
        ({"__class__": "app.models.Order", "id": 7, "lines": [1]}, "Order(id=7, lines=[1])"),
        ([[{"__class__": "Order", "id": 7}]], "[[Order(...)]]"),
        ({"id": 7, "__class__": "Order"}, "{'id': 7, '__class__': 'Order'}"),
        ("plain", "'plain'"),
        ("x" * 100, "'" + "x" * 56 + "..."),
        ([1, [2, [3, [4]]]], "[1, [2, [...]]]"),
        (list(range(9)), "[0, 1, 2, 3, 4, ...]"),
        ({"a": {"b": {"c": 1}}}, "{'a': {'b': {...}}}"),
        (b"\x00", "b'\\x00'"),
        (None, "None"),
        (
            Reference("app.Cart", "frm_01ABCDEFGHJKMNPQRSTVWX", "return", "arg", None),
            "<Cart unchanged since return frm_…RSTVWX>",
        ),
        ([UNREADABLE], "[<unreadable value>]"),
    ],  # fmt: skip
)
def test_short_values(value, text):
    assert short(value) == text


@pytest.mark.parametrize(
    "data", [b"", b"\xc1", msgpack.packb([1, 2]), msgpack.packb({"trace_id": 5})]
)
def test_what_is_not_a_trace_document(data):
    with pytest.raises(TraceFormatError, match="not a trace document"):
        build_tree(data)


def test_references_and_where_recording_stopped():
    trace = build_tree(msgpack.packb(referenced_fields()))
    lines = list(render_text(trace))
    add, stopped, total = lines[-3:]
    # A reference reads as the value it refers to.
    assert (
        add == "  app.add(self=Cart(owner='ada'), n=1) -> Cart(owner='ada')  app.py:3  [100.00 ms]"
    )
    assert stopped == (
        "  -- recording stopped: the trace reached its budget of 128 MiB; later calls are not"
        " recorded"
    )
    assert total.startswith(
        "  app.total(self=Cart(owner='ada'),"
        " text='<Cart unchanged since call frm_…JZSTMV>', odd=<unreadable value>, bad=<unreadable"
    )
    add, stopped, total = to_json(trace)["threads"][0]["calls"]
    fields = {"class": "shop.Cart", "frame_id": FIRST_ID, "event": "call", "field": "locals"}
    assert add["return"] == {"__ref__": {**fields, "key": "self"}}
    assert (stopped["kind"], stopped["type"], stopped["data"]) == (
        "event", "recording_stopped", {"reason": "budget", "limit": 128 << 20})  # fmt: skip
    assert (
        total["args"]["text"].startswith("<Cart") and total["args"]["bad"] == "<unreadable value>"
    )


@pytest.mark.parametrize(
    "ext",
    [
        msgpack.ExtType(9, msgpack.packb(["shop.Cart", FIRST_ID, "call", "locals", "self"])),
        reference(FIRST_ID, data=b"\xc1"),
        reference(FIRST_ID, data=msgpack.packb(["shop.Cart", FIRST_ID])),
        reference(FIRST_ID, data=msgpack.packb(["C", "f", "call", "arg", None]) + b"\x00"),
        reference(FIRST_ID, event=["call"]),
        reference(FIRST_ID, event="later"),
        reference(FIRST_ID, key=5),
        reference(b"frm_1"),
        reference(
            FIRST_ID, data=msgpack.packb([msgpack.ExtType(1, b""), "f", "call", "arg", None])
        ),
    ],
)
def test_what_is_not_a_reference_reads_as_unreadable(ext):
    assert unpack(msgpack.packb({"x": ext}, use_bin_type=True)) == {"x": UNREADABLE}
