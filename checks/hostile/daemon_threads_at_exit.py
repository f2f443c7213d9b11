"""Daemon threads still running traced code while the interpreter shuts down."""

import threading
import time


def spin():
    n = 0
    while True:
        n = step(n)


def step(n):
    time.sleep(0)
    return n + 1


for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.2)
print("main thread ends")
