"""A generator started on one thread and resumed on others, and a coroutine driven by hand from
several threads."""

import threading


def numbers():
    total = 0
    for i in range(100):
        received = yield i
        total += received or 0
    return total


gen = numbers()
next(gen)
results = []


def drive(count):
    for _ in range(count):
        try:
            results.append(gen.send(1))
        except StopIteration:
            return


for _ in range(10):
    thread = threading.Thread(target=drive, args=(9,))
    thread.start()
    thread.join()
drive(5)
print(len(results), results[-1])


async def coro():
    import types

    @types.coroutine
    def pause():
        yield "paused"

    for _ in range(5):
        await pause()
    return "finished"


c = coro()
c.send(None)
outcome = []


def step():
    try:
        c.send(None)
    except StopIteration as stop:
        outcome.append(stop.value)


for _ in range(5):
    t = threading.Thread(target=step)
    t.start()
    t.join()
print(outcome)
