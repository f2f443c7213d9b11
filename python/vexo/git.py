"""The commit checked out where a trace is recorded (`COMMIT_SHA`, stored in every trace); written
in `vexo.recording.git`."""

from vexo.recording.git import (
    COMMIT_SHA,
    find_commit_sha,
)

__all__ = [
    "COMMIT_SHA",
    "find_commit_sha",
]
