"""vexo: records what a Python application does while it serves a request or runs a test."""

from vexo.recording.profiler import Profiler
from vexo.version import __version__

__all__ = ["Profiler", "__version__"]
