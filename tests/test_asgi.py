"""The ASGI middleware and Django's async path, served by uvicorn (tests/asgi_apps.py): one trace
per request although all requests share one event loop thread, holding that request's calls only,
also those it hands to a thread."""

import asyncio
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import msgpack
import pytest
import websockets.sync.client

from vexo.db import list_traces, load_trace

TESTS = Path(__file__).parent
REQUESTS = 200
IN_FLIGHT = 50


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """(base URL, trace database) of uvicorn serving tests/asgi_apps.py."""
    db_path = tmp_path_factory.mktemp("asgi") / "db.sqlite3"
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "asgi_apps:app", "--port", str(port)]
        + ["--log-level", "critical", "--lifespan", "on"],
        cwd=TESTS,
        env={**os.environ, "VEXO_TEST_DB": str(db_path)},
    )
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                httpx.get(f"{url}/n/0", timeout=5)
                break
            except httpx.TransportError:
                assert process.poll() is None and time.monotonic() < deadline, "no server"
                time.sleep(0.1)
        yield url, db_path
    finally:
        process.terminate()
        process.wait(timeout=30)


def traces(db_path, sources):
    """{source: document} of the traces of these sources, once all are stored (the server saves
    them on its writer thread); fails on a source stored twice."""
    deadline = time.monotonic() + 30
    while True:
        found = [s for s in list_traces(db_path) if s.source in sources]
        if len(found) >= len(sources) or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    assert sorted(s.source for s in found) == sorted(sources)
    return {
        s.source: msgpack.unpackb(load_trace(db_path, s.trace_id), strict_map_key=False)
        for s in found
    }


def calls(document):
    """(function, its local "number") of each recorded call of the apps' functions."""
    return [
        (r["co_name"], r["locals"].get("number"))
        for r in document["frames_of_interest"]
        if r["type"] == "frame" and r["event"] == "call"
    ]


def ended(document):
    last = document["frames_of_interest"][-1]
    assert last["type"] == "end_request"
    assert {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site"} <= set(
        last
    )
    return {key: last[key] for key in ("outcome", "status", "error") if key in last}


async def send_all(urls):
    """GETs each URL, IN_FLIGHT at once; the answers."""
    slots = asyncio.Semaphore(IN_FLIGHT)
    async with httpx.AsyncClient(timeout=60, limits=httpx.Limits(max_connections=IN_FLIGHT)) as c:

        async def one(url):
            async with slots:
                return (await c.get(url)).json()

        return await asyncio.gather(*(one(url) for url in urls))


@pytest.mark.parametrize(
    ("prefix", "source"), [("/n", "asgi GET /n"), ("/django/n", "django GET /django/n")]
)
def test_concurrent_requests_each_get_their_own_trace(server, prefix, source):
    url, db_path = server
    numbers = range(1, REQUESTS + 1)
    answers = asyncio.run(send_all([f"{url}{prefix}/{n}" for n in numbers]))
    assert answers == [{"answer": 4 * n + 1} for n in numbers]

    stored = traces(db_path, {f"{source}/{n}" for n in numbers})
    for name, document in stored.items():
        number = int(name.rsplit("/", 1)[1])
        made = calls(document)
        # Its own calls only, the thread's among them (the dispatcher in front has no number).
        assert set(made) - {("app", None)} == {
            (handle_name(prefix), number),
            ("handle", number),
            ("double", number),
            ("in_thread", number),
        }, name
        assert made.count(("double", number)) == made.count(("in_thread", number)) * 2 == 2
        assert ended(document) == {"outcome": "200", "status": 200}


def handle_name(prefix):
    return "django_numbered" if prefix.startswith("/django") else "numbered"


def leave_early(url):
    """A client that gives up before the response ends, closing its connection."""
    with httpx.Client() as client:
        try:
            with client.stream("GET", url, timeout=0.3) as response:
                next(response.iter_bytes())
        except httpx.ReadTimeout:
            pass


def get(url):
    return httpx.get(url, timeout=30).status_code


