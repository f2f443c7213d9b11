import sys
import threading
import uuid

import msgpack
import pytest

import vexo.plugins
from vexo import _vexo


class FakeProfiler:
    """What the package's profiler object offers the native core, and nothing more."""

    def __init__(
        self,
        config=None,
        *,
        db_path="unused.sqlite3",
        one_trace_per_test=False,
        trace_id="trc_01HF7YAT00AAAAAAAAAAAAAAAA",
        source="tests",
    ):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, frame, event, arg):
        return None


def decode(document):
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


@pytest.fixture
def make_profiler(monkeypatch):
    """Makes a profiler object; `plugins` replaces what vexo.plugins hands to the core."""

    def make(config=None, plugins=None, **attributes):
        if plugins is not None:
            monkeypatch.setattr(vexo.plugins, "load_plugin_data", lambda config: plugins)
        return FakeProfiler(config, **attributes)

    return make


@pytest.fixture(autouse=True)
def outside_any_run(monkeypatch):
    """Each test starts outside a run, and a run it starts does not reach the next tests."""
    monkeypatch.delenv("VEXO_RUN_ID", raising=False)


@pytest.fixture(autouse=True)
def no_tracing_left_behind():
    yield
    _vexo.register_noop_profiler()
    if sys.version_info >= (3, 12):
        from vexo import _vexo_monitoring

        _vexo_monitoring.register_noop_profiler()
    threading.setprofile(None)
    sys.setprofile(None)


@pytest.fixture
def saved_calls(monkeypatch):
    """Replaces vexo.db.save_trace_in_sqlite by a recorder."""
    import vexo.db

    calls = []

    def save_trace_in_sqlite(*args, **kwargs):
        calls.append((args, kwargs))

    monkeypatch.setattr(vexo.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    return calls


def run_traced(profiler, function, *args, **kwargs):
    """Traces one call; this helper's own frame is never seen, since tracing starts inside it."""
    _vexo.register_profiler(profiler)
    try:
        return function(*args, **kwargs)
    finally:
        _vexo.register_noop_profiler()


def records_of(profiler):
    return decode(profiler.rust_profiler.build_trace())["frames_of_interest"]


@pytest.fixture
def vexo_warnings():
    """The warnings logged on the logger "vexo", as LogRecords."""
    import logging

    caught = []

    class Keep(logging.Handler):
        def emit(self, record):
            caught.append(record)

    logger = logging.getLogger("vexo")
    handler = Keep(level=logging.DEBUG)
    logger.addHandler(handler)
    yield caught
    logger.removeHandler(handler)


@pytest.fixture(scope="session")
def postgres_server():
    """A real PostgreSQL server for the session (tests/postgres_server.py); skipped where Debian's
    server is not installed, unless VEXO_REQUIRE_POSTGRES is set (CI installs it)."""
    import os

    import postgres_server as servers

    if os.environ.get("VEXO_POSTGRES") == "0":
        pytest.skip("PostgreSQL tests left out (VEXO_POSTGRES=0)")
    bin_dir = servers.binaries()
    if bin_dir is None:
        if os.environ.get("VEXO_REQUIRE_POSTGRES"):
            pytest.fail("PostgreSQL is not installed (apt-get install postgresql)")
        pytest.skip("PostgreSQL is not installed (apt-get install postgresql)")
    server = servers.PostgresServer(bin_dir).start()
    yield server
    server.remove()


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path):
    """A new, empty trace store of each kind: a SQLite file's path or a PostgreSQL URL."""
    if request.param == "sqlite":
        return str(tmp_path / "db.sqlite3")
    server = request.getfixturevalue("postgres_server")
    return server.create_database(f"t{uuid.uuid4().hex}")
