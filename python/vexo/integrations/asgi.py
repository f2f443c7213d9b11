"""ASGI middleware: one trace per HTTP request, even when many requests share one event loop.

    from vexo.middleware import VexoASGIMiddleware
    app = VexoASGIMiddleware(app)        # FastAPI, Starlette, Django's ASGI handler, any ASGI 3 app

On an event loop every request's coroutines run interleaved on one thread, so a request is not
traced per thread as under WSGI: its trace follows the request's context (a context variable set
for the request's task, see `Profiler.start_in_context`). Whatever runs in that context is
recorded into it, on whichever thread: the request's own coroutines, the tasks it creates, and
the work it hands to threads with a copy of its context (`asyncio.to_thread`,
`loop.run_in_executor` under `contextvars.copy_context().run`). Everything else on the loop's
thread, the server's own code and the other requests, stays out of it.

A trace lasts from the moment the middleware is called until the application returns: to the last
chunk of a streaming response, and through the background tasks that Starlette runs after the
response. Its source names the request, "asgi GET /orders/7" (the query string is left out, since
it often carries tokens), and how the request ended ends it, as the record "end_request" (see
`vexo.recording.profiler.end_request`): the status code sent, the exception that escaped the
application (also a cancellation), "client disconnected" when the client left before the response
was complete, "no response" when the application returned without sending one. Lifespan and
websocket connections are passed through untouched.

A request is served untraced when its context is traced already (the Django middleware behind
this one) or its thread has a profile hook that is not vexo's (a debugger, a profiler), or a
whole-thread vexo trace (`vexo run`, `pytest --vexo`), which then records it as before.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from vexo.config import Settings, load_settings
from vexo.integrations.request_trace import ContextRequestTrace, RequestTracing

__all__ = ["VexoASGIMiddleware"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]


class VexoASGIMiddleware:
    """ASGI 3 middleware tracing each HTTP request into one trace."""

    def __init__(self, app: Callable[..., Awaitable[None]], *, settings: Settings | None = None):
        self.app = app
        self.settings = settings if settings is not None else load_settings()
        self.tracing = RequestTracing(self.settings)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get("type") != "http":
            return await self.app(scope, receive, send)
        trace = self.tracing.begin_in_context(_asgi_source(scope))
        if trace is None:
            return await self.app(scope, receive, send)
        exchange = Exchange(trace, receive, send)
        try:
            await self.app(scope, exchange.receive, exchange.send)
        except BaseException as error:
            trace.failed(error)
            raise
        finally:
            trace.finish()


class Exchange:
    """The request's messages, passed through, watched for the status sent, the response's end
    and a client that leaves before it."""

    def __init__(self, trace: ContextRequestTrace, receive: Receive, send: Send) -> None:
        self.trace = trace
        self.received = receive
        self.sent = send
        self.complete = False

    async def receive(self) -> Message:
        message = await self.received()
        if message.get("type") == "http.disconnect" and not self.complete:
            if self.trace.error is None:
                self.trace.error = "client disconnected"
        return message

    async def send(self, message: Message) -> None:
        kind = message.get("type")
        if kind == "http.response.start":
            status = message.get("status")
            self.trace.status = status if isinstance(status, int) else None
        elif kind == "http.response.body" and not message.get("more_body", False):
            self.complete = True
        await self.sent(message)


def _asgi_source(scope: Scope) -> str:
    method = scope.get("method", "GET")
    path = scope.get("path") or "/"
    return f"asgi {method} {path}"