@pytest.mark.parametrize(
    ("path", "client", "end", "called"),
    [
        (
            "/raise/3",
            get,
            {"status": 500, "error": "LookupError: no page 3 for token=[scrubbed: 14 chars]"},
            {"raising"},
        ),
        ("/slow/4", leave_early, {"status": 200, "error": "client disconnected"}, {"slow"}),
        ("/cancelled/5", get, {"error": "CancelledError"}, {"cancelled"}),
        (
            "/stream/6/1000",
            leave_early,
            {"status": 200, "error": "client disconnected"},
            {"stream", "chunks"},
        ),
        ("/silent/7", get, {"error": "no response"}, {"silent"}),
        ("/stream/8/3", get, {"status": 200}, {"stream", "chunks"}),
        ("/later/9", get, {"status": 200}, {"later", "after"}),
        ("/created/10", get, {"status": 201}, {"created"}),
    ],
    ids=[
        "raises",
        "client-leaves",
        "timeout",
        "stream-abandoned",
        "no-response",
        "stream",
        "task",
        "status-enum",
    ],
)
def test_each_request_is_saved_once_with_how_it_ended(server, path, client, end, called):
    url, db_path = server
    client(f"{url}{path}")
    assert get(f"{url}/n/1000") == 200  # the server goes on

    (document,) = traces(db_path, {f"asgi GET {path}"}).values()
    number = int(path.split("/")[2])
    made = calls(document)
    assert {n for _, n in made} <= {number, None}, made  # nothing of another request
    assert {name for name, _ in made} - {"double", "app"} == called
    outcome = "error" if "error" in end else str(end["status"])
    assert ended(document) == {"outcome": outcome, **end}


def test_lifespan_and_websockets_are_passed_through(server):
    url, db_path = server
    with websockets.sync.client.connect(url.replace("http", "ws") + "/echo") as socket:
        socket.send("21")
        assert socket.recv(timeout=30) == "42"
    assert get(f"{url}/n/1001") == 200
    traces(db_path, {"asgi GET /n/1001"})  # stored after anything the socket could have left
    sources = [s.source for s in list_traces(db_path)]
    assert all(" GET /" in source and "echo" not in source for source in sources), sources


CONTEXTS = """
import asyncio, sys
import vexo.db
from vexo.recording.profiler import ContextTraces, Profiler

backend, db_path = sys.argv[1:]
shared = ContextTraces({"backend": backend}, db_path=db_path)  # how the middleware starts them


def mark(who):
    return who


def in_thread(who):
    return mark(who)


async def request(who):
    if who == "a":
        profiler = Profiler({"backend": backend}, db_path=db_path, source=f"context {who}")
        token = profiler.start_in_context()
        native = profiler.rust_profiler
    else:
        native, token, _ = shared.begin(f"context {who}")
    await asyncio.sleep(0.01)
    mark(who)
    await asyncio.to_thread(in_thread, who)
    await asyncio.sleep(0)
    shared.end(native, token)
    mark(who + " after")
    return native


async def main():
    traced = await asyncio.gather(request("a"), request("b"), request("c"))
    mark("loop")
    return traced


thread = Profiler({"backend": backend}, db_path=db_path, source="thread").start()
for native in asyncio.run(main()):
    native.save_request_in_db()
thread.stop()
thread.save()
vexo.db.flush()
"""


@pytest.mark.parametrize(
    "backend",
    [
        "profile",
        pytest.param(
            "monitoring",
            marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="from 3.12 on"),
        ),
    ],
)
def test_a_context_trace_comes_before_the_thread_trace(tmp_path, backend):
    (tmp_path / "contexts.py").write_text(CONTEXTS)
    db_path = tmp_path / "db.sqlite3"
    subprocess.run(
        [sys.executable, str(tmp_path / "contexts.py"), backend, str(db_path)],
        check=True,
        timeout=60,
    )
    stored = traces(db_path, {"context a", "context b", "context c", "thread"})

    def marked(source):
        return sorted(
            (r["co_name"], r["locals"].get("who"))
            for r in stored[source]["frames_of_interest"]
            if r["type"] == "frame"
            and r["event"] == "call"
            and "who" in r["locals"]
            and r["co_name"] != "request"
        )

    for who in "abc":
        assert marked(f"context {who}") == [("in_thread", who), ("mark", who), ("mark", who)]
    assert marked("thread") == [
        ("mark", "a after"),
        ("mark", "b after"),
        ("mark", "c after"),
        ("mark", "loop"),
    ]
