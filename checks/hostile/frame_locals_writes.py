"""The program reads and writes frame locals through frame objects while they are traced."""

import sys


def outer():
    a = 1
    b = 2
    inner()
    return a, b


def inner():
    caller = sys._getframe(1)
    seen = dict(caller.f_locals)
    try:
        caller.f_locals["b"] = 99  # a write-through proxy from 3.13 on, a snapshot before
    except TypeError:
        pass
    return sorted(seen)


def changes_own(x):
    locals()["x"] = 5
    sys._getframe().f_locals["y"] = 1
    return x


print(outer()[0], changes_own(3))
print(inner.__name__)
