"""SIGINT arrives deep inside traced calls and is caught as KeyboardInterrupt by the program."""

import os
import signal


def deep(n):
    if n == 0:
        os.kill(os.getpid(), signal.SIGINT)
        for _ in range(1000):  # the handler runs at the next check
            pass
        return "not interrupted"
    return deep(n - 1)


for attempt in range(3):
    try:
        print(deep(50))
    except KeyboardInterrupt:
        print("interrupted", attempt)
