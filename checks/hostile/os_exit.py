"""os._exit deep inside traced calls: no cleanup, nothing flushed but what the program flushed."""

import os
import sys


def deep(n):
    if n == 0:
        print("about to leave", flush=True)
        sys.stderr.write("stderr line\n")
        sys.stderr.flush()
        os._exit(7)
    return deep(n - 1)


deep(30)
