"""Web middleware: one trace per request, stored in the trace database.

    # WSGI
    from vexo.integrations.wsgi import VexoMiddleware
    application = VexoMiddleware(application)

    # Django: first in settings.MIDDLEWARE, so that it also sees the other middleware
    MIDDLEWARE = ["vexo.integrations.wsgi.VexoDjangoMiddleware", ...]

Each request is traced on the thread that serves it, from the moment the middleware is called
until the response body has been produced: until the body is used up, closed or dropped, whichever
comes first (test clients such as Flask's close the body only when used in a `with`), and saved
as one trace whose source names the request: "wsgi GET /orders/7" or "django GET /orders/7". The
query string is left out, since it often carries tokens. How the request ended ends the trace, as
the record "end_request" (see `vexo.recording.markers`): the status code the application answered
with, and the exception that escaped it, if one did. The server process is one run (see
`vexo.recording.runs`), from its first traced request to its exit. The save only queues the trace
for the process's writer thread (see `vexo.db`), so the response does not wait for the database.

The settings come from `[tool.vexo]` (see `vexo.config`), for Django with the dict setting `VEXO`
(same keys) on top. "threading" is never used here: it would make every thread started later
trace into the request that happened to start it.

With the monitoring backend, the interpreter's events stay on between requests (see "Backends"
in the README, and `vexo.profiler.release_backend()`): turning them off and on again at every
request would make the interpreter re-instrument the server's code each time.

A request is served untraced when its thread already has a profile hook (a tracer, profiler or
debugger, or an enclosing vexo trace such as a test traced by `pytest --vexo`), which the
middleware leaves alone. Tracing failures never break a response: they are logged as warnings on
the logger "vexo".
"""

from __future__ import annotations

import logging
import os
import threading
import weakref
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from vexo.config import Settings, load_settings
from vexo.recording.markers import _vexo_end_request
from vexo.recording.profiler import Profiler, thread_tracer
from vexo.recording.runs import start_server_run

__all__ = ["VexoDjangoMiddleware", "VexoMiddleware"]

logger = logging.getLogger("vexo")


class _LastTrace(threading.local):
    """Per thread: the native profiler of the thread's last request trace, whose hook may still
    be installed when a server closed the body on another thread."""

    native: Any = None


_last = _LastTrace()


class RequestTracing:
    """What a middleware traces its requests with: its settings, and the profiler configuration
    they give, made once rather than at every request."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.config = settings.profiler_config(threading=False, plugins=["request"])

    def begin(self, source: str) -> RequestTrace | None:
        """Starts tracing the calling thread; None when it is traced already or tracing fails."""
        hook = thread_tracer()
        if hook is not None and hook is not _last.native:
            return None
        start_server_run(self.settings)
        try:
            profiler = Profiler(self.config, db_path=self.settings.db_path, source=source)
            profiler.start()
        except Exception:
            logger.warning("vexo: cannot trace %s", source, exc_info=True)
            return None
        _last.native = profiler.rust_profiler
        return RequestTrace(profiler)


class RequestTrace:
    """The profiler of one request, started on the serving thread."""

    def __init__(self, profiler: Profiler) -> None:
        self.profiler = profiler
        self.thread = threading.get_ident()
        self.finished = False
        self.lock = threading.Lock()
        self.status: int | None = None
        self.error: str | None = None

    def failed(self, error: BaseException) -> None:
        """Notes the exception that escaped the application."""
        self.error = error_text(error)

    def finish(self) -> None:
        """Stops tracing and saves the trace; only the first call counts."""
        if self.finished:
            return  # the body used up, then closed: the usual second call needs no lock
        with self.lock:
            if self.finished:
                return
            self.finished = True
        if threading.get_ident() == self.thread:
            if self.error is not None or self.status is not None:
                outcome = "error" if self.error is not None else str(self.status)
                _vexo_end_request(outcome, self.status, self.error)
            # The monitoring backend stays armed for the next request (`release_backend()`).
            self.profiler.stop(release=False)
        else:
            # A server that closes the body on another thread: the serving thread keeps its hook
            # until its next request replaces it, and what it records meanwhile is dropped.
            logger.debug("vexo: %s finished on another thread", self.profiler.source)
        try:
            self.profiler.save()
        except Exception:
            logger.warning(
                "vexo: cannot save trace %s of %s in %s",
                self.profiler.trace_id,
                self.profiler.source,
                self.profiler.db_path,
                exc_info=True,
            )


class VexoMiddleware:
    """WSGI middleware tracing each request into one trace."""

    def __init__(self, app: Callable[..., Iterable[bytes]], *, settings: Settings | None = None):
        self.app = app
        self.settings = settings if settings is not None else load_settings()
        self.tracing = RequestTracing(self.settings)

    def __call__(self, environ: dict[str, Any], start_response: Callable[..., Any]):
        trace = self.tracing.begin(_wsgi_source(environ))
        if trace is None:
            return self.app(environ, start_response)

        def start_traced_response(status: str, headers: Any, *exc_info: Any) -> Any:
            trace.status = _status_code(status)
            return start_response(status, headers, *exc_info)

        try:
            body = self.app(environ, start_traced_response)
        except BaseException as error:
            trace.failed(error)
            trace.finish()
            raise
        return TracedBody(body, trace)


class TracedBody:
    """The application's response body, passed through; the trace ends when the body is used up,
    closed (as every WSGI server does) or dropped by a client that does neither. Also a Django
    streaming response's chunks, whose trace ends as well when they raise (Django's test client
    reads them only when asked)."""

    def __init__(self, body: Iterable[Any], trace: RequestTrace, *, finish_on_error: bool = False):
        self.body = body
        self.trace = trace
        self.finish_on_error = finish_on_error
        self.chunks: Iterator[Any] | None = None
        weakref.finalize(self, trace.finish)

    def __iter__(self) -> Iterator[Any]:
        self.chunks = iter(self.body)
        return self

    def __next__(self) -> Any:
        if self.chunks is None:
            self.chunks = iter(self.body)
        try:
            return next(self.chunks)
        except StopIteration:
            self.trace.finish()
            raise
        except Exception as error:
            self.trace.failed(error)
            if self.finish_on_error:
                self.trace.finish()
            raise

    def close(self) -> None:
        try:
            close = getattr(self.body, "close", None)
            if close is not None:
                close()
        finally:
            self.trace.finish()


def _status_code(status: object) -> int | None:
    """The code of a WSGI status line ("404 Not Found")."""
    code = str(status)[:3]
    return int(code) if code.isdigit() else None


def error_text(error: BaseException) -> str:
    """The exception as one short line; its own str() is the application's code and may fail."""
    try:
        message = str(error)
    except Exception:
        message = ""
    text = f"{type(error).__name__}: {message}" if message else type(error).__name__
    first = text.splitlines()[0] if text.strip() else type(error).__name__
    return first if len(first) <= 200 else first[:199] + "…"


