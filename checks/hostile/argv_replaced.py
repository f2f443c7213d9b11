"""The program replaces sys.argv with values that are not a list of texts, and deletes it."""
# (The trace document holds sys.argv, which must be a sequence of texts: `vexo run` builds the
# trace with the argv it gave the program.)

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
