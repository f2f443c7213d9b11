"""Tracing the Python processes that a traced program starts, each into a trace of its own.

`vexo run` puts the tracing settings into the environment variable VEXO_SUBPROCESSES, which
every process it starts inherits. The package installs `vexo-subprocesses.pth` at the root of
site-packages; the interpreter runs its one line at start-up, and that line reads only
`os.environ` unless the variable is set, so a process started without it pays nothing. With it,
`start_from_environment()` starts the tracer before the program's first line:

- a program (`python child.py`, `python -m pkg`, `python -c ...`) is traced from start-up and its
  trace saved at its exit;
- a multiprocessing process (fork, spawn or forkserver; pool and executor workers too) is traced
  from the moment multiprocessing hands it its work and saved when it ends normally. A process
  that `terminate()` ends with SIGTERM loses what it recorded since its last save: a handler of
  ours would have to run Python code in a process that may be blocked in a lock, and a signal
  that comes just before the lock waits would never end it. So a pool's worker, which a pool
  left by `with` terminates, saves a trace per task it runs, before it sends the task's result
  back (by then the pool may end it at any moment), and starts the next one afresh;
- multiprocessing's own helpers (the fork server, the resource tracker) are not traced; the
  processes the fork server forks belong to the program that asked for them.

A forked child keeps no record of its parent: the tracer empties its buffers and gives it a new
trace id at the fork. The variables ride along into processes whose environment the program
replaces (`subprocess` with `env=`), added to a copy of the mapping it gave; an empty
VEXO_SUBPROCESSES there leaves that child untraced. Nothing here writes to the program's
standard streams, except one line if a child's trace cannot be saved.
"""

from __future__ import annotations

import atexit
import functools
import json
import os
import sys
from collections.abc import Mapping
from typing import Any

from vexo.common import processes
from vexo.common.console import say
from vexo.recording.runs import RUN_ID_VARIABLE

__all__ = [
    "SETTINGS_VARIABLE",
    "leave_children_untraced",
    "start_from_environment",
    "trace_children",
]

SETTINGS_VARIABLE = "VEXO_SUBPROCESSES"
# What a child needs from its parent's environment; VEXO_RUN_ID names the run it belongs to.
CARRIED_VARIABLES = (SETTINGS_VARIABLE, processes.PARENT_VARIABLE, RUN_ID_VARIABLE)

_RESOURCE_TRACKER = "from multiprocessing.resource_tracker import"
_FORK_SERVER = "from multiprocessing.forkserver import"
_SPAWNED = "from multiprocessing.spawn import"


class _tracing:  # noqa: N801 - this process's tracing, a namespace
    settings: dict[str, Any] | None = None  # {"db": path, "config": the profiler's configuration}
    profiler: Any = None  # the profiler recording this process
    saves_at_exit = False  # whether the trace is ours to save when the process ends
    hooks_pid = 0  # the process that installed the hooks (a fork inherits them)
    multiprocessing_pid = 0  # the process whose multiprocessing trace has started
    per_task = False  # a pool's worker: a trace per task, and none of its idle end


def trace_children(db_path: str, config: Mapping[str, Any], profiler: Any) -> None:
    """Makes the processes that the program of `vexo run` starts trace themselves; `profiler`
    records the program (and `vexo run` saves its trace)."""
    settings = {"db": db_path, "config": _portable(config)}
    os.environ[SETTINGS_VARIABLE] = json.dumps(settings)
    _tracing.settings = settings
    _tracing.profiler = profiler
    _tracing.saves_at_exit = False
    processes.recording(profiler.trace_id)
    _install_hooks()


def _portable(config: Mapping[str, Any]) -> dict[str, Any]:
    """The settings that can reach a child through its environment: those JSON can carry.
    Plugins given as Python functions, for one, stay with this process."""
    portable = {}
    for key, value in config.items():
        try:
            json.dumps(value)
        except (TypeError, ValueError):
            continue
        portable[key] = value
    return portable


def program_ended() -> None:
    """`vexo run`'s program has ended and its trace is saved: the profiler is let go, so that
    what its records hold (the program's module among them) goes now rather than in the
    interpreter's teardown, where the program's finalizers would find its globals gone."""
    _tracing.profiler = None


