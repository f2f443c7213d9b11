"""A Flask request through waitress (a real threaded WSGI server), untraced and behind
`VexoMiddleware` with each backend, side by side: latency with one client, throughput with eight,
and whether every request served was stored.

    python bench/realwork/wsgi.py [--rounds N] [--seconds S] [--backend B]... [--unrecorded]
                                  [--out FILE.json]

The load comes from `wrk` (Debian's package), a C client that costs the server little. Each
round starts a fresh server per mode, all at once, lets each warm up, then measures them in
one-second bursts that take turns (the order rotating), so that a change in the machine's speed,
which on a shared virtual machine can move a figure by a fifth within a minute, falls on every
server alike; a server's figure is the median of its bursts. The round ends by stopping each with
SIGINT, so that it exits as a server does (exit callbacks run, queued traces are written).
With `--unrecorded`, each backend also serves behind the middleware with the app's own module
ignored: every request's trace is made, ended and stored, but holds no call, which parts what a
trace costs by itself from what its recorded calls cost.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# A traced server's writer finishes its batch between one burst and the next server's.
BETWEEN_BURSTS = 0.2


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for(port, server, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise RuntimeError(f"the server exited with {server.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the server did not start")


def wrk(url, connections, seconds):
    out = subprocess.run(
        ["wrk", f"-t{min(connections, 2)}", f"-c{connections}", f"-d{seconds}s", "--latency", url],
        capture_output=True, text=True, check=True,
    ).stdout  # fmt: skip
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    median = re.search(r"50%\s+([\d.]+)(us|ms|s)\b", out)
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[median.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors", out)
    if errors:
        raise RuntimeError(f"wrk saw errors:\n{out}")
    return rate, float(median.group(1)) * scale


def stored_traces(db_path):
    from vexo.db import list_traces

    return len(list_traces(db_path)) if os.path.exists(db_path) else 0


class Server:
    """One server of a round, started and warmed up."""

    def __init__(self, mode, backend, folder, app, python=sys.executable):
        self.mode, self.backend = mode, backend
        port = free_port()
        self.db_path = os.path.join(folder, f"{mode}-{port}.sqlite3")
        self.count_file = os.path.join(folder, f"{mode}-{port}.count")
        self.process = subprocess.Popen(
            [python, os.path.join(HERE, app), str(port), self.db_path, mode, self.count_file,
             backend],
            cwd=folder,
        )  # fmt: skip
        self.url = f"http://127.0.0.1:{port}/orders/7"
        self.latencies, self.throughputs = [], []
        try:
            wait_for(port, self.process)
            wrk(self.url, 1, 1)  # warm-up
        except BaseException:
            self.process.kill()
            raise

    def stop(self):
        """Stops the server as a server is stopped: its figures, and the requests it served
        and stored."""
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=120)
        with open(self.count_file) as counted:
            served = int(counted.read())
        return {
            "latency_ms": statistics.median(self.latencies),
            "throughput": statistics.median(self.throughputs),
            "served": served,
            "stored": stored_traces(self.db_path),
        }


def one_round(servers, seconds, folder, app, clients):
    """Each server's figures in one round, measured in bursts that take turns."""
    started = []
    try:
        for mode, backend in servers:
            started.append(Server(mode, backend, folder, app))
        for burst in range(seconds):
            turn = started[burst % len(started) :] + started[: burst % len(started)]
            for server in turn:
                server.latencies.append(wrk(server.url, 1, 1)[1])
                time.sleep(BETWEEN_BURSTS)
            for server in turn:
                server.throughputs.append(wrk(server.url, clients, 1)[0])
                time.sleep(BETWEEN_BURSTS)
    finally:
        figures = {(server.mode, server.backend): server.stop() for server in started}
    return figures


def main(description=__doc__, app="shop_app.py", clients=8):
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--backend", action="append", choices=("auto", "monitoring", "profile"),
                        help="trace with this backend (repeatable; default: each one that this"
                        " interpreter has)")  # fmt: skip
    parser.add_argument(
        "--unrecorded",
        action="store_true",
        help="also trace with the app's own calls ignored (its trace's own cost)",
    )
    parser.add_argument(
        "--unwritten",
        action="store_true",
        help="also trace with the writer's work left out (the app must know the mode)",
    )
    parser.add_argument("--out")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wsgi.py needs wrk: apt-get install wrk")
    backends = args.backend or (
        ["monitoring", "profile"] if sys.version_info >= (3, 12) else ["profile"]
    )
    # (mode, backend): the untraced server, then one traced server per backend.
    modes = ["traced"] + ["unrecorded"] * args.unrecorded + ["unwritten"] * args.unwritten
    servers = [("plain", "auto"), *((mode, backend) for backend in backends for mode in modes)]
    runs = {server: [] for server in servers}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.rounds):
            for server, figures in one_round(servers, args.seconds, folder, app, clients).items():
                runs[server].append(figures)
                print(*server, figures, file=sys.stderr)
    medians = {server: summarized(rs) for server, rs in runs.items()}
    plain = medians.pop(("plain", "auto"))
    summary = {
        "python": platform.python_version(),
        "clients": clients,
        "plain": plain,
        "traced": {},
    }
    for (mode, backend), traced in medians.items():
        traced["latency_ratio"] = traced["latency_ms"] / plain["latency_ms"]
        traced["throughput_ratio"] = traced["throughput"] / plain["throughput"]
        summary.setdefault(mode, {})[backend] = traced
    print(json.dumps(summary, indent=2))
    if args.out:
        with open(args.out, "w") as out:
            json.dump(summary, out, indent=2)


def summarized(rounds):
    """The medians of a server's rounds, and every request it served and stored."""
    return {
        "latency_ms": statistics.median(r["latency_ms"] for r in rounds),
        "throughput": statistics.median(r["throughput"] for r in rounds),
        "served": sum(r["served"] for r in rounds),
        "stored": sum(r["stored"] for r in rounds),
    }


if __name__ == "__main__":
    main()
