"""Settings of the tool: the `[tool.vexo]` table of the project's pyproject.toml, then the
command line's options on top.

    [tool.vexo]
    db = ".vexo/db.sqlite3"      # the trace store: a SQLite file relative to the pyproject.toml's
                                 # folder, or a PostgreSQL URL (postgresql://user@host/dbname)
    include = ["/src/mylib/"]    # path fragments always recorded, even inside installed libraries
    ignore = ["/migrations/"]    # path fragments never recorded
    threading = true             # also trace threads started while tracing
    values = "safe"              # "safe" (default), "repr" or "full": see vexo.values.dump
    lightweight-repr = true      # short value dumps: bounded texts and containers
    busy-timeout = 60            # seconds to wait for other processes writing to the database
    backend = "auto"             # "monitoring" (3.12+), "profile", or "auto": monitoring if there
    keep-runs = 20               # runs kept when a run ends (0: keep all); see vexo.recording.runs
    subprocesses = true          # `vexo run` also traces the Python processes the program starts
    scrub = true                 # secrets replaced in stored values (see vexo.values.scrub)
    scrub-names = ["pin"]        # more secrets' names (held anywhere in a name, any case)
    scrub-patterns = ['\\d{16}'] # more secrets in texts: regular expressions

Keys may also be written with underscores. The nearest pyproject.toml from the current directory
upwards is read; one without the table gives the defaults. Without a `db` setting traces go to
`.vexo/db.sqlite3` under the current directory. The environment variable VEXO_DB, when set,
names the store in place of the `db` setting (the command line's `--db` still comes first).
"""

from __future__ import annotations

import dataclasses
import os
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from vexo.recording.profiler import BACKENDS, DEFAULT_DB_PATH
from vexo.store.locations import DB_VARIABLE, absolute

if TYPE_CHECKING:
    from pathlib import Path

__all__ = [
    "DEFAULT_BUSY_TIMEOUT",
    "DEFAULT_KEEP_RUNS",
    "VALUES_MODES",
    "ConfigError",
    "Settings",
    "find_pyproject",
    "load_settings",
]

DEFAULT_BUSY_TIMEOUT = 60
DEFAULT_KEEP_RUNS = 20
# How values are stored: bounded and without running the program's code, bounded with repr() of
# objects, or whole with repr().
VALUES_MODES = ("safe", "repr", "full")
PYPROJECT = "pyproject.toml"


class ConfigError(Exception):
    """The configuration cannot be read or holds a value of the wrong kind."""


@dataclasses.dataclass(frozen=True)
class Settings:
    db_path: str
    include: tuple[str, ...] = ()
    ignore: tuple[str, ...] = ()
    threading: bool = False
    lightweight_repr: bool = False
    values: str = "safe"
    busy_timeout: int = DEFAULT_BUSY_TIMEOUT
    backend: str = "auto"
    keep_runs: int = DEFAULT_KEEP_RUNS
    subprocesses: bool = True  # for `vexo run`: trace the program's Python child processes too
    scrub: bool = True  # secrets replaced in stored values
    scrub_names: tuple[str, ...] = ()
    scrub_patterns: tuple[str, ...] = ()
    origin: str | None = None  # the pyproject.toml the settings came from

    def profiler_config(self, **extra: Any) -> dict[str, Any]:
        """The configuration dict a `vexo.Profiler` takes."""
        config: dict[str, Any] = {
            "filters": {"include_frames": list(self.include), "ignore_frames": list(self.ignore)},
            "sqlite_busy_timeout": self.busy_timeout,
            "threading": self.threading,
            "lightweight_repr": self.lightweight_repr,
            "values": self.values,
            "backend": self.backend,
            "scrub": self.scrub,
            "scrub_names": list(self.scrub_names),
            "scrub_patterns": list(self.scrub_patterns),
        }
        config.update(extra)
        return config

    def updated(
        self, values: Mapping[str, Any], *, origin: str, base_dir: str | os.PathLike[str]
    ) -> Settings:
        """These settings with the keys of a `[tool.vexo]`-like mapping applied on top; a relative
        `db` is taken from `base_dir`."""
        changes: dict[str, Any] = {}
        for raw_key, value in values.items():
            key = str(raw_key).replace("-", "_")
            check = _CHECKS.get(key)
            if check is None:
                raise ConfigError(
                    f"{origin}: unknown vexo setting {raw_key!r} (known: {_KNOWN_KEYS})"
                )
            field, converted = check(value, f"{origin}: vexo setting {raw_key!r}")
            if field == "db_path":
                converted = absolute(converted, base_dir)
            changes[field] = converted
        return dataclasses.replace(self, **changes)

    def overridden(
        self,
        *,
        db_path: str | os.PathLike[str] | None = None,
        include: list[str] | tuple[str, ...] | None = None,
        ignore: list[str] | tuple[str, ...] | None = None,
        threading: bool | None = None,
        lightweight_repr: bool | None = None,
        values: str | None = None,
        busy_timeout: int | None = None,
        backend: str | None = None,
        subprocesses: bool | None = None,
        scrub: bool | None = None,
        scrub_names: list[str] | tuple[str, ...] | None = None,
        scrub_patterns: list[str] | tuple[str, ...] | None = None,
    ) -> Settings:
        """These settings with the given values (command-line options) in place; None keeps a
        value. Include and ignore fragments, scrub names and patterns are added to the configured
        ones."""
        changes: dict[str, Any] = {}
        if db_path is not None:
            changes["db_path"] = absolute(db_path)
        if include:
            changes["include"] = (*self.include, *include)
        if ignore:
            changes["ignore"] = (*self.ignore, *ignore)
        if threading is not None:
            changes["threading"] = threading
        if lightweight_repr is not None:
            changes["lightweight_repr"] = lightweight_repr
        if values is not None:
            changes["values"] = _check_values(values, "the values mode")[1]
        if busy_timeout is not None:
            changes["busy_timeout"] = _check_timeout(busy_timeout, "the busy timeout")[1]
        if backend is not None:
            changes["backend"] = _check_backend(backend, "the backend")[1]
        if subprocesses is not None:
            changes["subprocesses"] = subprocesses
        if scrub is not None:
            changes["scrub"] = scrub
        if scrub_names:
            changes["scrub_names"] = (*self.scrub_names, *scrub_names)
        if scrub_patterns:
            added = _check_patterns(list(scrub_patterns), "--scrub-pattern")[1]
            changes["scrub_patterns"] = (*self.scrub_patterns, *added)
        return dataclasses.replace(self, **changes)


