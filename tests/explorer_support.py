"""What the explorer's tests share: traced programs stored in a database, a hand-made trace with
references and a stop, and the server."""

import contextlib
import os
import subprocess
import sys
import threading
from pathlib import Path

import msgpack

from vexo.explore.serve import ExplorerServer

ROOT = Path(__file__).resolve().parent.parent


def vexo(*args, cwd=None, check=True):
    return subprocess.run(
        [sys.executable, "-m", "vexo", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        check=check,
    )


def store_demo(db):
    """The demo's trace, as `make demo` records it (from the project's folder)."""
    vexo("--db", str(db), "run", "--threading", "examples/demo.py", cwd=ROOT)


CHECKOUT_TESTS = (
    "def total(prices):\n"
    "    return sum(prices)\n\n"
    "def test_total_passes():\n"
    "    assert total([1, 2]) == 3\n\n"
    "def test_total_fails():\n"
    "    assert total([1, 2, 4]) == 3\n"
)


def store_pytest_run(db, folder, tests_text=CHECKOUT_TESTS, *options):
    """A pytest run of two tests, one of which fails, one trace per test; `options` go to
    pytest."""
    tests = Path(folder) / "test_checkout.py"
    tests.write_text(tests_text)
    subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vexo",
         "--vexo-db", str(db), *options, str(tests)],
        cwd=folder, capture_output=True, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )  # fmt: skip


FIRST_ID = "frm_01M9A6C5KMB2G2HGQQYQJZSTMV"


def reference(frame_id, event="call", field="locals", key="self", data=None):
    fields = ["shop.Cart", frame_id, event, field, key]
    return msgpack.ExtType(1, msgpack.packb(fields) if data is None else data)


def referenced_fields(first_id=FIRST_ID):
    """A trace's fields: a call that shows a cart in full, its return and a later call that refer
    to it, the record left where recording stopped, and values that only look like references."""

    def frame(event, name, frame_id, stamp, **fields):
        return {"path": f"app.py:{len(name)}", "co_name": name, "qualname": f"app.{name}",
                "event": event, "frame_id": frame_id, "arg": None, "locals": {}, "thread": "t1",
                "thread_native_id": 1, "timestamp": stamp, "type": "frame", **fields}  # fmt: skip

    cart = {"__class__": "shop.Cart", "owner": "ada"}
    later_id = "frm_01M9A6C5KMB2G2HGQQYQJAAAAA"
    stopped = {"type": "recording_stopped", "reason": "budget", "limit": 128 << 20,
               "timestamp": 1.15, "thread": "t1", "thread_native_id": 1}  # fmt: skip
    hostile = {
        "self": reference(first_id),
        "text": "<Cart unchanged since call frm_…JZSTMV>",
        "odd": msgpack.ExtType(9, b"x"),
        "bad": reference(first_id, data=b"\xc1"),
        "fake": {"__ref__": {"frame_id": first_id}},
    }
    records = [
        frame("call", "add", first_id, 1.0, locals={"self": cart, "n": 1}),
        frame("return", "add", first_id, 1.1, arg=reference(first_id),
              locals={"self": reference(first_id)}),
        stopped,
        frame("call", "total", later_id, 1.2, locals=hostile),
        frame("return", "total", later_id, 1.3, arg=3),
    ]  # fmt: skip
    return {"trace_id": "trc_ref", "main_thread_id": 1, "meta": {"source": "script app.py"},
            "timestamp": 1.0, "frames_of_interest": records, "frames": {}}  # fmt: skip


@contextlib.contextmanager
def running_server(db, host="127.0.0.1"):
    server = ExplorerServer(str(db), host, 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
