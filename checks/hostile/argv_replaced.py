"""The program replaces sys.argv with values that are not a list of texts, and deletes it."""
# hostile: known=vexo-run-cannot-build-a-trace-without-a-text-list-argv
# (The trace document holds sys.argv, which must be a list of texts: `vexo run` reports that it
# cannot save the trace and exits with 1. The command knows the argv it gave the program and
# could put it back before building.)

import sys


def work(n):
    return n + 1


original = sys.argv
sys.argv = [1, b"bytes", None]
work(1)
sys.argv = "not a list"
work(2)
del sys.argv
work(3)
print("argv gone:", not hasattr(sys, "argv"))
