"""vexo: records what a Python application does while it serves a request or runs a test."""

from vexo.version import __version__

__all__ = ["Profiler", "__version__"]


def __getattr__(name: str) -> object:
    # Loaded when asked for: every module of the package imports this one first, and most of
    # them (the command line, a traced child's start) have no use for the profiler.
    if name == "Profiler":
        from vexo.recording.profiler import Profiler

        return Profiler
    raise AttributeError(f"module 'vexo' has no attribute {name!r}")
