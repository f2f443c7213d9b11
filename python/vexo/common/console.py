"""vexo's own lines on the standard streams, whatever the program did to them."""

from __future__ import annotations

import contextlib
import sys

__all__ = ["STREAM_ERRORS", "flush_quietly", "say"]

# What using a standard stream raises once the program has closed it, replaced it by something
# odd, or deleted it.
STREAM_ERRORS = (OSError, ValueError, AttributeError)


def say(message: str) -> None:
    """One line of vexo's own on standard error, whatever the program did to it: nothing when
    the stream is closed, replaced by something odd, or gone."""
    with contextlib.suppress(*STREAM_ERRORS):
        sys.stderr.write(f"vexo: {message}\n")
        sys.stderr.flush()


def flush_quietly(*names: str) -> None:
    """Flushes the standard streams of these names ("stdout", "stderr") as far as they can be."""
    for name in names:
        with contextlib.suppress(*STREAM_ERRORS):
            getattr(sys, name).flush()
