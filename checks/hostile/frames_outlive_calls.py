"""Frame objects kept after their calls returned, walked through f_back, cleared, and made for
every caller by inspect.stack()."""

import inspect
import sys


def capture():
    return sys._getframe()


def walk():
    frame = sys._getframe()
    names = []
    while frame is not None:
        names.append(frame.f_code.co_name)
        frame = frame.f_back
    return names


def deep(n):
    if n == 0:
        return [record.function for record in inspect.stack()][:5]
    return deep(n - 1)


kept = [capture() for _ in range(100)]
print(kept[0].f_code.co_name, kept[0].f_back is None or kept[0].f_back.f_code.co_name)
for frame in kept:
    frame.clear()
print(walk()[:2])  # a runner adds its own frames below the program's
print(deep(10))