def leave_children_untraced() -> None:
    """For `vexo run --no-subprocesses` run by a traced process: its settings stop here."""
    os.environ.pop(SETTINGS_VARIABLE, None)


def start_from_environment() -> None:
    """Run at interpreter start-up by the .pth line when VEXO_SUBPROCESSES is set. Never raises:
    the program runs whatever happens here."""
    try:
        _start(os.environ.get(SETTINGS_VARIABLE, ""))
    except Exception as error:
        say(f"cannot trace process {os.getpid()}: {error}")


def _start(text: str) -> None:
    if not text or _tracing.settings is not None:
        return
    _tracing.settings = _parse_settings(text)
    code = _command_code(sys.orig_argv)
    if code is not None and code.startswith(_RESOURCE_TRACKER):
        return
    if code is not None and code.startswith(_FORK_SERVER):
        processes.adopt_parent()
        _install_hooks()
    elif code is not None and code.startswith(_SPAWNED):
        _install_hooks()
        _trace_when_spawned()
    else:
        _install_hooks()
        _start_trace(program_source(sys.orig_argv))
        atexit.register(_save_trace)


def _parse_settings(text: str) -> dict[str, Any]:
    try:
        settings = json.loads(text)
    except ValueError:
        settings = None
    if (
        not isinstance(settings, dict)
        or not isinstance(settings.get("db"), str)
        or not isinstance(settings.get("config"), dict)
    ):
        raise ValueError(f"{SETTINGS_VARIABLE} does not hold vexo's settings")
    return settings


def program_source(argv: list[str]) -> str:
    """The source of a process's trace, from its interpreter's command line: "script child.py",
    "module pkg.tool", or "python -c" / "python" for code given otherwise."""
    kind, value = _command(argv)
    if kind == "script":
        return f"script {value}"
    if kind == "module":
        return f"module {value}"
    return "python -c" if kind == "-c" else "python"


def _command_code(argv: list[str]) -> str | None:
    kind, value = _command(argv)
    return value if kind == "-c" else None


def _command(argv: list[str]) -> tuple[str, str]:
    """("script", path), ("module", name), ("-c", code) or ("stdin", "") from an interpreter's
    command line (sys.orig_argv)."""
    arguments = iter(argv[1:])
    for argument in arguments:
        if argument == "--":
            script = next(arguments, None)
            return ("stdin", "") if script is None else ("script", script)
        if argument == "-":
            return ("stdin", "")
        if argument.startswith("--"):
            if argument == "--check-hash-based-pycs":
                next(arguments, None)
            continue
        if not argument.startswith("-"):
            return ("script", argument)
        for index, letter in enumerate(argument[1:], 1):
            if letter in "cmXW":  # the rest of the argument, or the next one, is its value
                value = argument[index + 1 :] or next(arguments, "")
                if letter in "cm":
                    return ("-c" if letter == "c" else "module", value)
                break
    return ("stdin", "")


def _start_trace(source: str) -> None:
    """Starts a new trace of this process, in place of the one it may have inherited."""
    from vexo.recording.profiler import Profiler

    settings = _tracing.settings
    assert settings is not None
    inherited = _tracing.profiler
    if inherited is not None and inherited.started:
        inherited.stop()
    profiler = Profiler(settings["config"], db_path=settings["db"], source=source)
    profiler.start()
    _tracing.profiler = profiler
    _tracing.saves_at_exit = True
    processes.recording(profiler.trace_id)


def _save_trace() -> None:
    """Saves this process's trace, once, waiting for it to be stored: the process ends next."""
    profiler = _tracing.profiler
    if profiler is None or not _tracing.saves_at_exit or not profiler.started:
        return
    _tracing.saves_at_exit = False
    try:
        from vexo.db import document_trace_id, save_trace_in_sqlite, summarize_trace

        profiler.stop()
        document = profiler.build()
        if _tracing.per_task and not summarize_trace(document).record_count:
            return  # a worker waiting for its next task, or for its end
        trace_id = document_trace_id(document) or profiler.trace_id
        timeout = profiler.config.get("sqlite_busy_timeout", 60)
        save_trace_in_sqlite(
            profiler.db_path, trace_id, timeout=timeout, msgpack=document, wait=True
        )
    except Exception as error:
        say(f"cannot save the trace of process {os.getpid()}: {error}")


