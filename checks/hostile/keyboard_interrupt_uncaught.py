"""An uncaught KeyboardInterrupt ends the program: python reports it and dies of SIGINT."""

import os
import signal


def deep(n):
    if n == 0:
        os.kill(os.getpid(), signal.SIGINT)
        while True:
            pass
    return deep(n - 1)


print("before")
deep(20)
