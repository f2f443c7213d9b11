"""__del__ methods that run traced code, print, raise and collect garbage, called at moments the
program does not choose: while frames return, inside collections, and at exit."""

import gc
import sys

events = []
sys.unraisablehook = lambda u: events.append(("unraisable", type(u.exc_value).__name__))


def helper(n):
    return n + 1


class Noisy:
    def __init__(self, name):
        self.name = name
        self.cycle = self

    def __del__(self):
        events.append(("del", self.name, helper(len(events))))
        if self.name.endswith("raise"):
            raise RuntimeError("from __del__ " + self.name)


class Collector:
    def __del__(self):
        gc.collect()
        events.append(("collected inside del",))


def make_garbage(n):
    for i in range(n):
        Noisy(f"n{i}")
    local = Noisy("local-raise")
    return len(local.name)


def main():
    gc.disable()
    make_garbage(5)
    gc.collect()
    Collector()
    gc.collect()
    gc.enable()
    for entry in sorted(events):
        print(entry)


main()