def _install_hooks() -> None:
    if _tracing.hooks_pid:
        return
    _tracing.hooks_pid = os.getpid()
    os.register_at_fork(after_in_child=_after_fork_in_child)
    _carry_variables_into_given_environments()


def _after_fork_in_child() -> None:
    try:
        processes.current()  # the child's own id, its parent the forking process
        profiler = _tracing.profiler
        if profiler is not None and profiler.started:
            processes.recording(_renewed_trace_id(profiler))
        if "multiprocessing.util" in sys.modules:
            _trace_when_multiprocessing_runs_it()
    except Exception:
        pass  # the child runs on; its trace, if any, goes without its family links


def _renewed_trace_id(profiler: Any) -> str | None:
    """The id of the trace a forked child records: the tracer chose it at the fork. Building the
    document now costs little, the child's buffers having been emptied at the fork."""
    from vexo.db import document_trace_id

    return document_trace_id(profiler.build())


class _Keeper:
    """What multiprocessing's after-fork registry holds on to (it keeps weak references)."""


_keeper = _Keeper()


def _trace_when_multiprocessing_runs_it() -> None:
    from multiprocessing import util

    util.register_after_fork(_keeper, _trace_multiprocessing_process)


def _trace_when_spawned() -> None:
    """A spawned process runs no after-fork callbacks: its class's hook for them does nothing,
    and is the first thing to run once multiprocessing knows which process this is."""
    from multiprocessing import context

    def after_spawn() -> None:
        _trace_multiprocessing_process(None)

    context.SpawnProcess._after_fork = staticmethod(after_spawn)  # type: ignore[method-assign]


def _trace_multiprocessing_process(_: object) -> None:
    """Called by multiprocessing in a new process before it runs its target: a trace named
    after the process, saved when multiprocessing ends the process."""
    if _tracing.multiprocessing_pid == os.getpid():
        return  # registered again by an ancestor; the trace has started
    _tracing.multiprocessing_pid = os.getpid()
    try:
        from multiprocessing import current_process, util

        process = current_process()
        source = f"multiprocessing {process.name}"
        _start_trace(source)
        # After the program's own finalizers, which run in the trace.
        util.Finalize(None, _save_trace, exitpriority=-(1 << 30))
        _save_each_task_of_a_pool_worker(process, source)
    except Exception as error:
        say(f"cannot trace process {os.getpid()}: {error}")


def _save_each_task_of_a_pool_worker(process: Any, source: str) -> None:
    """In a pool's worker: the trace so far is saved before each result goes back to the pool,
    and a new one started, by wrapping the result queue's `put` before the worker takes it."""
    from multiprocessing import pool

    if getattr(process, "_target", None) is not pool.worker:
        return
    results = process._args[1]
    send = results.put

    def put(message: Any) -> None:
        _save_trace()
        _start_trace(source)
        send(message)

    results.put = put
    _tracing.per_task = True


def _carry_variables_into_given_environments() -> None:
    import subprocess

    initialise = subprocess.Popen.__init__
    if getattr(initialise, "vexo_carries_variables", False):
        return

    @functools.wraps(initialise)
    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:  # noqa: N807
        if kwargs.get("env") is not None:
            kwargs["env"] = with_carried_variables(kwargs["env"])
        initialise(self, *args, **kwargs)

    __init__.vexo_carries_variables = True  # type: ignore[attr-defined]
    subprocess.Popen.__init__ = __init__  # type: ignore[method-assign]


def with_carried_variables(env: Mapping[Any, Any]) -> dict[Any, Any]:
    """A copy of an environment the program gives a child, with vexo's variables added where
    it does not set them itself."""
    given = dict(env)
    as_bytes = any(isinstance(key, bytes) for key in given)
    for name in CARRIED_VARIABLES:
        value = os.environ.get(name)
        key: Any = os.fsencode(name) if as_bytes else name
        if value is not None and key not in given:
            given[key] = os.fsencode(value) if as_bytes else value
    return given
