"""Builds and loads the floor: a C profile hook that returns at once (floor.c).

The extension is compiled with the running interpreter's own include folder and suffix into
build/bench/<interpreter>/, and rebuilt only when floor.c is newer than the library.
"""

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "floor.c"
NAME = "_bench_floor"


def build_dir() -> Path:
    tag = sys.implementation.cache_tag
    return Path(os.environ.get("BENCH_BUILD_DIR", HERE.parent / "build" / "bench")) / tag


def build() -> Path:
    target = build_dir() / (NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    compiler = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    include = sysconfig.get_paths()["include"]
    command = [*compiler, "-O2", "-fPIC", "-shared", "-Wall", "-Werror", f"-I{include}"]
    command += [str(SOURCE), "-o", str(target)]
    subprocess.run(command, check=True)
    return target


def load():
    """The floor module, built first if needed: install(), uninstall(), install_in_thread."""
    path = build()
    spec = importlib.util.spec_from_file_location(NAME, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
