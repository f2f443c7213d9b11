"""The explorer's trace index and the exports, checked on real traces without a browser."""

import io
import json
import threading

import msgpack
import pytest

from explorer_support import FIRST_ID, referenced_fields
from vexo.cli.main import main
from vexo.db import load_trace
from vexo.explore.compare import compare
from vexo.explore.export import write_chrome, write_speedscope
from vexo.profiler import Profiler
from vexo.trace.index import TraceIndex


def leaf(value):
    return value * 2


def branch(name, values):
    doubled = []
    for value in values:  # not a comprehension: before 3.12 that is a call of its own
        doubled.append(leaf(value))
    return doubled + [name]


def work():
    worker = threading.Thread(target=branch, args=("worker", [5, 6]), name="helper")
    worker.start()
    result = branch("ada", [1, 2, 3])
    worker.join()
    return result


def traced(function, tmp_path, **config):
    profiler = Profiler(config, db_path=tmp_path / "db.sqlite3", source="script tests").start()
    function()
    profiler.stop()
    profiler.save()
    return load_trace(profiler.db_path, profiler.trace_id)


@pytest.fixture
def index(tmp_path):
    return TraceIndex(traced(work, tmp_path, threading=True))


def quiet(done, total):
    pass


def test_index_tree_search_and_figures(index):
    threads = [thread["name"] for thread in index.header["threads"]]
    assert threads == ["MainThread", "helper"]
    (root,) = index.children_page(0)["nodes"]
    assert (root["name"], root["ret"]) == ("test_export.work", "[2, 4, 6, 'ada']")
    branches = index.search("branch", by="name")["results"]
    main_branch = next(r for r in branches if r["path"][0] == 0)
    assert main_branch["path"] == [0, root["id"], main_branch["id"]]
    children = index.children_page(main_branch["id"], offset=1, limit=5)
    assert children["total"] == 3 and [n["args"] for n in children["nodes"]] == [
        "value=2",
        "value=3",
    ]
    # By value: an argument, and a local only seen at return.
    assert {r["name"] for r in index.search("ADA", by="value")["results"]} == {
        "test_export.work",
        "test_export.branch",
    }
    detail = index.detail(main_branch["id"])
    assert detail["args"] == {"name": "ada", "values": [1, 2, 3]}
    assert detail["return_value"] == [2, 4, 6, "ada"]
    assert detail["call_site"]["node"] == root["id"]
    assert detail["source"]["lines"][detail["line"] - detail["source"]["first"]].startswith(
        "def branch("
    )
    figures = {row["name"]: row for row in index.function_table()}
    assert figures["test_export.leaf"]["calls"] == 5
    work_row = figures["test_export.work"]
    assert 0 <= work_row["own"] <= work_row["total"]


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def countdown(n):
    while n:
        yield n
        n -= 1


def test_function_figures_count_a_recursion_once_and_no_resumption(tmp_path):
    index = TraceIndex(traced(lambda: (fib(4), list(countdown(3))), tmp_path))
    figures = {row["name"]: row for row in index.function_table()}
    fibs = [index.node(n) for n, _ in index.calls_in_order()]
    fibs = [call for call in fibs if call.name == "test_export.fib"]
    assert figures["test_export.fib"]["calls"] == len(fibs) == 9
    assert figures["test_export.fib"]["total"] == pytest.approx(fibs[0].duration)
    assert figures["test_export.countdown"]["calls"] == 1


