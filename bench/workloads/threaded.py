"""Four threads of the user-heavy workload at once."""

import threading

from workloads import user_heavy

THREADS = 4


def run(size):
    workers = [threading.Thread(target=user_heavy.run, args=(size,)) for _ in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


SIZE = user_heavy.SIZE // THREADS
