"""The program removes standard modules from sys.modules and blocks some imports while traced
code runs, the kind of thing test suites do to simulate missing dependencies."""

# hostile: warnings=allowed
import sys


class Thing:
    def method(self, n):
        return n + 1


def work(n):
    return Thing().method(n)


saved = {name: sys.modules[name] for name in ("inspect", "logging") if name in sys.modules}
for name in saved:
    del sys.modules[name]
print(work(1))
sys.modules["inspect"] = None
print(work(2))
del sys.modules["inspect"]
sys.modules.update(saved)
print(work(3))
