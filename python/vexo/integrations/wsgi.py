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
the record "end_request" (see `vexo.recording.profiler.end_request`): the status code the
application answered with, and the exception that escaped it, if one did. The server process is
one run (see `vexo.recording.runs`), from its first traced request to its exit. The save only
queues the trace for the process's writer thread (see `vexo.db`), so the response does not wait
for the database.

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

import os
from collections.abc import Callable, Iterable
from typing import Any

from vexo.config import Settings, load_settings
from vexo.integrations.request_trace import RequestTracing, TracedBody, status_code, traced_chunks

__all__ = ["VexoDjangoMiddleware", "VexoMiddleware"]


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
            trace.status = status_code(status)
            return start_response(status, headers, *exc_info)

        try:
            body = self.app(environ, start_traced_response)
        except BaseException as error:
            trace.failed(error)
            trace.finish()
            raise
        return TracedBody(body, trace)


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
        trace.status = _status_code_of(response)
        if getattr(response, "streaming", False) and not getattr(response, "is_async", False):
            response.streaming_content = TracedBody(
                response.streaming_content, trace, finish_on_error=True
            )
        else:
            trace.finish()
        return response

    async def call_async(self, request: Any) -> Any:
        trace = self.tracing.begin_in_context(f"django {request.method} {request.path}")
        if trace is None:
            return await self.get_response(request)
        try:
            response = await self.get_response(request)
        except BaseException as error:
            trace.failed(error)
            trace.finish()
            raise
        trace.status = _status_code_of(response)
        if not getattr(response, "streaming", False):
            trace.finish()
        elif getattr(response, "is_async", False):
            response.streaming_content = traced_chunks(response.streaming_content, trace)
        else:
            response.streaming_content = TracedBody(
                response.streaming_content, trace, finish_on_error=True
            )
        return response


def _status_code_of(response: Any) -> int | None:
    """A Django response's status code; None for a response object that has no int one."""
    status = getattr(response, "status_code", None)
    return status if isinstance(status, int) else None
