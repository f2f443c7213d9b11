"""Recursion to the limit, over and over, with values in every frame; the depth reached and the
errors seen must not change under the tracer."""
# The frames at the limit cannot be recorded (gathering them raises RecursionError too), and the
# tracer says so once per trace with the count of the repeats.
# hostile: warnings=allowed

import sys


def depth(n):
    try:
        return depth(n + 1)
    except RecursionError:
        return n


def recurse_with_locals(n, payload):
    local = {"n": n, "payload": payload}
    if n == 0:
        return local
    return recurse_with_locals(n - 1, payload)


first = depth(0)
again = depth(0)
print("same depth twice:", first == again)
limit = sys.getrecursionlimit()
print("reached most of the limit:", first > limit - 100)
recurse_with_locals(limit - 100, list(range(50)))
try:
    recurse_with_locals(limit * 2, None)
except RecursionError:
    print("RecursionError")
sys.setrecursionlimit(100)
low = depth(0)
print("low limit depth in range:", 50 < low < 100)
try:
    recurse_with_locals(200, [1, 2, 3])
except RecursionError:
    print("RecursionError at a low limit")
