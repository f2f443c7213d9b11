"""The profiler object: what a program hands to the native tracer to start recording.

The tracer reads the attributes `config`, `db_path`, `one_trace_per_test`, `trace_id` and
`source` once, when `start()` registers it, and puts its native counterpart into
`rust_profiler`, through which `build()` and `save()` reach the recorded trace.

Configuration keys the tracer reads: "filters" ({"include_frames": [...], "ignore_frames": [...]},
path fragments), "sqlite_busy_timeout" (seconds, default 60), "threading" (also trace threads
started later), "values" ("safe", the default: bounded dumps that never run the program's code,
an object already written in the trace as a reference to that dump; "repr": bounded, with repr()
of objects; "full": whole values with repr()), "lightweight_repr" (shorter value dumps still),
"plugins" (see `vexo.plugins`), "scrub" (default true), "scrub_names" and "scrub_patterns" (see
`vexo.values.scrub`: the process's rules become this profiler's when it starts) and "backend":
how the tracer is driven, "profile" (a per-thread profile hook), "monitoring" (the interpreter's
monitoring interface, from Python 3.12 on) or "auto" (the default: monitoring where the
interpreter has it).
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Mapping
from typing import Any

from vexo.common.ids import new_trace_id
from vexo.store.locations import absolute

__all__ = [
    "BACKENDS",
    "DEFAULT_DB_PATH",
    "ContextTraces",
    "Profiler",
    "choose_backend",
    "default_db_path",
    "end_request",
    "release_backend",
]

BACKENDS = ("auto", "monitoring", "profile")

DEFAULT_DB_PATH = os.path.join(".vexo", "db.sqlite3")


def default_db_path() -> str:
    """The database under the current directory, as an absolute path."""
    return os.path.join(os.getcwd(), DEFAULT_DB_PATH)


def choose_backend(requested: object) -> str:
    """The backend that `requested` ("auto", "monitoring" or "profile") runs on this interpreter."""
    if requested not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, not {requested!r}")
    has_monitoring = sys.version_info >= (3, 12)
    if requested == "monitoring" and not has_monitoring:
        raise ValueError("the monitoring backend needs Python 3.12 or later")
    if requested == "auto":
        return "monitoring" if has_monitoring else "profile"
    return str(requested)


def context_trace() -> Any:
    """The native profiler of the trace that records the current context, or None."""
    contexts = _tracer("contexts")
    native = contexts.trace.get(None)
    return native if native is not None and native is not contexts.router else None


def is_context_router(hook: Any) -> bool:
    """Whether a thread's profile function is the one the profile hook serves context traces
    through: it records nothing of its own."""
    return hook is not None and hook is _tracer("contexts").router


def thread_tracer() -> Any:
    """What traces the calling thread: its profile function, else the native profiler bound to
    it by the monitoring backend, else None."""
    hook = sys.getprofile()
    if hook is None and sys.version_info >= (3, 12):
        return _tracer("monitoring").thread_profiler()
    return hook


class Profiler:
    """Records the calls and returns of the program's own code while started.

    Tracing starts on the calling thread (and, with the configuration's "threading" set, on the
    threads started later) and stops on the thread that calls `stop()`.
    """

    # Set by the native tracer when the profiler is registered.
    rust_profiler: Any = None

    def __init__(
        self,
        config: Mapping[str, Any] | None = None,
        *,
        db_path: str | os.PathLike[str] | None = None,
        one_trace_per_test: bool = False,
        trace_id: str | None = None,
        source: str = "script",
    ) -> None:
        self.config: dict[str, Any] = dict(config or {})
        # The package's default; a profiler object without the key gets the tracer's plain dumps.
        self.config.setdefault("values", "safe")
        # Fixed now, so that a program changing its directory does not move the database.
        self.db_path: str = absolute(db_path) if db_path is not None else default_db_path()
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id: str = trace_id if trace_id is not None else new_trace_id()
        if not isinstance(self.trace_id, str):
            raise TypeError(f"trace_id must be a str, not {type(self.trace_id).__name__}")
        if not isinstance(source, str):
            raise TypeError(f"source must be a str, not {type(source).__name__}")
        self.source = source
        self._set_threading_profile = False
        self._threading_hook: Any = None
        # The backend that start() chose, and whether the threading hook is ours to remove.
        self.backend: str | None = None

    def __call__(self, frame: Any, event: str, arg: Any) -> None:
        """The tracer needs a callable; the recording itself is native."""
        return None

    def __repr__(self) -> str:
        return f"<vexo Profiler {self.trace_id} source={self.source!r} db={self.db_path!r}>"

    @property
    def started(self) -> bool:
        return self.rust_profiler is not None

    def start(self) -> Profiler:
        """Starts tracing the calling thread (and later threads, if configured)."""
        self._check_plugins()
        backend = choose_backend(self.config.get("backend", "auto"))
        # Imported here: a program that only imports the package pays nothing for it.
        from vexo.values.scrub import configure_from

        configure_from(self.config)
        _tracer(backend).register_profiler(self)
        self.backend = backend
        self._set_threading_profile = self.config.get("threading") is True
        self._threading_hook = _threading_profile() if self._set_threading_profile else None
        return self

    def start_in_context(self) -> Any:
        """Starts recording the current context instead of the calling thread: the task that
        calls this, and what it hands a copy of its context to (asyncio.to_thread, a task it
        creates), on whichever thread that runs. Returns the token for `stop_in_context`.

        With the profile hook, a thread is seen only if it has no other hook: the calling thread
        and the threads started later get one that records nothing but context traces."""
        self._check_plugins()
        backend = choose_backend(self.config.get("backend", "auto"))
        contexts = _tracer("contexts")
        contexts.start(self, backend == "monitoring")
        self.backend = backend
        return contexts.trace.set(self.rust_profiler)

    def stop_in_context(self, token: Any) -> None:
        """Ends what `start_in_context` began: from now on nothing is recorded into this trace,
        even in the tasks and threads that still hold a copy of its context."""
        _tracer("contexts").end(self._native(), token)

    def stop(self, *, release: bool = True) -> None:
        """Stops tracing the calling thread; threads traced since they started keep their hook
        until they end, but no thread started from now on is traced.

        Once no thread is traced, the monitoring backend gives its events and tool id back to the
        interpreter. `release=False` keeps them armed for the next profiler instead, as a server
        that traces each request does (see `release_backend`).
        """
        native = _tracer(self.backend or "profile")
        if release or self.backend != "monitoring":
            native.register_noop_profiler()
        else:
            native.register_noop_profiler(keep_armed=True)
        if self._set_threading_profile:
            self._set_threading_profile = False
            if _threading_profile() is self._threading_hook:
                threading.setprofile(None)  # type: ignore[arg-type]
            self._threading_hook = None

    def _check_plugins(self) -> None:
        if self.config.get("plugins"):
            # The tracer only reports that loading failed; this raises the error that says why,
            # from the function the tracer calls.
            from vexo.plugins import load_plugin_data

            load_plugin_data(self.config)

    def build(self) -> bytes:
        """The MessagePack trace document of the records so far; they are taken out of the
        profiler."""
        return self._native().build_trace()

    def save(self, *, wait: bool = False) -> None:
        """Stores the records so far as one trace in the database, under `trace_id`.

        The trace is queued for the process's writer thread. With `wait`, this returns once the
        trace is stored, and raises `vexo.db.DatabaseError` if it cannot be, keeping the records
        for another save.
        """
        if not wait:
            self._native().save_request_in_db()
            return
        from vexo.db import saves_waited

        with saves_waited():
            self._native().save_request_in_db()

    def _native(self) -> Any:
        if self.rust_profiler is None:
            raise RuntimeError("the profiler has not been started")
        return self.rust_profiler

    def __enter__(self) -> Profiler:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


class ContextTraces:
    """Starts traces that record the current context, one after another, under a configuration
    read once: a server's request traces. Each starts with one native call, where a Profiler
    would read its configuration and load its plugins again (see `Profiler.start_in_context`).
    The traces share their plugins' contexts, so plugins that build one per trace
    ("build_context") are refused."""

    def __init__(self, config: Mapping[str, Any], *, db_path: str | os.PathLike[str]) -> None:
        # Checked now: a bad plugin description raises here, once, rather than at each request.
        from vexo.plugins import load_plugin_data

        if any(description.get("build_context") for description in load_plugin_data(config)):
            raise ValueError("plugins that build a context per trace need a Profiler per trace")
        self.config = config
        self.db_path = absolute(db_path)
        self.monitoring = choose_backend(config.get("backend", "auto")) == "monitoring"
        self._model: Any = None
        self._pid = 0

    def begin(self, source: str) -> tuple[Any, Any, str]:
        """Starts a trace of the current context: its native profiler, the token that `end`
        takes, and its trace id."""
        contexts = _tracer("contexts")
        if self._pid != os.getpid():  # a forked server's worker has a main thread of its own
            self._model = contexts.prepare(Profiler(self.config, db_path=self.db_path))
            self._pid = os.getpid()
        return contexts.begin(self._model, source, self.monitoring)

    @staticmethod
    def end(native: Any, token: Any) -> None:
        """Ends what `begin` started (see `Profiler.stop_in_context`)."""
        _tracer("contexts").end(native, token)


def end_request(native: Any, outcome: str, status: int | None, error: str | None) -> None:
    """Adds the record "end_request" (how a web request ended: its outcome, the status code as
    text or "error", with the status code and the error) to the trace that the native profiler
    records on the calling thread, as a plugin record. The middleware's trace ends with it."""
    _tracer("contexts").end_request(native, outcome, status, error)


