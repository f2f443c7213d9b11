"""The commit the traced program was run from, stored with every trace.

Found by reading the repository's files from the current directory upwards, without running git:
this runs when the package is imported, inside programs that may not have git installed and must
not be slowed down. Anything it cannot work out cheaply (no repository, an unborn branch, a ref
store it does not know) gives None; it never fails.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

__all__ = ["COMMIT_SHA", "find_commit_sha"]

_SHA = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")  # SHA-1 and SHA-256 repositories
_MAX_SYMBOLIC_REFS = 5


def find_commit_sha(start: str | os.PathLike[str] | None = None) -> str | None:
    """The commit checked out in the repository that holds `start` (default: the current
    directory), as lower-case hex, or None."""
    try:
        git_dir = _git_dir(Path(start if start is not None else os.getcwd()).absolute())
        return None if git_dir is None else _head_commit(git_dir)
    except (OSError, ValueError):
        return None


def _git_dir(start: Path) -> Path | None:
    if os.environ.get("GIT_DIR"):
        return Path(os.environ["GIT_DIR"]).absolute()  # as git itself: relative to the cwd
    for folder in (start, *start.parents):
        dot_git = folder / ".git"
        if dot_git.is_dir():
            return dot_git
        if dot_git.is_file():
            # Worktrees and submodules: a file pointing at the real git folder.
            content = _read(dot_git)
            if content.startswith("gitdir:"):
                return folder / content[len("gitdir:") :].strip()
            return None
    return None


def _head_commit(git_dir: Path) -> str | None:
    common_dir = git_dir
    if (git_dir / "commondir").is_file():
        common_dir = git_dir / _read(git_dir / "commondir")
    content = _read(git_dir / "HEAD")
    for _ in range(_MAX_SYMBOLIC_REFS):
        if not content.startswith("ref:"):
            return content if _SHA.fullmatch(content) else None
        ref = content[len("ref:") :].strip()
        if not ref.startswith("refs/") or ".." in ref.split("/"):
            return None
        content = _loose_ref(ref, (git_dir, common_dir))
        if content is None:
            return _packed_ref(ref, common_dir)
    return None


def _loose_ref(ref: str, folders: tuple[Path, Path]) -> str | None:
    for folder in folders:
        path = folder / ref
        if path.is_file():
            return _read(path)
    return None


def _packed_ref(ref: str, common_dir: Path) -> str | None:
    path = common_dir / "packed-refs"
    if not path.is_file():
        return None
    for line in _read(path).splitlines():
        sha, _, name = line.partition(" ")
        if name.strip() == ref and _SHA.fullmatch(sha):
            return sha
    return None


def _read(path: Path) -> str:
    return path.read_text(encoding="utf-8").strip()


COMMIT_SHA: str | None = find_commit_sha()