def find_pyproject(start: str | os.PathLike[str] | None = None) -> Path | None:
    """The nearest pyproject.toml in `start` (default: the current directory) or above."""
    folder = os.path.abspath(start if start is not None else os.getcwd())
    while True:
        if os.path.isfile(os.path.join(folder, PYPROJECT)):
            # pathlib only where there is a file to read: it costs a program's start a few ms.
            from pathlib import Path

            return Path(folder, PYPROJECT)
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def load_settings(start: str | os.PathLike[str] | None = None) -> Settings:
    """The defaults with the nearest pyproject.toml's `[tool.vexo]` table applied, then the
    store named by VEXO_DB."""
    cwd = os.path.abspath(start if start is not None else os.getcwd())
    settings = _project_settings(cwd)
    named = os.environ.get(DB_VARIABLE)
    return settings.overridden(db_path=absolute(named, cwd)) if named else settings


def _project_settings(cwd: str) -> Settings:
    settings = Settings(db_path=os.path.join(cwd, DEFAULT_DB_PATH))
    path = find_pyproject(cwd)
    if path is None:
        return settings
    # Imported only here: most projects that run vexo have no [tool.vexo] table or no file.
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - depends on the interpreter
        import tomli as tomllib
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise ConfigError(f"cannot read {path}: {error}") from error
    tool = document.get("tool")
    table = tool.get("vexo") if isinstance(tool, dict) else None
    if table is None:
        return settings
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [tool.vexo] must be a table")
    settings = dataclasses.replace(settings, origin=str(path))
    return settings.updated(table, origin=str(path), base_dir=path.parent)


def _check_text(field: str):
    def check(value: object, what: str) -> tuple[str, str]:
        if not isinstance(value, (str, os.PathLike)) or not os.fspath(value):
            raise ConfigError(f"{what} must be a non-empty path text")
        return field, os.fsdecode(value)

    return check


def _check_fragments(field: str):
    def check(value: object, what: str) -> tuple[str, tuple[str, ...]]:
        if isinstance(value, str) or not isinstance(value, (list, tuple)):
            raise ConfigError(f"{what} must be a list of path fragments")
        if not all(isinstance(item, str) for item in value):
            raise ConfigError(f"{what} must hold only texts")
        return field, tuple(value)

    return check


def _check_flag(field: str):
    def check(value: object, what: str) -> tuple[str, bool]:
        if not isinstance(value, bool):
            raise ConfigError(f"{what} must be true or false")
        return field, value

    return check


def _check_count(field: str, unit: str):
    def check(value: object, what: str) -> tuple[str, int]:
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ConfigError(f"{what} must be a whole number of {unit}, 0 or more")
        return field, value

    return check


_check_timeout = _check_count("busy_timeout", "seconds")


def _check_values(value: object, what: str) -> tuple[str, str]:
    if type(value) is not str or value not in VALUES_MODES:
        raise ConfigError(f"{what} must be one of: {', '.join(VALUES_MODES)}")
    return "values", value


def _check_names(value: object, what: str) -> tuple[str, tuple[str, ...]]:
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise ConfigError(f"{what} must be a list of names")
    if not all(isinstance(item, str) and item.strip("-_") for item in value):
        raise ConfigError(f"{what} must hold only non-empty names")
    return "scrub_names", tuple(value)


def _check_patterns(value: object, what: str) -> tuple[str, tuple[str, ...]]:
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise ConfigError(f"{what} must be a list of regular expressions")
    from vexo.values.scrub import ScrubError, compiled_patterns

    try:
        compiled_patterns(value, f"{what}:")
    except ScrubError as error:
        raise ConfigError(str(error)) from None
    return "scrub_patterns", tuple(value)


def _check_backend(value: object, what: str) -> tuple[str, str]:
    if type(value) is not str or value not in BACKENDS:
        raise ConfigError(f"{what} must be one of: {', '.join(BACKENDS)}")
    return "backend", value


_KNOWN_KEYS = (
    "db, include, ignore, threading, values, lightweight-repr, busy-timeout, backend, keep-runs,"
    " subprocesses, scrub, scrub-names, scrub-patterns"
)
_CHECKS = {
    "db": _check_text("db_path"),
    "db_path": _check_text("db_path"),
    "include": _check_fragments("include"),
    "ignore": _check_fragments("ignore"),
    "threading": _check_flag("threading"),
    "values": _check_values,
    "lightweight_repr": _check_flag("lightweight_repr"),
    "busy_timeout": _check_timeout,
    "backend": _check_backend,
    "keep_runs": _check_count("keep_runs", "runs"),
    "subprocesses": _check_flag("subprocesses"),
    "scrub": _check_flag("scrub"),
    "scrub_names": _check_names,
    "scrub_patterns": _check_patterns,
}
