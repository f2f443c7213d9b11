"""The profiler object that a program hands to the tracer; written in `vexo.recording.profiler`."""

from vexo.recording.profiler import (
    BACKENDS,
    DEFAULT_DB_PATH,
    Profiler,
    choose_backend,
    default_db_path,
    release_backend,
    thread_tracer,
)

__all__ = [
    "BACKENDS",
    "DEFAULT_DB_PATH",
    "Profiler",
    "choose_backend",
    "default_db_path",
    "release_backend",
    "thread_tracer",
]
