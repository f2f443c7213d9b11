"""What the explorer's tests share: traced programs stored in a database, and the server."""

import contextlib
import os
import subprocess
import sys
import threading
from pathlib import Path

from vexo.serve import ExplorerServer

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


def store_pytest_run(db, folder):
    """A pytest run of two tests, one of which fails, one trace per test."""
    tests = Path(folder) / "test_checkout.py"
    tests.write_text(
        "def total(prices):\n"
        "    return sum(prices)\n\n"
        "def test_total_passes():\n"
        "    assert total([1, 2]) == 3\n\n"
        "def test_total_fails():\n"
        "    assert total([1, 2, 4]) == 3\n"
    )
    subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vexo",
         "--vexo-db", str(db), str(tests)],
        cwd=folder, capture_output=True, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )  # fmt: skip


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
