"""The WSGI and Django middleware: one stored trace per request, on the thread serving it."""

import gc
import subprocess
import sys
import textwrap
import wsgiref.util
import wsgiref.validate

import django
import msgpack
import pytest
from django.conf import settings as django_settings
from django.http import JsonResponse, StreamingHttpResponse
from django.test import Client, override_settings
from django.urls import path

import vexo.db
from vexo.config import Settings
from vexo.db import list_traces, load_trace
from vexo.middleware import VexoMiddleware

TIMEOUT = 60


def stored(db_path):
    """(summary, decoded document) of each stored trace, oldest first."""
    return [
        (summary, msgpack.unpackb(load_trace(db_path, summary.trace_id), strict_map_key=False))
        for summary in reversed(list_traces(db_path))
    ]


def frames(document):
    return [r for r in document["frames_of_interest"] if r["type"] == "frame"]


def ended(document):
    """What the request's end record says: its outcome, status and error."""
    last = document["frames_of_interest"][-1]
    assert last["type"] == "end_request"
    assert {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site"} <= set(
        last
    )
    return {key: last[key] for key in ("outcome", "status", "error") if key in last}


def by_event(records, event):
    """The first record of each function for the event."""
    found = {}
    for record in records:
        if record["event"] == event:
            found.setdefault(record["co_name"], record)
    return found


# WSGI


def greeting(name):
    return f"hello {name}"


def body_lines(name, count):
    for index in range(count):
        yield f"{greeting(name)} {index}\n".encode()


def wsgi_app(environ, start_response):
    name = environ["PATH_INFO"].rsplit("/", 1)[-1]
    if name == "fail":
        raise LookupError("no such page")
    start_response("200 OK", [("Content-Type", "text/plain")])
    return body_lines(name, 2)


def call_wsgi(app, path_info, method="GET", headers=None):
    environ = {
        "REQUEST_METHOD": method,
        "PATH_INFO": path_info,
        "SCRIPT_NAME": "",
        "QUERY_STRING": "",
        **(headers or {}),
    }
    wsgiref.util.setup_testing_defaults(environ)
    statuses = []

    def start_response(status, headers):
        statuses.append(status)

    body = wsgiref.validate.validator(app)(environ, start_response)
    try:
        return statuses, b"".join(body)
    finally:
        body.close()


# Secrets a request carries, as a client sends them.
CREDENTIALS = {"HTTP_AUTHORIZATION": "Bearer tok-1a2b3c", "HTTP_COOKIE": "sessionid=sess-4d5e6f"}


def assert_no_credentials(db_path):
    ((summary, document),) = stored(db_path)
    raw = load_trace(db_path, summary.trace_id)
    assert b"tok-1a2b3c" not in raw and b"sess-4d5e6f" not in raw
    return document


def headers_app(environ, start_response):
    headers = {key: value for key, value in environ.items() if key.startswith("HTTP_")}
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [f"{len(headers)} headers".encode()]


