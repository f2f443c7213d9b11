"""`pytest --vexo` in a child pytest: one stored trace per test, cut and saved by the tracer."""

import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ElementTree

import msgpack
import pytest

import vexo.plugins
from vexo.db import count_traces, latest_run_id, list_traces, load_trace

TIMEOUT = 120

TESTS = """\
    import sys
    import threading

    import pytest

    def double(x):
        return x * 2

    def add_hundred(x):
        return x + 100

    def shout(text):
        return text.upper()

    @pytest.fixture
    def value():
        yield 21

    def test_one(value):
        assert double(value) == 42

    def test_two():
        assert add_hundred(1) == 101

    def test_three_fails():
        assert shout("a") == "b"

    def test_four_drops_the_hook():
        sys.setprofile(None)
        threading.setprofile(None)

    @pytest.mark.parametrize("n", [1, 2])
    def test_five(n):
        assert double(n) == 2 * n

    class Counted:
        calls = 0

        def __repr__(self):
            Counted.calls += 1
            return "Counted()"

    def same(x):
        return x

    def test_six_keeps_its_outcome_traced():
        assert same(Counted()) is not None
        assert Counted.calls == 0

    def test_seven_skips():
        pytest.skip("not today")

    @pytest.fixture
    def broken():
        raise LookupError("no ``` <img src=x onerror=alert(1)>")

    def test_eight_errors(broken):
        pass
"""

# The helpers each test calls, and must be the only ones in its trace.
OWN = {
    "test_one": {"value", "test_one", "double"},
    "test_two": {"test_two", "add_hundred"},
    "test_three_fails": {"test_three_fails", "shout"},
    "test_four_drops_the_hook": {"test_four_drops_the_hook"},
    "test_five[1]": {"test_five", "double"},
    "test_five[2]": {"test_five", "double"},
    "test_six_keeps_its_outcome_traced": {"test_six_keeps_its_outcome_traced", "same"},
    "test_seven_skips": {"test_seven_skips"},
    "test_eight_errors": {"broken"},
}
OUTCOMES = {test: "passed" for test in OWN} | {
    "test_three_fails": "failed",
    "test_seven_skips": "skipped",
    "test_eight_errors": "error",
}
COUNTS = ("6 passed", "1 failed", "1 skipped", "1 error")


def run_pytest(tmp_path, *options):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(TESTS))
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *options, "test_sample.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


# What CI keeps of a run: the failed tests' traces in one HTML file, a summary, JUnit's XML.
CI_OPTIONS = (
    "--vexo-report", "out/report.html", "--vexo-summary", "out/summary.md",
    "--junitxml", "out/junit.xml",
)  # fmt: skip


def assert_ci_report(folder, stored):
    ids = {s.source.rpartition("::")[2]: s.trace_id for s in stored}
    cases = ElementTree.parse(folder / "out" / "junit.xml").iter("testcase")
    properties = {
        case.get("name"): {p.get("name"): p.get("value") for p in case.iter("property")}
        for case in cases
    }
    assert properties == {test: {"vexo_trace_id": trace_id} for test, trace_id in ids.items()}

    page = (folder / "out" / "report.html").read_text()
    data = json.loads(page.split('type="application/json">')[1].split("</script>")[0])
    # The failed and erroring tests.
    reported = {trace["header"]["trace_id"] for trace in data["traces"]}
    assert reported == {ids["test_three_fails"], ids["test_eight_errors"]}
    assert "<img src=x" not in page  # the recorded message only as escaped JSON

    summary = (folder / "out" / "summary.md").read_text()
    assert summary.startswith("## vexo: 2 of 9 traced tests failed\n")
    assert "### ` test_sample.py::test_three_fails ` failed" in summary
    assert "AssertionError: assert 'A' == 'b'" in summary
    assert "  raised in test_sample.test_three_fails, test_sample.py line 26" in summary
    assert "\n  test_sample.shout(text='a') -> 'A'  test_sample.py:" in summary
    assert f"trace ` {ids['test_three_fails']} `" in summary
    # A fence longer than the backticks the message holds: the message stays in its block.
    assert "\n````text\nLookupError: no ``` <img src=x onerror=alert(1)>\n" in summary
    assert "  raised in test_sample.broken, test_sample.py line 55" in summary


