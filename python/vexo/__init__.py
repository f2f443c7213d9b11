"""vexo: records what a Python application does while it serves a request or runs a test."""

from vexo.version import __version__

__all__ = ["__version__"]
