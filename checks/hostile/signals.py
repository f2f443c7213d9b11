"""Signal handlers running Python code between any two bytecodes of traced code, including one
that raises out of the handler."""

import os
import signal

count = 0


class Alarm(Exception):
    pass


def handler(signum, frame):
    global count
    count += 1
    if count % 50 == 0:
        raise Alarm(count)


def work(i):
    os.kill(os.getpid(), signal.SIGUSR1)
    return i


signal.signal(signal.SIGUSR1, handler)
caught = 0
for i in range(500):
    try:
        work(i)
    except Alarm:
        caught += 1
print("handled", count, "raised", caught)