def test_one_trace_per_test(tmp_path):
    result = run_pytest(tmp_path, "--vexo", "--vexo-db", "tests.sqlite3", *CI_OPTIONS)
    assert result.returncode == 1, result.stdout + result.stderr  # test_three_fails fails
    assert all(count in result.stdout for count in COUNTS)
    assert f"vexo: traced 9 tests into {tmp_path / 'tests.sqlite3'}" in result.stdout

    stored = list_traces(tmp_path / "tests.sqlite3")
    assert sorted(s.source for s in stored) == sorted(f"pytest test_sample.py::{t}" for t in OWN)
    assert {s.source.rpartition("::")[2]: s.outcome for s in stored} == OUTCOMES
    assert count_traces(tmp_path / "tests.sqlite3", kind="test", text="TEST_FIVE") == 2
    for summary in stored:
        test = summary.source.rpartition("::")[2]
        document = msgpack.unpackb(load_trace(tmp_path / "tests.sqlite3", summary.trace_id))
        assert document["trace_id"] == summary.trace_id
        assert document["meta"]["source"] == "pytest" and document["frames"] == {}
        records = document["frames_of_interest"]
        markers = [(r["type"], r["nodeid"]) for r in records if r["type"].endswith("_test")]
        nodeid = f"test_sample.py::{test}"
        assert markers == [("start_test", nodeid), ("end_test", nodeid)]
        assert records[0]["type"] == "start_test" and records[-1]["type"] == "end_test"
        frames = [r for r in records if r["type"] == "frame"]
        assert {r["co_name"] for r in frames} == OWN[test]
        assert all(r["path"].startswith("test_sample.py:") for r in frames)
        raised = [r for r in records if r["type"] == "exception"]
        if test == "test_three_fails":  # the assertion's message, as pytest rewrote it
            (failed,) = raised
            assert failed["exception_type"] == "AssertionError"
            assert failed["message"].startswith("assert 'A' == 'b'")
    one = next(s for s in stored if s.source.endswith("::test_one"))
    records = msgpack.unpackb(load_trace(tmp_path / "tests.sqlite3", one.trace_id))[
        "frames_of_interest"
    ]
    calls = {r["co_name"]: r for r in records if r.get("event") == "call"}
    returns = {r["co_name"]: r for r in records if r.get("event") == "return"}
    assert calls["double"]["locals"] == {"x": 21} and returns["double"]["arg"] == 42
    assert calls["test_one"]["locals"] == {"value": 21}

    def vexo(*args):
        command = [sys.executable, "-m", "vexo", "--db", "tests.sqlite3", *args]
        done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return done.stdout

    failed = vexo("traces", "--failed").splitlines()
    assert [line.split()[-2:] for line in failed[1:-1]] == [
        ["pytest", "test_sample.py::test_eight_errors"],
        ["pytest", "test_sample.py::test_three_fails"],
    ]
    assert failed[-1].startswith("2 failed traces; ")
    assert "  test     test_sample.py::test_eight_errors  error" in vexo("show", "--last-failed")
    shown = vexo("traces", "--test", "five", "--json")
    assert [row["outcome"] for row in json.loads(shown)] == ["passed", "passed"]
    assert_ci_report(tmp_path, stored)


def test_xdist_workers_trace_each_test_once_into_one_run(tmp_path):
    path = tmp_path / "tests.sqlite3"
    result = run_pytest(tmp_path, "-n", "2", "--vexo", "--vexo-db", path, *CI_OPTIONS)
    assert result.returncode == 1, result.stdout + result.stderr
    assert all(count in result.stdout for count in COUNTS)
    assert f"vexo: traced 9 tests into {path}" in result.stdout

    stored = list_traces(path)
    assert sorted(s.source for s in stored) == sorted(f"pytest test_sample.py::{t}" for t in OWN)
    assert {s.source.rpartition("::")[2]: s.outcome for s in stored} == OUTCOMES
    (run_id,) = {s.run_id for s in stored}
    assert run_id == latest_run_id(path) and len({s.process_id for s in stored}) == 2
    for summary in stored:
        document = msgpack.unpackb(load_trace(path, summary.trace_id))
        markers = [r["nodeid"] for r in document["frames_of_interest"] if "nodeid" in r]
        assert markers == [summary.source.partition(" ")[2]] * 2
    connection = sqlite3.connect(path)
    ((command, started, ended),) = connection.execute(
        "SELECT command, started_at, ended_at FROM runs"
    )
    connection.close()
    assert command.startswith("pytest ") and "-n 2" in command and started <= ended
    # Each worker's tests, reported once by the controller.
    assert_ci_report(tmp_path, stored)
    assert result.stdout.count("vexo: wrote the report of 2 tests to") == 1


