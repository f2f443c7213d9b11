"""The program replaces builtins that any Python code, the tracer's helpers included, might use,
with versions that count their calls; the counts must be the program's own."""

import builtins
import sys

NAMES = (
    "repr", "isinstance", "len", "getattr", "hasattr", "iter", "id", "str", "sorted", "hash",
    "min", "max", "any", "all", "list", "dict", "tuple", "issubclass", "callable",
)  # fmt: skip
counts = {}


def counting(name, original):
    def wrapper(*args, **kwargs):
        caller = sys._getframe(1).f_code.co_filename.rsplit("/", 1)[-1]
        counts[name, caller] = counts.get((name, caller), 0) + 1
        return original(*args, **kwargs)

    return wrapper


class Thing:
    def method(self, n):
        return n


def work(values):
    return [v for v in values]


saved = {name: builtins.__dict__[name] for name in NAMES}
builtins.__dict__.update({name: counting(name, saved[name]) for name in NAMES})
try:
    for i in range(20):
        work([i, {"k": i}, (i,), Thing(), "x" * i, b"y", 1.5, None, [[1]], {1, 2}])
        Thing().method(i)
finally:
    builtins.__dict__.update(saved)
print(sorted(counts.items()))
