"""`vexo html`: the explorer as one self-contained HTML file holding one trace, its data and the
page's code inline, that works opened from file:// with no network.

The trace's values are data in a JSON script block that is never run; every "<", ">" and "&" in it
is escaped, so no recorded text can end the block. The page's policy lets run only the page's own
scripts (by hash) and forbids any connection. The file carries what `vexo serve` would answer the
page, worked out here: the kinds of trace, the timeline, each node's place among its siblings.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
from collections.abc import Callable
from typing import Any

from vexo.db import KINDS
from vexo.explore import viewer_files
from vexo.trace.index import TraceIndex

__all__ = ["DEFAULT_MAX_SIZE", "TooLarge", "render_html"]

DEFAULT_MAX_SIZE = 64 << 20


class TooLarge(Exception):
    """Even the call tree without any values is over the size limit."""


def render_html(
    index: TraceIndex,
    summary: dict[str, Any],
    max_size: int = DEFAULT_MAX_SIZE,
    progress: Callable[[int, int], None] | None = None,
) -> tuple[str, int]:
    """(the HTML text, how many calls' values were left out to stay under max_size bytes)."""
    data, left_out = _data(index, summary, max_size, progress)
    if left_out:
        data["header"] = {
            **data["header"],
            "cut": f"the values of {left_out} of {len(index)} nodes were left out of this file",
        }
    payload = _script_safe(json.dumps(data, separators=(",", ":"), default=str))
    return _page(payload), left_out


def _data(
    index: TraceIndex,
    summary: dict[str, Any],
    max_size: int,
    progress: Callable[[int, int], None] | None,
) -> tuple[dict[str, Any], int]:
    count = len(index)
    nodes = [index.summary(n) for n in range(count)]
    children = [index.children.get(n) for n in range(count)]
    names = [index.searchable("name", n) for n in range(count)]
    timeline = index.timeline()
    positions = index.positions()
    used = sum(map(_json_size, (nodes, children, names, timeline, positions))) + 8 * count
    if used > max_size:
        raise TooLarge(
            f"the call tree alone takes {used >> 20} MiB, over the limit of {max_size >> 20} MiB"
        )
    details: list[Any] = [None] * count
    values = [""] * count
    left_out = 0
    for number in range(count):
        if progress is not None:
            progress(number, count)
        detail = index.detail(number)
        value = index.searchable("value", number)
        cost = _json_size(detail) + _json_size(value)
        if used + cost > max_size:
            left_out += 1
            continue
        used += cost
        details[number] = detail
        values[number] = value
    data = {
        "header": index.header,
        "kinds": list(KINDS),
        "summary": {**summary, "depth": 0},  # the only trace in the file: a family of its own
        "nodes": nodes,
        "children": children,
        "parents": index.parent,
        "positions": positions,
        "timeline": timeline,
        "details": details,
        "search": {"name": names, "value": values},
        "functions": index.function_table(),
    }
    return data, left_out


def _json_size(value: Any) -> int:
    return len(json.dumps(value, separators=(",", ":"), default=str))


def _script_safe(text: str) -> str:
    """JSON that no HTML parser can end early: the characters of markup escaped."""
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _page(payload: str) -> str:
    template = _text("index.html")
    style = _text("viewer.css")
    scripts = [_text(name) for name in viewer_files.scripts()]
    policy = (
        "default-src 'none'; img-src data:; connect-src 'none'; base-uri 'none'; "
        f"form-action 'none'; style-src {_hash(style)}; "
        f"script-src {' '.join(_hash(script) for script in scripts)}"
    )
    head = f'<meta http-equiv="Content-Security-Policy" content="{policy}">\n<style>{style}</style>'
    body = f'<script id="vexo-data" type="application/json">{payload}</script>\n' + "\n".join(
        f"<script>{script}</script>" for script in scripts
    )
    template = re.sub(r'<link rel="stylesheet"[^>]*>', lambda _: head, template)
    template = re.sub(r"(<script src=[^>]*></script>\n?)+", lambda _: body + "\n", template)
    return template


def _text(name: str) -> str:
    content = viewer_files.read(name)
    if content is None:
        raise FileNotFoundError(f"the package lacks its viewer file {name}")
    return content.decode("utf-8")


def _hash(text: str) -> str:
    digest = base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode("ascii")
    return f"'sha256-{digest}'"
