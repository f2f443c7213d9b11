"""The ways of running a workload that the benchmark compares.

Each mode gives, for one run, a `begin` and an `end` callable to put around the workload. For the
tracers they are built-in (C) callables, so that no Python frame of the benchmark itself starts or
ends while a tracer is on and lands in its data. `discard` drops what the run recorded, so that
memory does not pile up over the repeated runs; asked to, it first says how much the tracer
recorded and in how many threads, which shows that a tracer saw what it should.
"""

from __future__ import annotations

import cProfile
import sys
import threading
from functools import partial
from pathlib import Path

import msgpack

import floor

WORKLOADS_DIR = str(Path(__file__).resolve().parent / "workloads")
ONE_BYTE = b"\xc0"


class BenchProfiler:
    """The profiler object the native core asks for; its own __call__ is never reached."""

    def __init__(self, config):
        self.config = config
        self.db_path = "unused.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01HF7YAT00AAAAAAAAAAAAAAAA"
        self.source = "bench"

    def __call__(self, frame, event, arg):
        return None


def nothing():
    return None


class Untraced:
    name = "untraced"
    what = "no profile hook at all"

    def supports(self, workload):
        return True

    def prepare(self, workload):
        return nothing, nothing

    def discard(self, count=False):
        return None


class Floor:
    name = "floor"
    what = "a C profile hook that returns at once (PyEval_SetProfile), built by the benchmark"

    def __init__(self):
        self.module = floor.load()

    def supports(self, workload):
        return True

    def prepare(self, workload):
        if workload.threaded:
            return self._begin_threaded, self.module.uninstall
        return self.module.install, self.module.uninstall

    def _begin_threaded(self):
        threading.setprofile(self.module.install_in_thread)
        self.module.install()

    def discard(self, count=False):
        return None


class CProfile:
    name = "cProfile"
    what = "cProfile.Profile() with its defaults (C functions included), enable/disable"

    def __init__(self):
        self.profiler = None

    def supports(self, workload):
        # cProfile watches the thread that enables it only (before 3.12), so the threaded
        # workload would measure a main thread that merely waits.
        return not workload.threaded

    def prepare(self, workload):
        self.profiler = cProfile.Profile()
        return self.profiler.enable, self.profiler.disable

    def discard(self, count=False):
        self.profiler = None
        return None


class Vexo:
    name = "vexo"
    what = (
        "our tracer, with the shipped serializer in the package's default values mode"
        " (vexo.serialize.dump_msgpack_in_trace)"
    )
    values: str | None = "safe"  # the configuration's "values", as vexo.Profiler gives it

    def __init__(self):
        from vexo import _vexo

        self.native = _vexo
        self.profiler = None

    def supports(self, workload):
        return True

    def prepare(self, workload):
        config = {"threading": True} if workload.threaded else {}
        if self.values is not None:
            config["values"] = self.values
        self.profiler = BenchProfiler(config)
        return partial(self.native.register_profiler, self.profiler), (
            self.native.register_noop_profiler
        )

    def discard(self, count=False):
        document = self.profiler.rust_profiler.build_trace()
        self.profiler = None
        return frame_records(document) if count else None


class VexoMonitoring(Vexo):
    name = "vexo-mon"
    what = "our tracer on the monitoring backend (3.12+), with the shipped serializer"

    def __init__(self):
        super().__init__()
        if sys.version_info >= (3, 12):
            from vexo import _vexo_monitoring

            self.native = _vexo_monitoring

    def supports(self, workload):
        return sys.version_info >= (3, 12)


class VexoMonitoringFiltered(VexoMonitoring):
    name = "vexo-mon-filtered"
    what = (
        "vexo-mon with the workload's own files ignored too: every event is a filtered one, so"
        " that the cost of a filtered event is seen apart from the few calls recorded"
    )

    def supports(self, workload):
        return super().supports(workload) and workload.name == "library-heavy"

    def prepare(self, workload):
        begin, end = super().prepare(workload)
        self.profiler.config["filters"] = {"include_frames": [], "ignore_frames": [WORKLOADS_DIR]}
        return begin, end


class VexoConstant(Vexo):
    name = "vexo-const"
    what = "our tracer with a serializer that returns the one byte 0xc0 (nil): the core's own cost"
    values = None  # the core's own default: vexo.serialize.dump_msgpack, replaced here

    def __init__(self):
        super().__init__()
        import vexo.serialize

        self.serialize = vexo.serialize
        self.saved = None

    def prepare(self, workload):
        self.saved = (self.serialize.dump_msgpack, self.serialize.dump_msgpack_lightweight_repr)
        self.serialize.dump_msgpack = constant_dump
        self.serialize.dump_msgpack_lightweight_repr = constant_dump
        return super().prepare(workload)

    def discard(self, count=False):
        self.serialize.dump_msgpack, self.serialize.dump_msgpack_lightweight_repr = self.saved
        return super().discard(count)


def constant_dump(value):
    return ONE_BYTE


class VizTracer:
    name = "viztracer"
    what = "VizTracer() with its defaults (C functions included), start/stop, clear()"

    def __init__(self, **options):
        import viztracer

        self.tracer = viztracer.VizTracer(verbose=0, register_global=False, **options)
        # Its constructor, not start(), hands threading its hook for later threads (where the
        # interpreter needs one); each run puts it back, since every run ends by clearing hooks.
        self.thread_hook = threading.getprofile()
        threading.setprofile(None)

    def supports(self, workload):
        return True

    def prepare(self, workload):
        threading.setprofile(self.thread_hook)
        return self.tracer.start, self.tracer.stop

    def discard(self, count=False):
        seen = None
        if count:
            threads = {}
            for entry in self.tracer.load():
                if entry.get("ph") == "X":
                    threads[entry["tid"]] = threads.get(entry["tid"], 0) + 1
            seen = {"entries": sum(threads.values()), "threads": len(threads)}
        self.tracer.clear()
        return seen


class VizTracerArgs(VizTracer):
    name = "viztracer-args"
    what = (
        "VizTracer(log_func_args=True, log_func_retval=True,"
        " include_files=[bench/workloads, threading.py])"
    )

    def __init__(self):
        # VizTracer skips everything below a frame that include_files leaves out, and a thread
        # starts in threading.py: without that file the workers' frames would not be recorded.
        super().__init__(
            log_func_args=True,
            log_func_retval=True,
            include_files=[WORKLOADS_DIR, threading.__file__],
        )


def frame_records(document):
    """How many frame records a trace document holds, and in how many threads."""
    trace = msgpack.unpackb(document, raw=False, strict_map_key=False)
    per_thread = [trace["frames_of_interest"], *trace["frames"].values()]
    counts = [
        sum(1 for record in records if record.get("type") == "frame") for records in per_thread
    ]
    return {"entries": sum(counts), "threads": sum(1 for number in counts if number)}


MODES = [
    Untraced,
    Floor,
    CProfile,
    Vexo,
    VexoMonitoring,
    VexoMonitoringFiltered,
    VexoConstant,
    VizTracer,
    VizTracerArgs,
]


def make_modes():
    return [mode() for mode in MODES]


def no_hook_left():
    """Leaves no profile hook behind for the next run, and says whether one was left."""
    left = sys.getprofile() is not None or threading.getprofile() is not None
    sys.setprofile(None)
    threading.setprofile(None)
    return not left