def test_chrome_events_nest_per_thread_and_pair_with_calls(index, tmp_path):
    out = tmp_path / "trace.json"
    with open(out, "w") as file:
        write_chrome(index, file, quiet)
    events = json.loads(out.read_text())["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    assert sorted(names.values()) == ["MainThread", "helper"]
    spans = [e for e in events if e["ph"] == "X"]
    calls = list(index.calls_in_order())
    assert sorted(e["name"] for e in spans) == sorted(index.summary(n)["name"] for n, _ in calls)
    for tid in names:
        open_spans = []
        for span in sorted((e for e in spans if e["tid"] == tid), key=lambda e: e["ts"]):
            while open_spans and open_spans[-1] <= span["ts"]:
                open_spans.pop()
            end = span["ts"] + span["dur"]
            assert not open_spans or end <= open_spans[-1] + 1e-3, "spans overlap without nesting"
            open_spans.append(end)
    branch_span = next(e for e in spans if e["args"]["args"].get("name") == "'ada'")
    assert branch_span["args"]["return"] == "[2, 4, 6, 'ada']"
    assert branch_span["args"]["locals"]["values"] == "[1, 2, 3]"


def test_speedscope_events_balance_and_go_forward(index, tmp_path):
    out = tmp_path / "trace.speedscope.json"
    with open(out, "w") as file:
        write_speedscope(index, file, quiet)
    document = json.loads(out.read_text())
    frames = document["shared"]["frames"]
    assert [p["name"] for p in document["profiles"]] == ["thread MainThread", "thread helper"]
    opened = 0
    for profile in document["profiles"]:
        stack, clock = [], profile["startValue"]
        for event in profile["events"]:
            assert event["at"] >= clock
            clock = event["at"]
            if event["type"] == "O":
                stack.append(event["frame"])
                opened += 1
            else:
                assert stack.pop() == event["frame"]
        assert not stack and profile["endValue"] == clock
    assert opened == len(list(index.calls_in_order()))
    assert {f["name"] for f in frames} >= {"test_export.leaf", "test_export.branch"}


def unfinished():
    # The trace is taken before these calls return: the exports must still close them.
    profiler = Profiler(db_path="unused.sqlite3").start()
    document = inner(profiler)
    profiler.stop()
    return document


def inner(profiler):
    leaf(1)
    return profiler.build()


def test_exports_close_calls_that_never_returned(tmp_path):
    index = TraceIndex(unfinished())
    with open(tmp_path / "s.json", "w") as file:
        write_speedscope(index, file, quiet)
    (profile,) = json.loads((tmp_path / "s.json").read_text())["profiles"]
    kinds = [event["type"] for event in profile["events"]]
    assert kinds.count("O") == kinds.count("C") == 2


def test_compare_finds_where_calls_part_and_values_differ(tmp_path):
    left = TraceIndex(traced(lambda: branch("ada", [1, 2]), tmp_path))
    right = TraceIndex(traced(lambda: branch("bob", [1, 2, 3]), tmp_path))
    result = compare(left, right)
    assert result["first_difference"] == 4  # lambda, branch, leaf, leaf, then a third leaf
    tags = [row["tag"] for row in result["rows"]]
    assert tags == ["values", "values", "equal", "equal", "insert"]
    (changed,) = [row for row in result["value_differences"] if row["left"]["depth"] == 2]
    assert "'ada'" in changed["left"]["args"] and "'bob'" in changed["right"]["args"]
    assert result["rows"][-1]["tag"] == "insert" and result["rows"][-1]["left"] is None


def test_commands_write_files_and_fail_in_one_line(tmp_path, capsys):
    db = str(tmp_path / "db.sqlite3")
    traced(work, tmp_path, threading=True)
    page, chrome = tmp_path / "t.html", tmp_path / "t.json"
    assert main(["--db", db, "html", "-o", str(page)]) == 0
    assert main(["--db", db, "export", "--format", "chrome", "-o", str(chrome)]) == 0
    assert '<script id="vexo-data" type="application/json">' in page.read_text()
    assert json.loads(chrome.read_text())["traceEvents"]
    assert main(["--db", db, "html", "trc_unknown", "-o", str(page)]) == 1
    assert capsys.readouterr().err == f"vexo: no trace trc_unknown in {db}\n"


def test_html_over_its_size_limit_leaves_values_out(tmp_path, capsys):
    def big():
        return leaf("x" * 400_000) + leaf("y" * 400_000) + leaf("z" * 400_000)

    db = str(tmp_path / "db.sqlite3")
    traced(big, tmp_path, values="full")
    page = tmp_path / "t.html"
    assert main(["--db", db, "html", "-o", str(page), "--max-size", "2"]) == 0
    assert "left out the values of" in capsys.readouterr().err
    assert page.stat().st_size < 2 << 20
    data = page.read_text().split('type="application/json">')[1].split("</script>")[0]
    assert "nodes were left out of this file" in json.loads(data)["traces"][0]["header"]["cut"]


def validate(amount):
    if amount < 0:
        raise ValueError(f"negative: {amount}")
    return amount


def checked(amount):
    return validate(amount) * 2


def guarded(amount):
    try:
        return checked(amount)
    except ValueError:
        return "refused"


def test_exports_and_compare_show_an_exception(tmp_path):
    index = TraceIndex(traced(lambda: guarded(-5), tmp_path))
    chrome = io.StringIO()
    write_chrome(index, chrome, quiet)
    events = json.loads(chrome.getvalue())["traceEvents"]
    spans = {e["name"]: e["args"] for e in events if e["ph"] == "X"}
    assert spans["test_export.validate"]["raised"] == "ValueError: negative: -5"
    assert spans["test_export.checked"]["raised_from_line"] == checked.__code__.co_firstlineno + 1
    assert "return" not in spans["test_export.checked"]
    assert spans["test_export.guarded"]["return"] == "'refused'"
    assert not [e for e in events if e["name"] == "exception"]
    speedscope = io.StringIO()
    write_speedscope(index, speedscope, quiet)
    names = {frame["name"] for frame in json.loads(speedscope.getvalue())["shared"]["frames"]}
    assert "test_export.validate !! ValueError: negative: -5" in names
    result = compare(index, TraceIndex(traced(lambda: guarded(5), tmp_path)))
    (left, right) = next(
        (row["left"], row["right"])
        for row in result["value_differences"]
        if row["left"]["name"] == "test_export.checked"
    )
    assert left["text"] == "amount=-5 !! ValueError: negative: -5"
    assert (left["raised"], right["raised"], right["text"]) == (
        "ValueError: negative: -5",
        None,
        "amount=5 -> 10",
    )


def test_index_refuses_what_is_not_a_trace():
    from vexo.trace.model import TraceFormatError

    with pytest.raises(TraceFormatError):
        TraceIndex(msgpack.packb([1, 2]))


def test_index_nests_awkward_records_as_show_does():
    """A return whose call came before tracing, a call cut off by its caller's return, a plugin
    record, two threads sharing one buffer and a text that is not UTF-8: the index numbers and
    nests them as `vexo show` does, and a document with bytes after it is refused."""
    from vexo.trace.model import Call, TraceFormatError
    from vexo.trace.tree import build_tree

    def frame(event, frame_id, name, stamp, thread=1, **more):
        return {"type": "frame", "event": event, "frame_id": frame_id, "qualname": name,
                "path": f"/app.py:{stamp}", "timestamp": stamp, "thread_native_id": thread,
                "thread": f"t{thread}", **more}  # fmt: skip

    records = [
        frame("return", "early", "early", 1),
        frame("call", "a", "outer", 2, locals={"x": b"\xff", "name": "caf\udce9"}),
        frame("call", "b", "inner", 3, thread=2),
        frame("call", "c", "cut", 4),
        {"type": "start_test", "name": "t", "timestamp": 5, "thread_native_id": 1},
        frame("return", "a", "outer", 6, arg=1),
        "not a record",
    ]
    document = msgpack.packb(
        {"trace_id": "trc_x", "main_thread_id": 1, "frames_of_interest": records, "frames": {}},
        use_bin_type=True,
        unicode_errors="surrogateescape",
    )
    index, trace = TraceIndex(document), build_tree(document)
    expected = []  # (kind, parent, name) of show's tree, walked in order
    for number, thread in enumerate(trace.threads):
        stack = [(node, number) for node in reversed(thread.roots)]
        while stack:
            node, parent = stack.pop()
            expected.append(("call" if isinstance(node, Call) else "event", parent, node))
            own = len(trace.threads) + len(expected) - 1
            stack.extend((child, own) for child in reversed(getattr(node, "children", [])))
    assert len(index) == len(trace.threads) + len(expected) == 7
    for number, (kind, parent, node) in enumerate(expected, start=len(trace.threads)):
        summary = index.summary(number)
        assert (index.kind[number], index.parent[number], summary["name"]) == (
            kind, parent, node.name if kind == "call" else node.type)  # fmt: skip
    assert index.summary(3)["dur"] == 4 and index.summary(4)["dur"] is None
    assert index.search("caf\ufffd", by="value")["results"][0]["id"] == 3
    with pytest.raises(TraceFormatError, match="not a trace document"):
        TraceIndex(document + b"\x00")


def awkward_documents():
    """Documents whose records take every odd form the reader meets: wide and narrow encodings,
    missing and foreign-typed fields, values that are not scalars, threads told apart only by
    their records."""
    long_key_record = {"type": "frame", "event": "call", "frame_id": [1, "x"], "qualname": "",
                       "co_name": "fallback", "path": None, "timestamp": True, "x" * 40: "y" * 300,
                       **{f"k{n}": n for n in range(20)}}  # fmt: skip
    records = [
        long_key_record,
        {"type": "frame", "event": "return", "frame_id": [1, "x"], "timestamp": 2**64 - 1},
        {"type": "frame", "event": "call", "frame_id": float("nan"), "timestamp": float("nan")},
        {"type": "frame", "event": "return", "frame_id": float("nan"), "timestamp": 1.5},
        {"type": 7, "timestamp": -2.5, "thread_native_id": -(2**40), "thread": "neg"},
        {
            "type": "frame",
            "event": "call",
            "frame_id": 1,
            "qualname": "ÅNGSTRÖM",
            "path": "é:1",
            "timestamp": 10,
            "thread_native_id": 2**63 + 5,
            "thread": b"bytes name",
        },  # fmt: skip
        {
            "type": "frame",
            "event": "return",
            "frame_id": 1.0,
            "timestamp": 9,
            "thread_native_id": 2**63 + 5,
            "thread": "late name",
        },  # fmt: skip
        {
            "type": "frame",
            "event": "call",
            "frame_id": "f",
            "timestamp": msgpack.ExtType(5, b"ab"),
            "thread_native_id": True,
        },  # fmt: skip
        {"type": b"frame", "event": "call", "timestamp": 3},
        {"type": "frame", "event": b"call", "frame_id": None, "timestamp": 4},
        {"type": "frame", "frame_id": None, "timestamp": 5, "type ": "x"},
        [1, 2],
        None,
    ]
    frames = {
        "t-one": [{"type": "frame", "event": "call", "frame_id": "z", "timestamp": 1.0}],
        7: [{"type": "frame", "event": "call", "frame_id": "y", "thread_native_id": 8}],
        "not a list": {"a": 1},
    }
    header = {"trace_id": "trc_odd", "main_thread_id": "t-one"}
    yield {**header, "frames_of_interest": records, "frames": frames}
    yield {**header, "frames": frames, "frames_of_interest": "not a list"}
    yield {**header, "frames_of_interest": records * 3, "frames": ["not", "a", "map"]}
    yield referenced_fields()


@pytest.mark.parametrize("fields", list(awkward_documents()))
def test_compiled_index_gives_what_the_reference_gives(fields):
    from vexo.trace import nodes as tracenodes

    if tracenodes._index_document is tracenodes.python_index_document:
        pytest.skip("the compiled module is not there")
    document = msgpack.packb(fields, use_bin_type=True)

    def plain(index):
        """The result as text, so that NaN matches itself and numbers match exactly."""
        fields, (threads, lists, (block, offsets), (names, starts), callees) = index(
            document, tracenodes._unpack
        )
        numbers = [list(tracenodes._int64s(packed)) for packed in (offsets, starts)]
        return repr([fields, threads, lists, block, names, callees, numbers])

    assert plain(tracenodes._index_document) == plain(tracenodes.python_index_document)
    for damaged in (document[:-3], document + b"\xc0"):
        with pytest.raises(ValueError, match="damaged"):
            tracenodes._index_document(damaged, tracenodes._unpack)


def refuse(value):
    if value is None:
        return None
    raise ValueError(value)


def fail_and_recover():
    try:
        refuse("no")
    except ValueError:
        return refuse(None)


def test_detail_tells_a_frame_that_ended_by_its_raise(tmp_path):
    index = TraceIndex(traced(fail_and_recover, tmp_path))
    calls = index.search("test_export.refuse", by="name")["results"]
    raised, returned = (index.detail(call["id"]) for call in calls)
    raise_line = refuse.__code__.co_firstlineno + 3
    assert (raised["raised_on_line"], raised["return_line"]) == (raise_line, raise_line)
    assert (returned["raised_on_line"], returned["return_value"]) == (None, None)


def test_references_link_their_call_and_the_stop_shows():
    index = TraceIndex(msgpack.packb(referenced_fields()))
    text = "the trace reached its budget of 128 MiB; later calls are not recorded"
    assert index.header["stopped"] == {"node": 2, "thread": "t1", "text": text}
    assert index.summary(2)["args"] == text
    add, total = index.detail(1), index.detail(3)
    assert [(r["section"], r["local"], r["node"], r["name"]) for r in add["references"]] == [
        ("locals_at_return", "self", 1, "app.add"),
        ("return_value", None, 1, "app.add"),
    ]
    assert [(r["section"], r["local"], r["node"]) for r in total["references"]] == [
        ("args", "self", 1), ("locals_at_call", "self", 1)]  # fmt: skip
    assert total["args"]["fake"] == {"__ref__": {"frame_id": FIRST_ID}}  # a dict, no link
    # Values are searched for their class, not for the ids a reference holds (call 3 has the id
    # in a dict of its own).
    assert [r["id"] for r in index.search("shop.cart", by="value")["results"]] == [1, 3]
    assert [r["id"] for r in index.search("a6c5kmb2", by="value")["results"]] == [3]
    # Compared, references to the same place in two traces match, whatever their ids.
    other = TraceIndex(msgpack.packb(referenced_fields("frm_01M9A6C5KMB2G2HGQQYQJZZZZZ")))
    assert compare(index, other)["value_differences"] == []
    write_chrome(index, out := io.StringIO(), quiet)
    events = {e["name"]: e for e in json.loads(out.getvalue())["traceEvents"]}
    assert events["app.add"]["args"]["return"] == "<Cart unchanged since call frm_…JZSTMV>"
    assert events["recording_stopped"]["s"] == "g"
