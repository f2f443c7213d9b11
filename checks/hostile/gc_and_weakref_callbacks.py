"""gc callbacks and weakref callbacks that run traced code at moments the program does not pick,
including inside the hook's own work."""

import gc
import weakref

log = []


def note(kind):
    log.append(kind)
    return len(log)


def gc_callback(phase, info):
    if phase == "stop":
        note("gc")


class Node:
    def __init__(self):
        self.other = self


def churn(n):
    refs = []
    for _ in range(n):
        node = Node()
        refs.append(weakref.ref(node, lambda ref: note("weakref")))
        del node
    gc.collect()
    return len(refs)


gc.callbacks.append(gc_callback)
gc.set_threshold(50, 5, 5)
print(churn(2000))
gc.callbacks.remove(gc_callback)
print(log.count("weakref"), log.count("gc") > 0)
