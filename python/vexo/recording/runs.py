"""Runs: every `vexo run`, pytest session (with its xdist workers) and server process is one run;
the traces it saves carry the run's id.

The id travels in the environment variable VEXO_RUN_ID, so every process the run starts (a
child, a test worker) inherits it and joins the run instead of starting one. The store keeps each
run's command, start and end; when a run ends, a store that can be pruned keeps the last
`[tool.vexo] keep-runs` runs (see `vexo.store.prune`).
"""

from __future__ import annotations

import atexit
import logging
import os
import shlex
import sys
import time

from vexo.common.ids import new_ulid
from vexo.common.processes import RUN_ID_VARIABLE, current_run_id
from vexo.config import DEFAULT_KEEP_RUNS, Settings
from vexo.store import open_store
from vexo.store.base import DEFAULT_TIMEOUT
from vexo.store.errors import StoreError

__all__ = [
    "DEFAULT_KEEP_RUNS",
    "RUN_ID_VARIABLE",
    "current_run_id",
    "end_run",
    "start_own_run",
    "start_run",
    "start_server_run",
]

logger = logging.getLogger("vexo")


def new_run_id() -> str:
    return "run_" + new_ulid()  # as trace ids: sorted by time, then random


def start_run(
    db_path: str | os.PathLike[str], command: str, *, timeout: float = DEFAULT_TIMEOUT
) -> str:
    """The id of the run this process belongs to: the inherited one, else a new run whose row is
    stored and whose id is put in the environment for every process started from now on."""
    run_id = current_run_id()
    if run_id is not None:
        return run_id
    run_id = new_run_id()
    open_store(db_path, timeout).record_run_start(run_id, command, time.time())
    os.environ[RUN_ID_VARIABLE] = run_id
    return run_id


def start_own_run(
    db_path: str | os.PathLike[str], command: str, *, timeout: float = DEFAULT_TIMEOUT
) -> str | None:
    """Starts a run unless this process joins an inherited one; the id of the run it started
    (which it must end), or None."""
    if current_run_id() is not None:
        return None
    return start_run(db_path, command, timeout=timeout)


def end_run(
    db_path: str | os.PathLike[str],
    run_id: str,
    *,
    keep_runs: int = DEFAULT_KEEP_RUNS,
    timeout: float = DEFAULT_TIMEOUT,
) -> None:
    """Stores the run's end, then keeps only the last `keep_runs` runs (0: all of them).

    Housekeeping only: a failure is left for the next run to repair, since the save that failed
    for the same reason has been reported already.
    """
    if os.environ.get(RUN_ID_VARIABLE) == run_id:
        del os.environ[RUN_ID_VARIABLE]
    try:
        store = open_store(db_path, timeout)
        store.record_run_end(run_id, time.time())
        if keep_runs and store.prunable:
            store.prune(keep_runs=keep_runs, before=None, max_size=None, rewrite=False)
    except StoreError as error:
        logger.debug("vexo: cannot end run %s: %s", run_id, error)


def start_server_run(settings: Settings) -> None:
    """A server process's run, started at its first traced request (unless it belongs to a run
    already) and ended when the process exits. Tried once per process: when the database cannot
    be written, the saves of the traces report it."""
    global _server_run_tried
    if _server_run_tried:
        return
    _server_run_tried = True
    command = shlex.join(map(str, getattr(sys, "argv", None) or ["server"]))
    path, timeout = settings.db_path, settings.busy_timeout
    try:
        run_id = start_own_run(path, command, timeout=timeout)
    except StoreError as error:
        logger.debug("vexo: traces of this process belong to no run: %s", error)
        return
    if run_id is not None:
        atexit.register(end_run, path, run_id, keep_runs=settings.keep_runs, timeout=timeout)


_server_run_tried = False