def _wsgi_source(environ: dict[str, Any]) -> str:
    method = environ.get("REQUEST_METHOD", "GET")
    path = environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", "")
    # WSGI hands the path over as bytes decoded as latin-1; show the characters the client meant.
    try:
        path = path.encode("latin-1").decode("utf-8", "replace")
    except UnicodeEncodeError:
        pass
    return f"wsgi {method} {path or '/'}"


class VexoDjangoMiddleware:
    """Django middleware tracing each request into one trace; on Django's async path (an ASGI
    server) the trace follows the request's context, as `VexoASGIMiddleware`'s do."""

    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Callable[[Any], Any]) -> None:
        from asgiref.sync import iscoroutinefunction, markcoroutinefunction
        from django.conf import settings as django_settings

        self.get_response = get_response
        self.is_async = iscoroutinefunction(get_response)
        if self.is_async:
            markcoroutinefunction(self)
        settings = load_settings()
        overrides = getattr(django_settings, "VEXO", None)
        if overrides:
            settings = settings.updated(overrides, origin="settings.VEXO", base_dir=os.getcwd())
        self.settings = settings
        self.tracing = RequestTracing(settings)

    def __call__(self, request: Any) -> Any:
        if self.is_async:
            return self.call_async(request)
        trace = self.tracing.begin(f"django {request.method} {request.path}")
        if trace is None:
            return self.get_response(request)
        try:
            response = self.get_response(request)
        except BaseException as error:
            trace.failed(error)
            trace.finish()
            raise
        status = getattr(response, "status_code", None)
        trace.status = status if isinstance(status, int) else None
        if getattr(response, "streaming", False) and not getattr(response, "is_async", False):
            response.streaming_content = TracedBody(
                response.streaming_content, trace, finish_on_error=True
            )
        else:
            trace.finish()
        return response

    async def call_async(self, request: Any) -> Any:
        from vexo.integrations.asgi import begin_in_context, traced_chunks

        trace = begin_in_context(self.tracing, f"django {request.method} {request.path}")
        if trace is None:
            return await self.get_response(request)
        try:
            response = await self.get_response(request)
        except BaseException as error:
            trace.failed(error)
            trace.finish()
            raise
        status = getattr(response, "status_code", None)
        trace.status = status if isinstance(status, int) else None
        if not getattr(response, "streaming", False):
            trace.finish()
        elif getattr(response, "is_async", False):
            response.streaming_content = traced_chunks(response.streaming_content, trace)
        else:
            response.streaming_content = TracedBody(
                response.streaming_content, trace, finish_on_error=True
            )
        return response
