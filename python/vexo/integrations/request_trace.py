"""What the web middleware traces a request with (see `vexo.integrations.wsgi` and
`vexo.integrations.asgi`): the request's profiler, on the thread that serves it or in the
request's context, how the request ended, and the response body whose end ends the trace."""

from __future__ import annotations

import logging
import threading
import weakref
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator
from typing import Any

from vexo.config import Settings
from vexo.recording.profiler import (
    ContextTraces,
    Profiler,
    context_trace,
    end_request,
    is_context_router,
    thread_tracer,
)
from vexo.recording.runs import start_server_run

__all__ = [
    "ContextRequestTrace",
    "RequestTrace",
    "RequestTracing",
    "TracedBody",
    "error_text",
    "status_code",
    "traced_chunks",
]

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
        self.config = settings.profiler_config(threading=False)
        self.context_traces: ContextTraces | None = None  # made at the first request it serves

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

    def _context_traces(self) -> ContextTraces:
        if self.context_traces is None:
            self.context_traces = ContextTraces(self.config, db_path=self.settings.db_path)
        return self.context_traces

    def begin_in_context(self, source: str) -> ContextRequestTrace | None:
        """Starts tracing the current context (a request's task on an event loop); None when it
        or its thread is traced already, or tracing fails."""
        if context_trace() is not None:
            return None
        hook = thread_tracer()
        if hook is not None and not is_context_router(hook):
            return None
        start_server_run(self.settings)
        try:
            traces = self._context_traces()
            native, token, trace_id = traces.begin(source)
        except Exception:
            logger.warning("vexo: cannot trace %s", source, exc_info=True)
            return None
        return ContextRequestTrace(native, token, trace_id, source, traces.db_path)


class _Trace:
    """What the trace of a request knows of how the request went."""

    def __init__(self, trace_id: str, source: str, db_path: str) -> None:
        self.trace_id = trace_id
        self.source = source
        self.db_path = db_path
        self.finished = False
        self.status: int | None = None
        self.error: str | None = None

    def failed(self, error: BaseException) -> None:
        """Notes the exception that escaped the application."""
        self.error = error_text(error)

    def _end_request(self, native: Any) -> None:
        """Records how the request ended ("end_request") as the last record of the trace that
        `native` records on the calling thread; a failure there loses that record only."""
        try:
            # An app may send an int subclass (http.HTTPStatus): the record holds the plain
            # number, read without the subclass's own code.
            status = None if self.status is None else int.__int__(self.status)
            outcome = "error" if self.error is not None else str(status)
            end_request(native, outcome, status, self.error)
        except Exception:
            logger.warning("vexo: cannot record how %s ended", self.source, exc_info=True)

    def _warn_unsaved(self) -> None:
        """A trace that cannot be saved is the server's log's concern, not the app's."""
        logger.warning(
            "vexo: cannot save trace %s of %s in %s",
            self.trace_id,
            self.source,
            self.db_path,
            exc_info=True,
        )


class RequestTrace(_Trace):
    """The profiler of one request, started on the serving thread."""

    def __init__(self, profiler: Profiler) -> None:
        super().__init__(profiler.trace_id, profiler.source, profiler.db_path)
        self.profiler = profiler
        self.thread = threading.get_ident()
        self.lock = threading.Lock()

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
                self._end_request(self.profiler.rust_profiler)
            # The monitoring backend stays armed for the next request (`release_backend()`).
            self.profiler.stop(release=False)
        else:
            # A server that closes the body on another thread: the serving thread keeps its hook
            # until its next request replaces it, and what it records meanwhile is dropped.
            logger.debug("vexo: %s finished on another thread", self.source)
        try:
            self.profiler.save()
        except Exception:
            self._warn_unsaved()


class ContextRequestTrace(_Trace):
    """The native profiler of one request, recording the request's context."""

    def __init__(self, native: Any, token: Any, trace_id: str, source: str, db_path: str) -> None:
        super().__init__(trace_id, source, db_path)
        self.native = native
        self.token = token

    def finish(self) -> None:
        """Ends the trace and saves it; only the first call counts."""
        if self.finished:
            return
        self.finished = True
        if self.error is None and self.status is None:
            self.error = "no response"
        try:
            self._end_request(self.native)
            ContextTraces.end(self.native, self.token)
            self.native.save_request_in_db()
        except Exception:
            self._warn_unsaved()


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


def status_code(status: object) -> int | None:
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


async def traced_chunks(
    chunks: AsyncIterable[Any], trace: ContextRequestTrace
) -> AsyncIterator[Any]:
    """A streaming response's chunks, passed through; the trace ends after the last, or when
    they raise or are abandoned."""
    try:
        async for chunk in chunks:
            yield chunk
    except BaseException as error:
        trace.failed(error)
        raise
    finally:
        trace.finish()
