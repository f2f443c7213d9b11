"""os.fork inside traced calls, from the main thread while other threads run traced code; the
child runs traced code and exits, the parent waits."""

import os
import sys
import threading
import time
import warnings

# Python 3.12 warns about forking with threads, naming the process id.
warnings.simplefilter("ignore", DeprecationWarning)
stop = threading.Event()


def background():
    # At a pace that keeps the trace under its size limit however slow the forks are: a tight
    # loop of three threads filled it on a slow run, and the dropped records were reported.
    n = 0
    while not stop.is_set():
        n = step(n)
        time.sleep(0.0001)


def step(n):
    return n + 1


def fork_inside(depth):
    if depth == 0:
        pid = os.fork()
        if pid == 0:
            print("child", step(1), flush=True)
            os._exit(0)
        return pid
    return fork_inside(depth - 1)


threads = [threading.Thread(target=background) for _ in range(3)]
for t in threads:
    t.start()
for _ in range(5):
    pid = fork_inside(10)
    _, status = os.waitpid(pid, 0)
    print(
        "parent saw",
        os.waitstatus_to_exitcode(status) if sys.version_info >= (3, 9) else status,
        flush=True,
    )
stop.set()
for t in threads:
    t.join()
