"""A real PostgreSQL server for the tests: Debian's binaries, a cluster in a temporary folder, a
free local port, password authentication over TCP. Started once per test session and stopped at
its end (tests/conftest.py's `postgres` fixture).

initdb refuses to run as root; as root, the cluster belongs to the `postgres` account and its
commands run under it.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

USER = "vexo"
PASSWORD = "s3cret-for-tests"


def binaries() -> Path | None:
    """The folder of the newest PostgreSQL server installed from Debian's packages, if any."""
    folders = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=_version)
    return Path(folders[-1]) if folders and os.path.exists(f"{folders[-1]}/pg_ctl") else None


def _version(folder: str) -> float:
    try:
        return float(Path(folder).parent.name)
    except ValueError:
        return 0.0


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PostgresServer:
    def __init__(self, bin_dir: Path) -> None:
        self.bin_dir = bin_dir
        self.folder = Path(tempfile.mkdtemp(prefix="vexo-pg-"))
        self.data = self.folder / "data"
        self.port = _free_port()
        self.owner = pwd.getpwnam("postgres") if os.geteuid() == 0 else None

    def url(self, database: str = "postgres", password: str | None = PASSWORD) -> str:
        secret = f":{password}" if password is not None else ""
        return f"postgresql://{USER}{secret}@127.0.0.1:{self.port}/{database}"

    def start(self) -> PostgresServer:
        password_file = self.folder / "password"
        password_file.write_text(PASSWORD + "\n")
        if self.owner is not None:
            os.chown(self.folder, self.owner.pw_uid, self.owner.pw_gid)
            os.chown(password_file, self.owner.pw_uid, self.owner.pw_gid)
        self._run(
            "initdb", "-D", str(self.data), "-U", USER, "--pwfile", str(password_file),
            "--auth-host=scram-sha-256", "--auth-local=trust", "-E", "UTF8", "--no-sync",
        )  # fmt: skip
        self.restart()
        return self

    def restart(self) -> None:
        """Starts the server (again, after `stop`), on the same port."""
        options = f"-p {self.port} -k {self.folder} -c listen_addresses=127.0.0.1 -c fsync=off"
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.folder / "log"), "-o", options,
                  "-w", "start")  # fmt: skip

    def stop(self, mode: str = "fast") -> None:
        self._run("pg_ctl", "-D", str(self.data), "-m", mode, "-w", "stop")

    def create_database(self, name: str) -> str:
        self._run("createdb", "-h", str(self.folder), "-p", str(self.port), "-U", USER, name)
        return self.url(name)

    def remove(self) -> None:
        try:
            self.stop("immediate")
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(self.folder, ignore_errors=True)

    def _run(self, command: str, *args: str) -> None:
        argv = [str(self.bin_dir / command), *args]
        if self.owner is not None:
            argv = ["setpriv", f"--reuid={self.owner.pw_uid}", f"--regid={self.owner.pw_gid}",
                    "--clear-groups", *argv]  # fmt: skip
        subprocess.run(argv, check=True, capture_output=True, cwd=self.folder, timeout=120)
