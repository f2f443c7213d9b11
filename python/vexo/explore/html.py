"""The explorer as one self-contained HTML file holding one trace or several (`vexo html`, the
report of a test run), their data and the page's code inline, that works opened from file:// with
no network.

The traces' values are data in a JSON script block that is never run; every "<", ">" and "&" in it
is escaped, so no recorded text can end the block. The page's policy lets run only the page's own
scripts (by hash) and forbids any connection. The file carries what `vexo serve` would answer the
page, worked out here: the listing, the kinds of trace, each trace's timeline and each node's
place among its siblings.
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
from vexo.trace.summary import listed_source

__all__ = ["DEFAULT_MAX_SIZE", "TooLarge", "render_html"]

DEFAULT_MAX_SIZE = 64 << 20


class TooLarge(Exception):
    """Even the call trees without any values are over the size limit."""


def render_html(
    indexes: list[TraceIndex],
    max_size: int = DEFAULT_MAX_SIZE,
    progress: Callable[[int, int], None] | None = None,
) -> tuple[str, int]:
    """(the HTML text, how many calls' values were left out to stay under max_size bytes). The
    values go in trace by trace, in the order given, while they fit."""
    trees = [_tree(index) for index in indexes]
    used = sum(_json_size(tree) for tree in trees)
    if used > max_size:
        raise TooLarge(
            f"the call trees alone take {used >> 20} MiB, over the limit of {max_size >> 20} MiB"
        )
    count = sum(map(len, indexes))
    done = left_out = 0
    for index, tree in zip(indexes, trees, strict=True):
        used, cut = _put_values(index, tree, used, max_size, progress, (done, count))
        done += len(index)
        left_out += cut
    data = {"kinds": list(KINDS), "traces": trees}
    payload = _script_safe(json.dumps(data, separators=(",", ":"), default=str))
    return _page(payload), left_out


def _put_values(
    index: TraceIndex,
    tree: dict[str, Any],
    used: int,
    max_size: int,
    progress: Callable[[int, int], None] | None,
    place: tuple[int, int],
) -> tuple[int, int]:
    """Puts in the tree each node's values while the file stays under max_size bytes; (the bytes
    used then, how many nodes' values were left out). `place` is (nodes of the file before
    this trace's, nodes in all), for `progress`."""
    before, count = place
    details: list[Any] = [None] * len(index)
    values = [""] * len(index)
    cut = 0
    for number in range(len(index)):
        if progress is not None:
            progress(before + number, count)
        detail = index.detail(number)
        value = index.searchable("value", number)
        cost = _json_size(detail) + _json_size(value)
        if used + cost > max_size:
            cut += 1
            continue
        used += cost
        details[number] = detail
        values[number] = value
    tree["details"], tree["search"]["value"] = details, values
    if cut:
        message = f"the values of {cut} of {len(index)} nodes were left out of this file"
        tree["header"] = {**tree["header"], "cut": message}
    return used, cut


def _tree(index: TraceIndex) -> dict[str, Any]:
    """What the page needs of a trace but its values."""
    count = len(index)
    header = index.header
    return {
        "header": header,
        "summary": {
            "trace_id": header["trace_id"],
            "stored_at": header["started_at"],
            "started_at": header["started_at"],
            "source": listed_source(
                header["source"], header["name"] if header["kind"] == "test" else None
            ),
            "record_count": header["records"],
            "size": index.size,
            "kind": header["kind"],
            "outcome": header["outcome"],
            "failed": header["failed"],
            "depth": 0,  # no family: the list shows each trace on its own
        },
        "nodes": [index.summary(n) for n in range(count)],
        "children": [index.children.get(n) for n in range(count)],
        "parents": index.parent,
        "positions": index.positions(),
        "timeline": index.timeline(),
        "details": [None] * count,  # the values, filled in while they fit
        "search": {"name": [index.searchable("name", n) for n in range(count)], "value": []},
        "functions": index.function_table(),
    }


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
