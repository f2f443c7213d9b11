"""bench/RESULTS.md is written by several benchmarks. The timing report owns the top of the file;
every other benchmark owns one section between markers, which it replaces when it runs again and
which the timing report keeps."""

from __future__ import annotations

import re
from pathlib import Path

_SECTION = re.compile(r"<!-- section (\S+) -->\n.*?<!-- end section \1 -->\n", re.S)


def sections(text: str) -> str:
    """The marked sections of a RESULTS.md text, in order."""
    return "".join(match.group(0) for match in _SECTION.finditer(text))


def replace_section(path: str | Path, name: str, markdown: str) -> None:
    """Puts `markdown` into the section `name` of the file, replacing the old one, or at its end."""
    path = Path(path)
    text = path.read_text() if path.exists() else "# Benchmark results\n"
    block = f"<!-- section {name} -->\n{markdown.rstrip()}\n<!-- end section {name} -->\n"
    old = next((m for m in _SECTION.finditer(text) if m.group(1) == name), None)
    if old is not None:
        text = text[: old.start()] + block + text[old.end() :]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    path.write_text(text)
