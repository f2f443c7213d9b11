"""The explorer page's own files, shipped in the folder `viewer` beside this module: the server
hands out these and nothing else, and `vexo html` inlines them. The script tags of index.html are
the one list of the page's scripts, in the order they run: the server's page loads them from
there, and `vexo html` inlines them in that order."""

from __future__ import annotations

import functools
import importlib.resources
import re

__all__ = ["content_type", "read", "scripts"]

_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".png": "image/png",
}


@functools.cache
def _files() -> dict[str, bytes]:
    folder = importlib.resources.files("vexo.explore") / "viewer"
    return {
        entry.name: entry.read_bytes()
        for entry in folder.iterdir()
        if entry.is_file() and any(entry.name.endswith(ext) for ext in _TYPES)
    }


def read(name: str) -> bytes | None:
    """The file's bytes, or None for any name that is not one of the page's files."""
    return _files().get(name)


def content_type(name: str) -> str:
    return next(kind for ext, kind in _TYPES.items() if name.endswith(ext))


def scripts() -> list[str]:
    """The names of the page's scripts, in the order index.html loads them."""
    page = (read("index.html") or b"").decode("utf-8")
    return re.findall(r'<script src="/static/([\w.-]+)"></script>', page)
