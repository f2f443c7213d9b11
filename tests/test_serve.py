"""`vexo serve` over plain HTTP: what it answers, and what it refuses."""

import hashlib
import http.client
import json
import sqlite3

import pytest

from explorer_support import running_server, store_demo
from vexo.cli.options import build_parser


@pytest.fixture(scope="module")
def demo_db(tmp_path_factory):
    db = tmp_path_factory.mktemp("serve") / "db.sqlite3"
    store_demo(db)
    return db


@pytest.fixture(scope="module")
def server(demo_db):
    with running_server(demo_db) as server:
        yield server


def request(server, path, method="GET", host=None):
    port = server.server_address[1]
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.putrequest(method, path, skip_host=True)
    connection.putheader("Host", host or f"127.0.0.1:{port}")
    connection.endheaders()
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, response.getheader("Content-Type"), body


def api(server, path):
    status, kind, body = request(server, path)
    assert kind == "application/json"
    return status, json.loads(body)


def test_api_lists_and_explores_the_demo(server):
    status, listing = api(server, "/api/traces?kind=script&text=demo")
    assert status == 200 and listing["total"] == 1
    trace_id = listing["traces"][0]["trace_id"]
    assert api(server, "/api/traces?kind=test")[1]["total"] == 0
    _, header = api(server, f"/api/trace/{trace_id}")
    assert api(server, f"/api/trace/{trace_id[:-4]}")[1]["trace_id"] == trace_id
    assert (header["kind"], header["name"], header["failed"]) == (
        "script",
        "script examples/demo.py",
        False,
    )
    assert [t["name"] for t in header["threads"]] == ["MainThread", "word-counter"]
    _, found = api(server, f"/api/trace/{trace_id}/search?q=ada&by=value")
    (init,) = [r for r in found["results"] if r["name"] == "__main__.Cart.__init__"]
    _, detail = api(server, f"/api/trace/{trace_id}/node/{init['id']}")
    assert detail["args"]["owner"] == "ada"
    _, rows = api(server, f"/api/trace/{trace_id}/functions")
    assert {r["name"]: r["calls"] for r in rows}["__main__.line_price"] == 2
    # What the page would otherwise work out for itself.
    assert api(server, "/api/kinds")[1] == ["script", "module", "test", "request"]
    assert listing["traces"][0]["depth"] == 0
    _, timeline = api(server, f"/api/trace/{trace_id}/timeline")
    assert [lane["thread"] for lane in timeline["lanes"]] == ["MainThread", "word-counter"]
    assert init["id"] in {bar["id"] for lane in timeline["lanes"] for bar in lane["bars"]}
    _, where = api(server, f"/api/trace/{trace_id}/position/{init['id']}")
    assert where["parent"] == detail["path"][-2]
    _, siblings = api(server, f"/api/trace/{trace_id}/children/{where['parent']}")
    assert siblings["nodes"][where["position"]]["id"] == init["id"]
    # Bad requests get a clear error and the server keeps serving.
    assert api(server, "/api/trace/trc_nope") == (
        404,
        {"error": f"no trace trc_nope in {server.db_path}"},
    )
    assert api(server, f"/api/trace/{trace_id}/node/99999")[0] == 404
    assert api(server, f"/api/trace/{trace_id}/node/-1")[0] == 400
    assert api(server, "/api/traces?kind=nonsense")[0] == 400
    assert api(server, "/api/traces")[0] == 200


def test_only_its_own_host_and_files(server):
    port = server.server_address[1]
    assert request(server, "/")[0] == 200
    for host in ("localhost", "[::1]", "127.0.0.1"):
        assert request(server, "/", host=f"{host}:{port}")[0] == 200
    # A DNS name pointing at us (rebinding), another port, no port: refused.
    for host in (f"evil.example:{port}", "127.0.0.1:1", "127.0.0.1", "localhost.evil.example"):
        assert request(server, "/api/traces", host=host)[0] == 421
    for path in (
        "/static/../db.py",
        "/static/..%2f__init__.py",
        "/static/%2e%2e/db.py",
        "/static/viewer/../../db.py",
        "//etc/passwd",
        "/static/",
        "/static/__init__.py",
    ):
        assert request(server, path)[0] == 404, path
    status, kind, body = request(server, "/static/source.js")
    assert status == 200 and kind.startswith("text/javascript") and b"makeSource" in body


def test_read_only(server, demo_db):
    before = hashlib.sha256(demo_db.read_bytes()).hexdigest()
    for method in ("POST", "PUT", "DELETE", "PATCH"):
        assert request(server, "/api/traces", method=method)[0] == 405
    api(server, "/api/traces")
    assert hashlib.sha256(demo_db.read_bytes()).hexdigest() == before


def test_binds_loopback_unless_told(tmp_path):
    assert build_parser().parse_args(["serve"]).host == "127.0.0.1"


def test_foreign_database_is_a_clear_error(tmp_path):
    foreign = tmp_path / "other.sqlite3"
    with sqlite3.connect(foreign) as connection:
        connection.execute("CREATE TABLE t (x)")
    with running_server(foreign) as server:
        status, body = api(server, "/api/traces")
        assert status == 500 and body["error"] == f"{foreign} is not a vexo trace database"
