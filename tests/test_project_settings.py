"""Settings from [tool.vexo] in pyproject.toml, options on top, and what the tracer gets."""

import os
import textwrap

import msgpack
import pytest

from vexo import _vexo
from vexo.config import ConfigError, Settings, find_pyproject, load_settings
from vexo.profiler import Profiler


def project(folder, text):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "pyproject.toml").write_text(textwrap.dedent(text))
    return folder


def test_defaults_without_a_table(tmp_path):
    project(tmp_path, "[project]\nname = 'x'\n")
    settings = load_settings(tmp_path)
    assert settings == Settings(db_path=str(tmp_path / ".vexo" / "db.sqlite3"))
    assert settings.profiler_config() == {
        "filters": {"include_frames": [], "ignore_frames": []},
        "sqlite_busy_timeout": 60,
        "threading": False,
        "lightweight_repr": False,
        "values": "safe",
        "backend": "auto",
        "scrub": True,
        "scrub_names": [],
        "scrub_patterns": [],
    }


@pytest.mark.parametrize("dash", ["-", "_"])
def test_every_key(tmp_path, dash):
    root = project(
        tmp_path / "proj",
        f"""\
        [tool.vexo]
        db = "data/traces.sqlite3"
        include = ["/vendored/", "/site-packages/mylib/"]
        ignore = ["/migrations/"]
        threading = true
        lightweight{dash}repr = true
        values = "full"
        busy{dash}timeout = 5
        scrub = false
        scrub{dash}names = ["pin"]
        scrub{dash}patterns = ["\\\\d{{16}}"]
        """,
    )
    below = root / "src" / "pkg"
    below.mkdir(parents=True)
    settings = load_settings(below)
    assert settings.db_path == str(root / "data" / "traces.sqlite3")  # from the file's folder
    assert settings.origin == str(root / "pyproject.toml")
    assert settings.profiler_config(plugins=["pytest"]) == {
        "filters": {
            "include_frames": ["/vendored/", "/site-packages/mylib/"],
            "ignore_frames": ["/migrations/"],
        },
        "sqlite_busy_timeout": 5,
        "threading": True,
        "lightweight_repr": True,
        "values": "full",
        "backend": "auto",
        "scrub": False,
        "scrub_names": ["pin"],
        "scrub_patterns": ["\\d{16}"],
        "plugins": ["pytest"],
    }


def test_nearest_pyproject_wins(tmp_path):
    project(tmp_path, "[tool.vexo]\nthreading = true\n")
    inner = project(tmp_path / "inner", "[project]\nname = 'inner'\n")
    assert find_pyproject(inner / "missing-is-fine") == inner / "pyproject.toml"
    assert load_settings(inner).threading is False
    assert load_settings(tmp_path).threading is True


def test_overrides(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    base = Settings(db_path="/x/db.sqlite3", include=("a",), ignore=("b",), threading=True)
    assert base.overridden() == base
    changed = base.overridden(
        db_path="rel/db.sqlite3",
        include=["c"],
        ignore=["d"],
        threading=False,
        lightweight_repr=True,
        values="repr",
        busy_timeout=0,
    )
    assert changed == Settings(
        db_path=os.path.join(tmp_path, "rel", "db.sqlite3"),
        include=("a", "c"),
        ignore=("b", "d"),
        threading=False,
        lightweight_repr=True,
        values="repr",
        busy_timeout=0,
    )


@pytest.mark.parametrize(
    "body, message",
    [
        ("threading = 1", "'threading' must be true or false"),
        ("values = 'all'", "'values' must be one of: safe, repr, full"),
        ("include = '/src/'", "'include' must be a list of path fragments"),
        ("ignore = [1]", "'ignore' must hold only texts"),
        ("busy-timeout = -1", "'busy-timeout' must be a whole number"),
        ("busy-timeout = 1.5", "'busy-timeout' must be a whole number"),
        ("db = ''", "'db' must be a non-empty path text"),
        ("colour = true", "unknown vexo setting 'colour'"),
        ("scrub-names = 'pin'", "'scrub-names' must be a list of names"),
        ("scrub-names = ['_']", "'scrub-names' must hold only non-empty names"),
        ("scrub-patterns = ['(']", "'scrub-patterns': '\\(' is not a regular expression"),
    ],
)
def test_wrong_values(tmp_path, body, message):
    project(tmp_path, f"[tool.vexo]\n{body}\n")
    with pytest.raises(ConfigError, match=message) as caught:
        load_settings(tmp_path)
    assert str(caught.value).startswith(str(tmp_path / "pyproject.toml"))


@pytest.mark.parametrize("text", ["[tool.vexo\n", "tool = 1\n[tool.vexo]\n", "[tool]\nvexo = 3\n"])
def test_unreadable_files(tmp_path, text):
    project(tmp_path, text)
    with pytest.raises(ConfigError):
        load_settings(tmp_path)


def include_me(value):
    return value + 1


def test_the_tracer_takes_the_settings(tmp_path):
    # This file is left out by an ignore fragment, then forced back in by an include fragment.
    ignoring = Settings(db_path=str(tmp_path / "db.sqlite3"), ignore=("test_project_settings",))
    including = ignoring.overridden(include=["test_project_settings"])
    seen = []
    for settings in (ignoring, including):
        profiler = Profiler(settings.profiler_config(), db_path=settings.db_path)
        _vexo.register_profiler(profiler)
        include_me(1)
        _vexo.register_noop_profiler()
        records = msgpack.unpackb(profiler.rust_profiler.build_trace())["frames_of_interest"]
        seen.append([r["co_name"] for r in records])
    assert seen == [[], ["include_me", "include_me"]]
