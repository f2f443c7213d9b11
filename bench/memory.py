"""Memory of the tracer: what its buffers cost per record, and whether repeated traces leak.

1. Buffers. One large trace (the user-heavy workload, about 200,000 frame records, shipped
   serializer) is taken in a fresh process. The growth of the process between just before
   registering and just after unregistering is measured twice: as the bytes that malloc hands out
   (glibc's mallinfo2: in-use chunks plus mmapped blocks, which is where C++ allocations live and
   which tracemalloc does not see) and as resident set size (/proc/self/statm). The sizes of the
   records are read from the built document itself, record by record. The overhead per record is
   (growth - sum of record sizes) / records.
2. Cycles. 1,000 register / trace / unregister / build cycles with a small workload, once on the
   main thread only and once with "threading" on and a thread started in each cycle. Resident set
   size, malloc's bytes in use and len(gc.get_objects()) are compared after a warm-up of 100
   cycles and after the 1,000 that follow.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import sys
import threading

import msgpack

import modes
from workloads import user_heavy

EVENTS_PER_ROUND = 38  # call and return events of one iteration of user_heavy.run
BUFFER_RECORDS = 200_000
WARM_CYCLES = 100
CYCLES = 1_000
CHECKPOINT = 250
# What "flat" allows over the 1,000 cycles: 64 bytes of malloc's bytes in use and 0.01 objects
# per cycle, and 256 bytes of RSS per cycle (64 pages in all: RSS moves by whole pages, and the
# allocators keep some freed pages, such as those of ended threads' stacks, for reuse).
FLAT_MALLOC = 64 * CYCLES
FLAT_RSS = 256 * CYCLES
FLAT_OBJECTS = CYCLES // 100
PAGE = os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
        )
    ]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # glibc before 2.33, or another libc
        return None
    function.restype = MallInfo2
    return function


_MALLINFO2 = _mallinfo2()


def malloc_in_use():
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def snapshot():
    gc.collect()
    return {"rss": rss(), "malloc": malloc_in_use(), "objects": len(gc.get_objects())}


def record_sizes(document):
    """The byte size of each record of a trace document, read off the encoded bytes."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document))
    unpacker.feed(document)
    sizes = []
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            sizes += _array_item_sizes(unpacker)
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()  # the thread's id
                sizes += _array_item_sizes(unpacker)
        else:
            unpacker.skip()
    return sizes


def _array_item_sizes(unpacker):
    sizes = []
    for _ in range(unpacker.read_array_header()):
        start = unpacker.tell()
        unpacker.skip()
        sizes.append(unpacker.tell() - start)
    return sizes


def buffers(native):
    size = -(-BUFFER_RECORDS // EVENTS_PER_ROUND)
    for _ in range(2):
        user_heavy.run(size)  # the workload's own memory is in place before the baseline
    profiler = modes.BenchProfiler({})
    before = snapshot()
    native.register_profiler(profiler)
    user_heavy.run(size)
    native.register_noop_profiler()
    after = snapshot()
    document = profiler.rust_profiler.build_trace()
    sizes = record_sizes(document)
    del document
    records = len(sizes)
    total = sum(sizes)
    del sizes
    result = {"records": records, "record_bytes": total, "mean_record_bytes": total / records}
    for measure in ("malloc", "rss"):
        if before[measure] is None:
            continue
        growth = after[measure] - before[measure]
        result[f"{measure}_growth"] = growth
        result[f"{measure}_overhead_per_record"] = (growth - total) / records
    profiler = None
    released = snapshot()
    # What stays after the document and the profiler are gone: malloc's figure shows whether the
    # buffers were freed; RSS may stay up, since the allocator keeps freed pages for reuse.
    for measure in ("malloc", "rss"):
        if before[measure] is not None:
            result[f"{measure}_left_after_release"] = released[measure] - before[measure]
    return result


def one_cycle(native, threaded):
    profiler = modes.BenchProfiler({"threading": True} if threaded else {})
    native.register_profiler(profiler)
    user_heavy.run(2)
    if threaded:
        worker = threading.Thread(target=user_heavy.run, args=(2,))
        worker.start()
        worker.join()
    native.register_noop_profiler()
    threading.setprofile(None)
    profiler.rust_profiler.build_trace()


def cycles(native, threaded):
    for _ in range(WARM_CYCLES):
        one_cycle(native, threaded)
    start = snapshot()
    checkpoints = []
    for done in range(1, CYCLES + 1):
        one_cycle(native, threaded)
        if done % CHECKPOINT == 0:
            now = snapshot()
            checkpoints.append(
                {key: now[key] - start[key] for key in now if start[key] is not None}
            )
    growth = checkpoints[-1]
    flat = (
        growth["objects"] <= FLAT_OBJECTS
        and growth["rss"] <= FLAT_RSS
        and growth.get("malloc", 0) <= FLAT_MALLOC
    )
    return {
        "cycles": CYCLES,
        "threaded": threaded,
        "growth": growth,
        "every": CHECKPOINT,
        "checkpoints": checkpoints,
        "flat": flat,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True)
    options = parser.parse_args()
    from vexo import _vexo

    result = {
        "python": platform.python_version(),
        "buffers": buffers(_vexo),
        "cycles": [cycles(_vexo, threaded) for threaded in (False, True)],
        "flat_limits": {"malloc": FLAT_MALLOC, "rss": FLAT_RSS, "objects": FLAT_OBJECTS},
    }
    found = result["buffers"]
    print(
        f"  buffers: {found['records']} records, mean {found['mean_record_bytes']:.0f} B;"
        f" overhead per record: malloc {found.get('malloc_overhead_per_record', 0):.1f} B,"
        f" RSS {found['rss_overhead_per_record']:.1f} B"
    )
    for cycle in result["cycles"]:
        print(f"  cycles (threaded={cycle['threaded']}): growth {cycle['growth']}")
        print(f"    every {cycle['every']}: {cycle['checkpoints']}; flat: {cycle['flat']}")
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
