"""The program runs tracemalloc and compares its own allocation snapshots."""

import tracemalloc


def allocate(n):
    return [bytes(100) for _ in range(n)]


tracemalloc.start(5)
kept = allocate(1000)
size, peak = tracemalloc.get_traced_memory()
print("traced at least 100 KB:", size >= 100_000)
snapshot = tracemalloc.take_snapshot()
print("snapshot has statistics:", len(snapshot.statistics("lineno")) > 0)
tracemalloc.stop()
