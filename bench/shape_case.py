"""One run of one of the shapes that bench/shapes.py times, plainly or under `vexo run`; prints its
figures as one line of JSON. Only the workload is timed, not the interpreter's start-up or the
saving of the trace.

    python shape_case.py object-heavy|call-heavy|past-budget [--count]
"""

import json
import logging
import sys
import time
from functools import partial

from workloads import call_heavy, object_heavy, past_budget

# Chunks run plainly, and past the budget under the tracer; at most this many before it.
CHUNKS_AFTER = 40
MAX_CHUNKS = 2_000


class BudgetReached(logging.Handler):
    """Notes the chunk during which the tracer said the trace had reached its budget."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.chunk = None
        self.current = 0

    def emit(self, record):
        error = record.exc_info[1] if record.exc_info else None
        if self.chunk is None and isinstance(error, MemoryError):
            self.chunk = self.current


def count_events(run):
    counts = {"call": 0, "return": 0}

    def count(frame, event, arg):
        if event in counts:
            counts[event] += 1

    sys.setprofile(count)
    run()
    sys.setprofile(None)
    return counts["call"] + counts["return"]


def timed(run):
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def past_budget_chunks(traced, budget):
    """Seconds per chunk: up to the chunk that reaches the budget and CHUNKS_AFTER more when
    traced, else CHUNKS_AFTER chunks."""
    order = past_budget.make_order(7)
    seconds = []
    while len(seconds) < MAX_CHUNKS:
        budget.current = len(seconds)
        seconds.append(timed(lambda: past_budget.chunk(order, past_budget.CALLS_PER_CHUNK)))
        reached = budget.chunk if traced else 0
        if reached is not None and len(seconds) >= reached + CHUNKS_AFTER:
            break
    return seconds


def main():
    case = sys.argv[1]
    traced = sys.gettrace() is not None or sys.getprofile() is not None or "vexo" in sys.modules
    budget = BudgetReached()
    logging.getLogger("vexo").addHandler(budget)
    result = {"case": case}
    if case == "past-budget":
        result["chunk_seconds"] = past_budget_chunks(traced, budget)
        result["budget_chunk"] = budget.chunk
        result["chunk_events"] = 2 * past_budget.CALLS_PER_CHUNK + 2
    else:
        if case == "object-heavy":
            run = partial(object_heavy.run, 20_000)  # calls per method; `make bench` makes fewer
        else:
            run = partial(call_heavy.run, call_heavy.SIZE)
        result["seconds"] = timed(run)
        result["budget_reached"] = budget.chunk is not None
        if "--count" in sys.argv:
            result["events"] = count_events(run)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
