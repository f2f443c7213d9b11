"""The profiler object: what a program hands to the native tracer to start recording.

The tracer reads the attributes `config`, `db_path`, `one_trace_per_test`, `trace_id` and
`source` once, when `start()` registers it, and puts its native counterpart into
`rust_profiler`, through which `build()` and `save()` reach the recorded trace.

Configuration keys the tracer reads: "filters" ({"include_frames": [...], "ignore_frames": [...]},
path fragments), "sqlite_busy_timeout" (seconds, default 60), "threading" (also trace threads
started later), "values" ("safe", the default: bounded dumps that never run the program's code;
"repr": bounded, with repr() of objects; "full": whole values with repr()), "lightweight_repr"
(shorter value dumps still) and "plugins" (see `vexo.plugins`).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping
from typing import Any

import vexo
from vexo.utils import new_trace_id

__all__ = ["DEFAULT_DB_PATH", "Profiler", "default_db_path"]

DEFAULT_DB_PATH = os.path.join(".vexo", "db.sqlite3")


def default_db_path() -> str:
    """The database under the current directory, as an absolute path."""
    return os.path.join(os.getcwd(), DEFAULT_DB_PATH)


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
        # Fixed now, so that a program changing its directory does not move the database.
        self.db_path: str = os.path.abspath(
            os.fsdecode(db_path) if db_path is not None else default_db_path()
        )
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id: str = trace_id if trace_id is not None else new_trace_id()
        if not isinstance(self.trace_id, str):
            raise TypeError(f"trace_id must be a str, not {type(self.trace_id).__name__}")
        if not isinstance(source, str):
            raise TypeError(f"source must be a str, not {type(source).__name__}")
        self.source = source
        self._set_threading_profile = False

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
        tracer = _tracer()
        if self.config.get("plugins"):
            # The tracer only reports that loading failed; this raises the error that says why.
            from vexo.plugins import load_plugin_data

            load_plugin_data(self.config)
        tracer.register_profiler(self)
        self._set_threading_profile = self.config.get("threading") is True
        return self

    def stop(self) -> None:
        """Stops tracing the calling thread; threads traced since they started keep their hook
        until they end, but no thread started from now on is traced."""
        _tracer().register_noop_profiler()
        if self._set_threading_profile:
            self._set_threading_profile = False
            if _threading_profile() == getattr(
                self.rust_profiler, "register_threading_profiler", 0
            ):
                threading.setprofile(None)  # type: ignore[arg-type]

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


def _tracer() -> Any:
    """The native tracer, vexo._vexo."""
    if not _imported:
        _import_what_the_tracer_calls()
    return vexo._vexo


_imported = False


def _import_what_the_tracer_calls() -> None:
    """The tracer takes the modules it calls from sys.modules once they are there: imported
    before any thread is traced, none can be met half imported."""
    global _imported
    import inspect  # noqa: F401
    import logging  # noqa: F401

    from vexo import _vexo, db, git, plugins, serialize, version  # noqa: F401

    _imported = True


def _threading_profile() -> Any:
    getter = getattr(threading, "getprofile", None)  # from Python 3.12 on
    if getter is not None:
        return getter()
    return getattr(threading, "_profile_hook", None)
