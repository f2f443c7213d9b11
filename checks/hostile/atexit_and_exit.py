"""atexit handlers that run traced code, raise, and call sys.exit."""

import atexit
import sys


def work(n):
    return n + 1


def first():
    print("first handler", work(1), flush=True)


def raising():
    raise ValueError("atexit failure")


def exiting():
    sys.exit(9)


atexit.register(first)
atexit.register(raising)
atexit.register(exiting)
print("main done")
