"""Threads that fail: an uncaught exception reported by threading's excepthook, SystemExit in a
thread, and a main thread interrupted by another with _thread.interrupt_main."""

import _thread
import threading
import time


def fails():
    raise ValueError("failure in a thread")


def exits():
    raise SystemExit(4)


for target in (fails, exits):
    t = threading.Thread(target=target, name=target.__name__)
    t.start()
    t.join()


def interrupter():
    time.sleep(0.05)
    _thread.interrupt_main()


def busy():
    while True:
        time.sleep(0.001)


threading.Thread(target=interrupter).start()
try:
    busy()
except KeyboardInterrupt:
    print("main interrupted")
