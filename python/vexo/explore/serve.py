"""`vexo serve`: the trace explorer as a local web app over the trace store, read-only.

The standard library's threaded HTTP server answers the page's own files and a small JSON API.
Each trace is indexed once per process and kept while the indexes held stay under a budget of
document bytes; the least recently used ones go first.
"""

from __future__ import annotations

import collections
import ipaddress
import json
import threading
import urllib.parse
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from vexo.db import (
    KINDS,
    AmbiguousTraceIdError,
    StoreError,
    TraceNotFoundError,
    count_traces,
    full_trace_id,
    last_passing,
    list_traces,
    load_trace,
)
from vexo.explore import viewer_files
from vexo.explore.compare import compare
from vexo.explore.family import in_family_order
from vexo.trace.index import TraceIndex
from vexo.trace.model import TraceFormatError
from vexo.trace.summary import failed

__all__ = ["ExplorerServer", "TraceCache"]

DEFAULT_PORT = 8765
# Documents whose indexes are kept; an index holds about two to four times its document.
DEFAULT_BUDGET = 256 << 20
PAGE_LIMIT = 1000
# The page runs only its own files; recorded values can never become code or fetch anything.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


class ApiError(Exception):
    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


class TraceCache:
    """Indexes of the traces asked for, each built once, within a budget of document bytes;
    `build` reads one (by default for the explorer, whose errors are answers to the page)."""

    def __init__(
        self,
        db_path: str,
        budget: int = DEFAULT_BUDGET,
        build: Callable[[str, str], TraceIndex] | None = None,
    ) -> None:
        self.db_path = db_path
        self.budget = budget
        self.build = _build if build is None else build
        self._indexes: collections.OrderedDict[str, TraceIndex] = collections.OrderedDict()
        self._lock = threading.Lock()
        self._building: dict[str, threading.Lock] = {}

    def get(self, trace_id: str) -> TraceIndex:
        with self._lock:
            index = self._indexes.get(trace_id)
            if index is not None:
                self._indexes.move_to_end(trace_id)
                return index
            building = self._building.setdefault(trace_id, threading.Lock())
        with building:  # one build per trace, however many requests ask at once
            with self._lock:
                if trace_id in self._indexes:
                    return self._indexes[trace_id]
            index = self.build(self.db_path, trace_id)
            with self._lock:
                self._indexes[trace_id] = index
                self._building.pop(trace_id, None)
                self._evict()
            return index

    def _evict(self) -> None:
        held = sum(index.size for index in self._indexes.values())
        while len(self._indexes) > 1 and held > self.budget:
            _, index = self._indexes.popitem(last=False)
            held -= index.size


def _build(db_path: str, trace_id: str) -> TraceIndex:
    try:
        # A unique beginning of an id will do, as on the command line.
        document = load_trace(db_path, full_trace_id(db_path, trace_id))
    except (TraceNotFoundError, AmbiguousTraceIdError) as error:
        raise ApiError(HTTPStatus.NOT_FOUND, str(error)) from None
    except StoreError as error:
        raise ApiError(HTTPStatus.INTERNAL_SERVER_ERROR, str(error)) from None
    try:
        return TraceIndex(document)
    except TraceFormatError as error:
        raise ApiError(HTTPStatus.UNPROCESSABLE_ENTITY, f"trace {trace_id}: {error}") from None


class ExplorerServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, db_path: str, host: str = "127.0.0.1", port: int = DEFAULT_PORT) -> None:
        self.traces = TraceCache(db_path)
        self.db_path = db_path
        super().__init__((host, port), ExplorerHandler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        shown = f"[{host}]" if ":" in str(host) else host
        return f"http://{shown}:{port}/"


class ExplorerHandler(BaseHTTPRequestHandler):
    server: ExplorerServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # requests are not logged: a trace's ids and searches stay off the terminal

    def do_GET(self) -> None:  # noqa: N802
        if not self._host_allowed():
            self._send_json({"error": "unknown host"}, HTTPStatus.MISDIRECTED_REQUEST)
            return
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        parts = [urllib.parse.unquote(part) for part in url.path.split("/")[1:]]
        try:
            if parts[0] == "api":
                self._send_json(self._api(parts[1:], query))
            else:
                self._send_file(url.path)
        except ApiError as error:
            self._send_json({"error": str(error)}, error.status)
        except Exception as error:  # the server keeps serving whatever one request meets
            message = f"{type(error).__name__}: {error}"
            self._send_json({"error": message}, HTTPStatus.INTERNAL_SERVER_ERROR)

    def do_HEAD(self) -> None:  # noqa: N802
        self._refuse()

    def do_POST(self) -> None:  # noqa: N802
        self._refuse()

    do_PUT = do_DELETE = do_PATCH = do_POST  # noqa: N815

    def _refuse(self) -> None:
        self._send_json({"error": "read-only"}, HTTPStatus.METHOD_NOT_ALLOWED)

    def _host_allowed(self) -> bool:
        """Only a Host naming the served port on an address literal or localhost: a page from
        another site reaching this server through a DNS name of its own (DNS rebinding) is
        refused."""
        host = self.headers.get("Host", "")
        name, _, port = host.rpartition(":")
        if not name or port != str(self.server.server_address[1]):
            return False
        if name == "localhost":
            return True
        try:
            ipaddress.ip_address(name[1:-1] if name.startswith("[") else name)
        except ValueError:
            return False
        return True

    def _api(self, parts: list[str], query: dict[str, str]) -> Any:
        if parts == ["traces"]:
            return self._trace_list(query)
        if parts == ["kinds"]:
            return list(KINDS)
        if len(parts) == 2 and parts[0] == "last-passing":
            return self._last_passing(parts[1])
        if len(parts) == 3 and parts[0] == "compare":
            return compare(self.server.traces.get(parts[1]), self.server.traces.get(parts[2]))
        if len(parts) < 2 or parts[0] != "trace":
            raise ApiError(HTTPStatus.NOT_FOUND, "no such page")
        index = self.server.traces.get(parts[1])
        rest = parts[2:]
        try:
            return _trace_api(index, rest, query)
        except LookupError as error:
            raise ApiError(HTTPStatus.NOT_FOUND, str(error).strip("'\"")) from None
        except ValueError as error:
            raise ApiError(HTTPStatus.BAD_REQUEST, str(error)) from None

    def _last_passing(self, trace_id: str) -> dict[str, Any]:
        """The newest passing run of the trace's test or request stored before it."""
        try:
            passing = last_passing(
                self.server.db_path, full_trace_id(self.server.db_path, trace_id)
            )
        except (TraceNotFoundError, AmbiguousTraceIdError) as error:
            raise ApiError(HTTPStatus.NOT_FOUND, str(error)) from None
        except StoreError as error:
            raise ApiError(HTTPStatus.INTERNAL_SERVER_ERROR, str(error)) from None
        if passing is None:
            raise ApiError(HTTPStatus.NOT_FOUND, f"no passing run of {trace_id} stored before it")
        return {"trace_id": passing.trace_id}

    def _trace_list(self, query: dict[str, str]) -> dict[str, Any]:
        kind = query.get("kind") or None
        if kind is not None and kind not in KINDS:
            raise ApiError(HTTPStatus.BAD_REQUEST, f"kind is one of {', '.join(KINDS)}")
        text = query.get("text") or None
        # "failed" takes every failure: failed tests, tests in error, requests that failed.
        outcome = query.get("outcome") or None
        filters = {"kind": kind, "text": text, "failed": outcome == "failed"}
        filters["outcome"] = None if outcome == "failed" else outcome
        offset, limit = _number(query, "offset", 0), min(_number(query, "limit", 100), PAGE_LIMIT)
        try:
            total = count_traces(self.server.db_path, **filters)
            rows = list_traces(self.server.db_path, limit=limit, offset=offset, **filters)
        except StoreError as error:
            raise ApiError(HTTPStatus.INTERNAL_SERVER_ERROR, str(error)) from None
        # Each trace under the trace of the process that started it, when both are on the page.
        traces = [
            {**row._asdict(), "failed": failed(row.outcome), "depth": depth}
            for row, depth in in_family_order(rows)
        ]
        return {"total": total, "offset": offset, "traces": traces}

    def _send_file(self, path: str) -> None:
        name = "index.html" if path == "/" else path.removeprefix("/static/")
        content = viewer_files.read(name) if path == "/" or path.startswith("/static/") else None
        if content is None:
            raise ApiError(HTTPStatus.NOT_FOUND, "no such file")
        self._send(content, viewer_files.content_type(name))

    def _send_json(self, data: Any, status: HTTPStatus = HTTPStatus.OK) -> None:
        body = json.dumps(data, allow_nan=False, default=str).encode("ascii")
        self._send(body, "application/json", status)

    def _send(self, body: bytes, content_type: str, status: HTTPStatus = HTTPStatus.OK) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for header, value in SECURITY_HEADERS.items():
            self.send_header(header, value)
        self.end_headers()
        self.wfile.write(body)


def _trace_api(index: TraceIndex, rest: list[str], query: dict[str, str]) -> Any:
    if not rest:
        return index.header
    if rest == ["functions"]:
        return index.function_table()
    if rest == ["search"]:
        return index.search(query.get("q", ""), query.get("by", "name"))
    if rest == ["timeline"]:
        return index.timeline()
    if len(rest) == 2 and rest[0] in ("children", "node", "position"):
        node = _integer(rest[1])
        if rest[0] == "node":
            return index.detail(node)
        if rest[0] == "position":
            return index.position(node)
        limit = min(_number(query, "limit", 200), 5000)
        return index.children_page(node, _number(query, "offset", 0), limit)
    raise ApiError(HTTPStatus.NOT_FOUND, "no such page")


def _number(query: dict[str, str], name: str, default: int) -> int:
    return _integer(query[name]) if name in query else default


def _integer(text: str) -> int:
    if not text.isdigit() or len(text) > 12:
        raise ApiError(HTTPStatus.BAD_REQUEST, f"not a number: {text[:20]!r}")
    return int(text)


def serve(db_path: str, host: str, port: int, open_browser: bool, announce: Any) -> None:
    """Serves until interrupted; `announce` is told the address once it is listening."""
    server = ExplorerServer(db_path, host, port)
    announce(server.url)
    if open_browser:
        import webbrowser

        webbrowser.open(server.url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
