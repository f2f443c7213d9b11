"""The current thread's name and native id, as threading reports them."""

import json
import subprocess
import sys
import textwrap
import threading
import types

import _vexo_testing as t
import pytest


def test_main_thread_identity():
    current = threading.current_thread()
    assert t.current_thread() == (current.name, threading.get_native_id())


def test_threads_report_their_own_identity_after_renaming():
    script = textwrap.dedent(
        """
        import json, threading
        import _vexo_testing as t

        seen = {}

        def body():
            seen["before"] = t.current_thread()
            threading.current_thread().name = "renamed worker"
            seen["after"] = t.current_thread()
            seen["native_id"] = threading.get_native_id()

        worker = threading.Thread(target=body, name="worker")
        worker.start()
        worker.join()
        seen["main"] = t.current_thread()
        seen["main_native_id"] = threading.get_native_id()
        print(json.dumps(seen))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert seen["before"] == ["worker", seen["native_id"]]
    assert seen["after"] == ["renamed worker", seen["native_id"]]
    assert seen["main"] == ["MainThread", seen["main_native_id"]]
    assert seen["native_id"] != seen["main_native_id"]


@pytest.fixture
def fake_thread(monkeypatch):
    def install(**attributes):
        monkeypatch.setattr(
            threading, "current_thread", lambda: types.SimpleNamespace(**attributes)
        )

    return install


class Index:
    def __index__(self):
        return 77


@pytest.mark.parametrize(
    ("native_id", "expected"), [(0, 0), (2**64 - 1, 2**64 - 1), (Index(), 77), (True, 1)]
)
def test_native_id_converts_from_ints(fake_thread, native_id, expected):
    fake_thread(name="t", native_id=native_id)
    assert t.current_thread() == ("t", expected)


@pytest.mark.parametrize(
    ("native_id", "error"),
    [
        (None, TypeError),
        ("12", TypeError),
        (1.0, TypeError),
        (-1, OverflowError),
        (2**64, OverflowError),
    ],
)
def test_native_id_that_is_no_word_fails(fake_thread, native_id, error):
    fake_thread(name="t", native_id=native_id)
    with pytest.raises(error):
        t.current_thread()


@pytest.mark.parametrize(("name", "type_name"), [(5, "int"), (None, "NoneType"), (b"t", "bytes")])
def test_name_must_be_a_str(fake_thread, name, type_name):
    fake_thread(name=name, native_id=None)
    with pytest.raises(TypeError) as error:
        t.current_thread()
    assert str(error.value) == f"'{type_name}' object cannot be converted to 'PyString'"


def test_missing_attribute_fails(fake_thread):
    fake_thread(name="t")
    with pytest.raises(AttributeError):
        t.current_thread()


def test_failure_of_current_thread_comes_back_unchanged(monkeypatch):
    failure = RuntimeError("no thread")

    def fail():
        raise failure

    monkeypatch.setattr(threading, "current_thread", fail)
    with pytest.raises(RuntimeError) as error:
        t.current_thread()
    assert error.value is failure


def test_threading_is_looked_up_on_every_call(fake_thread):
    fake_thread(name="first", native_id=1)
    assert t.current_thread() == ("first", 1)
    fake_thread(name="second", native_id=2)
    assert t.current_thread() == ("second", 2)
