"""threading.local values whose finalizers run traced code when their thread ends, and context
variables in threads and tasks."""

import asyncio
import contextvars
import threading

done = []
lock = threading.Lock()
current = contextvars.ContextVar("current", default="none")


def record(text):
    with lock:
        done.append(text)


class Goodbye:
    def __init__(self, name):
        self.name = name

    def __del__(self):
        record(f"goodbye {self.name}")


local = threading.local()


def worker(name):
    local.value = Goodbye(name)
    current.set(name)
    record(f"{name} sees {current.get()}")


threads = [threading.Thread(target=worker, args=(f"t{i}",)) for i in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()


async def task(name):
    current.set(name)
    await asyncio.sleep(0)
    return current.get()


async def main():
    return await asyncio.gather(*(task(f"task{i}") for i in range(5)))


print(asyncio.run(main()))
print(sorted(done))
