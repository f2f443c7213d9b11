"""Threads switching the interpreter lock as often as the interpreter allows, while all of them
run traced code that allocates."""

import sys
import threading

sys.setswitchinterval(1e-6)
totals = []
lock = threading.Lock()


def leaf(i):
    return [i] * 3


def work(n):
    total = 0
    for i in range(n):
        total += len(leaf(i))
    with lock:
        totals.append(total)


threads = [threading.Thread(target=work, args=(3000,)) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(sorted(totals))
