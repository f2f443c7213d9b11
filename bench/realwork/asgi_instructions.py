"""Instructions per request of the ASGI benchmark's server, counted by callgrind: the same figure
from run to run, where this machine's timings move by a third.

    python bench/realwork/asgi_instructions.py [--mode plain|traced|unrecorded|unwritten]...

Each mode's server runs under valgrind twice, serving FEW and then MANY requests of one client
one after the other; the difference, divided by the difference in requests, leaves out start-up
and shutdown. MANY is large so that what happens only now and then (a full collection of the
interpreter's garbage, say) weighs in proportion: with 400 requests, two runs of 3.13 counted
1,465k and 1,358k per request; with 1,000, 1,354k and 1,353k. Under valgrind a request takes
some fifty times as long, so the writer gathers far fewer traces per batch than at full speed:
its share ("traced" less "unwritten") is only a rough figure, and the two modes without it are
the ones to compare.
"""

from __future__ import annotations

import argparse
import http.client
import os
import re
import signal
import subprocess
import sys
import tempfile

import wsgi

FEW, MANY = 100, 1000


def instructions(mode, requests, folder):
    """Every thread's instructions of one server serving `requests` requests."""
    port = wsgi.free_port()
    server = subprocess.Popen(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={folder}/{mode}-{requests}.out",
         sys.executable, os.path.join(wsgi.HERE, "asgi_shop.py"), str(port),
         os.path.join(folder, f"{mode}-{requests}.sqlite3"), mode,
         os.path.join(folder, f"{mode}-{requests}.count"), "monitoring"],
        cwd=folder, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    wsgi.wait_for(port, server, timeout=300.0)
    client = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    for number in range(requests):
        client.request("GET", f"/orders/{number}")
        client.getresponse().read()
    client.close()
    server.send_signal(signal.SIGINT)
    report = server.communicate(timeout=600)[1]
    return sum(int(count.replace(",", "")) for count in re.findall(r"refs:\s+([\d,]+)", report))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", action="append", choices=["plain", "traced", "unrecorded",
                        "unwritten"])  # fmt: skip
    modes = parser.parse_args().mode or ["plain", "unwritten"]
    with tempfile.TemporaryDirectory() as folder:
        per_request = {
            mode: (instructions(mode, MANY, folder) - instructions(mode, FEW, folder))
            / (MANY - FEW)
            for mode in modes
        }
    plain = per_request.get("plain")
    for mode, count in per_request.items():
        ratio = f" ({count / plain:.2f} × plain)" if plain and mode != "plain" else ""
        print(f"{mode}: {count / 1000:,.0f}k instructions per request{ratio}")


if __name__ == "__main__":
    main()