def test_off_without_the_option(tmp_path):
    result = run_pytest(tmp_path)
    assert result.returncode == 1
    assert "vexo:" not in result.stdout
    assert not (tmp_path / ".vexo").exists()


def test_unwritable_database_leaves_pytest_working(tmp_path):
    (tmp_path / "file").write_text("")
    result = run_pytest(tmp_path, "--vexo", "--vexo-db", "file/db.sqlite3")
    assert result.returncode == 1, result.stdout + result.stderr
    assert all(count in result.stdout for count in COUNTS)
    assert "vexo: tests not traced: cannot create the folder of" in result.stdout


def test_a_report_that_cannot_be_written_leaves_the_other_and_no_file(tmp_path):
    (tmp_path / "taken").mkdir()
    result = run_pytest(tmp_path, "--vexo-report", "taken", "--vexo-summary", "out/summary.md")
    assert result.returncode == 1, result.stdout + result.stderr
    assert "vexo: no report: " in result.stdout
    assert "vexo: wrote the summary of 2 tests to " in result.stdout
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        ".vexo",
        "out",
        "taken",
        "test_sample.py",
    ]


def test_a_failed_test_is_compared_with_its_last_passing_run(tmp_path):
    for rate in ("0.9", "0.8"):
        (tmp_path / "test_rate.py").write_text(
            f"def discount(price):\n    return price * {rate}\n\n"
            "def test_discount():\n    assert discount(100) == 90\n"
        )
        subprocess.run(
            [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--vexo", "test_rate.py"],
            cwd=tmp_path, capture_output=True, timeout=TIMEOUT,
            env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
        )  # fmt: skip
    failed, passed = list_traces(tmp_path / ".vexo" / "db.sqlite3")
    compared = subprocess.run(
        [sys.executable, "-m", "vexo", "compare", "--last-passing", failed.trace_id[:-3]],
        cwd=tmp_path, capture_output=True, text=True, timeout=TIMEOUT,
    ).stdout.splitlines()  # fmt: skip
    assert compared == [
        f"left   {failed.trace_id}  test_rate.py::test_discount  failed  (2 calls)",
        f"right  {passed.trace_id}  test_rate.py::test_discount  passed  (2 calls)",
        "The calls are the same in both traces.",
        "Values that differ at matching calls (2):",
        "  left   test_rate.test_discount   !! AssertionError: assert 80.0 == 90 +  where 80.0 = "
        "discount(100)",
        "  right  test_rate.test_discount   -> None",
        "  left   test_rate.discount  price=100 -> 80.0",
        "  right  test_rate.discount  price=100 -> 90.0",
    ]


def test_plugin_is_built_in():
    descriptions = vexo.plugins.load_plugin_data({"plugins": ["pytest"]})
    assert [(d["co_names"], d["call_type"], d["events"]) for d in descriptions] == [
        (["_vexo_start_test"], "start_test", ["call"]),
        (["_vexo_end_test"], "end_test", ["call"]),
    ]
    assert all(d["path_fragment"] == "/vexo/recording/markers.py" for d in descriptions)


@pytest.mark.parametrize("name", ["_vexo_start_test", "_vexo_end_test"])
def test_markers_live_in_a_file_the_tracer_leaves_out(name):
    import vexo.recording.markers

    code = getattr(vexo.recording.markers, name).__code__
    assert code.co_filename.endswith("/vexo/recording/markers.py") and code.co_name == name
