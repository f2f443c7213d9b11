"""The compiled speed-ups, or None where they cannot be used."""

from __future__ import annotations

import os

__all__ = ["compiled"]


def _load_compiled():
    """vexo._speedups, the compiled counterparts of reference code written here in Python; None
    when it does not import or the environment sets VEXO_PURE_PYTHON=1."""
    if os.environ.get("VEXO_PURE_PYTHON") == "1":
        return None
    try:
        from vexo import _speedups
    except ImportError:
        return None
    return _speedups


compiled = _load_compiled()
