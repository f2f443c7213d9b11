"""A line tracer (as coverage tools install) running beside the profile hook, in the main thread
and, through threading.settrace, in later threads."""

import sys
import threading

lines = {}


def tracer(frame, event, arg):
    if frame.f_code.co_name == "counted":
        if event == "line":
            lines[frame.f_lineno] = lines.get(frame.f_lineno, 0) + 1
        return tracer
    return None


def counted(n):
    total = 0
    for i in range(n):
        total += i
    return total


sys.settrace(tracer)
threading.settrace(tracer)
print(counted(10))
thread = threading.Thread(target=counted, args=(5,))
thread.start()
thread.join()
sys.settrace(None)
threading.settrace(None)
print(sorted(lines.values()))