def release_backend() -> None:
    """Gives back what `Profiler.stop(release=False)` kept armed: now if no thread is traced,
    else when the last one stops. Interpreter exit and a fork child do the same."""
    if "vexo._vexo_monitoring" in sys.modules:
        sys.modules["vexo._vexo_monitoring"].release()


def _tracer(backend: str = "profile") -> Any:
    """The native tracer of a backend: vexo._vexo, or the monitoring module that it makes and
    that shares its core ("contexts": its module of context traces). A server asks for it
    several times per request: once loaded, it is a look-up."""
    try:
        return _tracers[backend]
    except KeyError:
        pass
    _import_what_the_tracer_calls()
    if backend == "monitoring":
        from vexo import _vexo_monitoring as native
    elif backend == "contexts":
        from vexo import _vexo_contexts as native
    else:
        from vexo import _vexo as native
    _tracers[backend] = native
    return native


_tracers: dict[str, Any] = {}


def _import_what_the_tracer_calls() -> None:
    """The tracer takes the modules it calls from sys.modules once they are there: imported
    before any thread is traced, none can be met half imported."""
    import inspect  # noqa: F401
    import logging  # noqa: F401

    from vexo import _vexo, db, git, plugins, serialize, version  # noqa: F401


def _threading_profile() -> Any:
    getter = getattr(threading, "getprofile", None)  # from Python 3.12 on
    if getter is not None:
        return getter()
    return getattr(threading, "_profile_hook", None)
