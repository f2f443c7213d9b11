"""Many short threads that start and end while tracing, some ending with calls left open, some
replacing their own profile hook, some raising."""

import sys
import threading

results = []
lock = threading.Lock()


def leaf(i):
    return i * 2


def normal(i):
    value = leaf(i)
    with lock:
        results.append(value)


def drops_hook(i):
    def inner():
        sys.setprofile(None)
        return leaf(i)

    value = inner()
    with lock:
        results.append(value)


def raises(i):
    leaf(i)
    raise ValueError(f"thread {i}")


threading.excepthook = lambda args: None
for round_number in range(20):
    threads = []
    for i in range(10):
        target = (normal, drops_hook, raises)[i % 3]
        threads.append(threading.Thread(target=target, args=(round_number * 10 + i,)))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
print(len(results), sum(results))