def test_a_requests_credentials_never_reach_the_store(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    app = VexoMiddleware(headers_app, settings=Settings(db_path=str(db_path)))
    assert call_wsgi(app, "/", headers=CREDENTIALS)[1].endswith(b"headers")
    document = assert_no_credentials(db_path)
    returned = by_event(frames(document), "return")["headers_app"]["locals"]
    assert returned["environ"]["PATH_INFO"] == "/"
    assert returned["headers"]["HTTP_AUTHORIZATION"] == "[scrubbed: str, 17 chars]"


def test_wsgi_request_is_one_trace(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    app = VexoMiddleware(wsgi_app, settings=Settings(db_path=str(db_path), threading=True))
    assert call_wsgi(app, "/hello/ada") == (["200 OK"], b"hello ada 0\nhello ada 1\n")
    assert call_wsgi(app, "/hello/bob", "POST")[1] == b"hello bob 0\nhello bob 1\n"

    (first, document), (second, _) = stored(db_path)
    assert (first.source, second.source) == ("wsgi GET /hello/ada", "wsgi POST /hello/bob")
    assert (first.outcome, second.outcome) == ("200", "200")
    assert ended(document) == {"outcome": "200", "status": 200}
    assert document["frames"] == {}  # never "threading" for a request
    records = frames(document)
    calls, returns = by_event(records, "call"), by_event(records, "return")
    # start_response is the test's own code, called by the app.
    assert set(calls) == {"wsgi_app", "body_lines", "greeting", "start_response"}
    assert calls["greeting"]["locals"] == {"name": "ada"}
    assert returns["greeting"]["arg"] == "hello ada"
    assert calls["body_lines"]["locals"] == {"name": "ada", "count": 2}
    # The body generator is resumed by the server after the app returned; still in the trace.
    assert [r["event"] for r in records if r["co_name"] == "body_lines"] == ["call", "return"] * 3
    assert returns["wsgi_app"]["arg"].startswith("<generator object body_lines")


def read_only(body):
    return b"".join(body)  # and never closed


@pytest.mark.parametrize("use_body", [read_only, lambda body: None], ids=["read", "dropped"])
def test_a_body_never_closed_still_saves_once(tmp_path, use_body):
    # Flask's test client closes the body only when used in a `with`.
    db_path = tmp_path / "db.sqlite3"
    app = VexoMiddleware(wsgi_app, settings=Settings(db_path=str(db_path)))
    environ = {"PATH_INFO": "/hello/ada"}
    wsgiref.util.setup_testing_defaults(environ)
    body = app(environ, lambda *args: None)
    use_body(body)
    del body
    ((summary, _),) = stored(db_path)
    assert summary.source == "wsgi GET /hello/ada"


def test_wsgi_exception_still_saves(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    app = VexoMiddleware(wsgi_app, settings=Settings(db_path=str(db_path)))
    with pytest.raises(LookupError):
        call_wsgi(app, "/fail")
    ((summary, document),) = stored(db_path)
    assert summary.source == "wsgi GET /fail"
    assert summary.outcome == "error"
    assert ended(document) == {"outcome": "error", "error": "LookupError: no such page"}
    assert [(r["co_name"], r["event"]) for r in frames(document)] == [
        ("wsgi_app", "call"), ("wsgi_app", "return"),
    ]  # fmt: skip


def test_failing_saves_are_logged_once_and_the_responses_stay(tmp_path, vexo_warnings):
    (tmp_path / "file").write_text("")
    settings = Settings(db_path=str(tmp_path / "file" / "db.sqlite3"))
    app = VexoMiddleware(wsgi_app, settings=settings)
    for _ in range(3):
        assert call_wsgi(app, "/hello/ada") == (["200 OK"], b"hello ada 0\nhello ada 1\n")
        vexo.db.flush()
    (warning,) = vexo_warnings
    message = warning.getMessage()
    assert message.startswith("vexo: cannot create the folder of") and "; lost trc_" in message
    assert "(wsgi GET /hello/ada)" in message


def test_a_thread_traced_already_is_left_alone(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    app = VexoMiddleware(wsgi_app, settings=Settings(db_path=str(db_path)))
    sys.setprofile(lambda frame, event, arg: None)
    try:
        assert call_wsgi(app, "/hello/ada")[1] == b"hello ada 0\nhello ada 1\n"
    finally:
        sys.setprofile(None)
    assert not db_path.exists()


def test_wsgi_path_is_shown_as_text():
    from vexo.integrations.wsgi import _wsgi_source

    environ = {"REQUEST_METHOD": "GET", "SCRIPT_NAME": "/app", "PATH_INFO": "/caf\xc3\xa9"}
    assert _wsgi_source(environ) == "wsgi GET /app/café"
    assert _wsgi_source({}) == "wsgi GET /"


CONCURRENT = textwrap.dedent(
    """
    import sys, threading, wsgiref.util
    import msgpack
    from vexo.config import Settings
    from vexo.db import list_traces, load_trace
    from vexo.middleware import VexoMiddleware

    REQUESTS = 4
    inside = threading.Barrier(REQUESTS)

    def handle(tag):
        inside.wait(timeout=30)  # every request is being traced at this moment
        return tag * 2

    def app(environ, start_response):
        result = handle(int(environ["PATH_INFO"].strip("/")))
        start_response("200 OK", [])
        return [str(result).encode()]

    wrapped = VexoMiddleware(app, settings=Settings(db_path=sys.argv[1]))

    def serve(tag):
        environ = {"PATH_INFO": f"/{tag}"}
        wsgiref.util.setup_testing_defaults(environ)
        body = wrapped(environ, lambda *args: None)
        assert b"".join(body) == str(tag * 2).encode()
        body.close()

    threads = [threading.Thread(target=serve, args=(tag,)) for tag in range(REQUESTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    sources = set()
    for summary in list_traces(sys.argv[1]):
        tag = int(summary.source.rpartition("/")[2])
        sources.add(summary.source)
        document = msgpack.unpackb(load_trace(sys.argv[1], summary.trace_id))
        records = document["frames_of_interest"]
        handled = [(r["event"], r["locals"] if r["event"] == "call" else r["arg"])
                   for r in records if r.get("co_name") == "handle"]
        assert handled == [("call", {"tag": tag}), ("return", tag * 2)], handled
        assert {r["thread_native_id"] for r in records} == {records[0]["thread_native_id"]}
    assert sources == {f"wsgi GET /{tag}" for tag in range(REQUESTS)}, sources
    print("ok")
    """
)


def test_concurrent_requests_each_get_their_own_trace(tmp_path):
    # A file, not -c: the tracer leaves code compiled from strings out.
    (tmp_path / "serve.py").write_text(CONCURRENT)
    result = subprocess.run(
        [sys.executable, str(tmp_path / "serve.py"), str(tmp_path / "db.sqlite3")],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr


# Django


def price(order_id):
    return order_id * 10


def describe(order_id, total):
    return {"order": order_id, "total": total}


def order_view(request, order_id):
    return JsonResponse(describe(order_id, price(order_id)))


def chunks(count):
    for index in range(count):
        yield f"{price(index)};"


def broken_view(request):
    return price(None) + 1


def stream_view(request):
    return StreamingHttpResponse(chunks(3))


urlpatterns = [
    path("orders/<int:order_id>/", order_view),
    path("stream/", stream_view),
    path("broken/", broken_view),
]


@pytest.fixture(scope="module")
def django_app():
    if not django_settings.configured:
        django_settings.configure(
            DEBUG=False,
            SECRET_KEY="vexo-tests",
            ALLOWED_HOSTS=["testserver"],
            ROOT_URLCONF=__name__,
            MIDDLEWARE=["vexo.middleware.VexoDjangoMiddleware"],
            INSTALLED_APPS=[],
            DATABASES={},
        )
        django.setup()


def test_django_request_is_one_trace(tmp_path, django_app):
    db_path = tmp_path / "django.sqlite3"
    with override_settings(VEXO={"db": str(db_path), "lightweight-repr": True}):
        response = Client().get("/orders/7/")
    assert response.status_code == 200 and response.json() == {"order": 7, "total": 70}

    ((summary, document),) = stored(db_path)
    assert summary.source == "django GET /orders/7/"
    assert summary.outcome == "200" and ended(document)["status"] == 200
    records = frames(document)
    assert all(r["path"].rpartition(":")[0].endswith("test_middleware.py") for r in records)
    calls, returns = by_event(records, "call"), by_event(records, "return")
    assert set(calls) == {"order_view", "describe", "price"}
    assert calls["order_view"]["locals"]["order_id"] == 7
    request = calls["order_view"]["locals"]["request"]
    assert request["__class__"] == "django.core.handlers.wsgi.WSGIRequest"
    assert request["path"] == "/orders/7/"
    assert returns["price"]["arg"] == 70
    assert calls["describe"]["locals"] == {"order_id": 7, "total": 70}
    assert returns["describe"]["arg"] == {"order": 7, "total": 70}
    assert returns["order_view"]["arg"]["__class__"] == "django.http.response.JsonResponse"
    assert calls["price"]["user_code_call_site"]["call_frame_id"] == calls["order_view"]["frame_id"]


def test_django_requests_credentials_never_reach_the_store(tmp_path, django_app):
    db_path = tmp_path / "django.sqlite3"
    with override_settings(VEXO={"db": str(db_path)}):
        response = Client().get("/orders/7/", **CREDENTIALS)
    assert response.status_code == 200
    document = assert_no_credentials(db_path)
    calls = by_event(frames(document), "call")
    request = calls["order_view"]["locals"]["request"]
    assert request["path"] == "/orders/7/" and calls["order_view"]["locals"]["order_id"] == 7


def test_django_request_answered_with_a_server_error_failed(tmp_path, django_app):
    db_path = tmp_path / "django.sqlite3"
    with override_settings(VEXO={"db": str(db_path)}):
        response = Client(raise_request_exception=False).get("/broken/")
    assert response.status_code == 500
    ((summary, document),) = stored(db_path)
    assert (summary.source, summary.outcome) == ("django GET /broken/", "500")
    assert ended(document) == {"outcome": "500", "status": 500}
    assert list_traces(db_path, failed=True) == [summary]


def test_django_streaming_response_is_traced_to_its_end(tmp_path, django_app):
    db_path = tmp_path / "django.sqlite3"
    with override_settings(VEXO={"db": str(db_path)}):
        response = Client().get("/stream/")
        assert b"".join(response.streaming_content) == b"0;10;20;"
    ((summary, document),) = stored(db_path)
    assert summary.source == "django GET /stream/"
    returns = [
        r["arg"] for r in frames(document) if r["co_name"] == "price" and r["event"] == "return"
    ]
    assert returns == [0, 10, 20]


def test_django_streaming_response_left_unread_is_still_saved(tmp_path, django_app):
    db_path = tmp_path / "django.sqlite3"
    with override_settings(VEXO={"db": str(db_path)}):
        for url in ["/orders/1/", "/stream/", "/orders/2/"]:
            Client().get(url)
        gc.collect()  # the test client's responses are in reference cycles
    sources = sorted(summary.source for summary, _ in stored(db_path))
    assert sources == ["django GET /orders/1/", "django GET /orders/2/", "django GET /stream/"]


CLOSED_ELSEWHERE = textwrap.dedent(
    """
    import sys, threading, wsgiref.util
    from vexo.config import Settings
    from vexo.db import list_traces
    from vexo.middleware import VexoMiddleware
    from vexo.profiler import thread_tracer

    def app(environ, start_response):
        start_response("200 OK", [])
        return [b"x"]

    wrapped = VexoMiddleware(app, settings=Settings(db_path=sys.argv[1]))

    def request(path):
        environ = {"PATH_INFO": path}
        wsgiref.util.setup_testing_defaults(environ)
        return wrapped(environ, lambda *args: None)

    body = request("/first")
    closer = threading.Thread(target=body.close)
    closer.start()
    closer.join()
    assert thread_tracer() is not None  # still the first request's tracer
    request("/second").close()
    assert thread_tracer() is None
    print(sorted(summary.source for summary in list_traces(sys.argv[1])))
    """
)


def test_a_body_closed_on_another_thread_still_saves_and_frees_the_thread(tmp_path):
    (tmp_path / "serve.py").write_text(CLOSED_ELSEWHERE)
    result = subprocess.run(
        [sys.executable, str(tmp_path / "serve.py"), str(tmp_path / "db.sqlite3")],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['wsgi GET /first', 'wsgi GET /second']\n"
