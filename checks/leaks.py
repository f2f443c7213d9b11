"""Reference and memory leaks: repeated register, trace, build and save cycles leave the process
as they found it.

    python checks/leaks.py [--cycles N] [--jobs N] [SCENARIO...]

Each scenario runs in a child process of its own (the interpreter's allocator is switched to
malloc there, so that the C heap counts every allocation): a warm-up of cycles, then two windows
of N cycles each with a measurement before, between and after them. A leak grows in every
window; growth in one window only is a one-time cost (the interpreter resizing its table of
interned strings, the heap's high-water mark) and passes. Over both windows, these must stay
flat:

- the number of objects the garbage collector tracks (gc.get_objects()), and of VexoProfiler
  instances in particular;
- the reference counts of objects the tracer is handed in every cycle (plugin callables and
  their context, configuration, serializer and save functions, values passed to traced code);
- the memory tracemalloc sees allocated by Python code;
- the C heap in use (glibc's mallinfo2: what the tracer itself allocates shows only here);
- the resident set size.

Scenarios cover the normal paths and an error on every path: raising and wrong-typed
serializers, raising plugins, failing saves, bad configurations and profiler objects, failing
warnings, one trace per test with markers, threads, frames left open, hooks removed from inside.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import ctypes
import gc
import json
import logging
import os
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc

# Allowed growth over one window, whatever the number of cycles: a leak of one object, one
# reference or a hundred bytes per cycle goes far past these after a few hundred.
MAX_OBJECTS = 20
MAX_REFERENCES = 2
MAX_TRACED_BYTES = 24 * 1024
MAX_HEAP_BYTES = 128 * 1024
MAX_RSS_BYTES = 2 * 1024 * 1024
DEFAULT_CYCLES = 300
MONITORING = os.environ.get("VEXO_CHECK_BACKEND") == "monitoring"
WARM_UP = 60


class Profile:
    """What the package's profiler object offers the tracer."""

    def __init__(self, config=None, **attributes):
        self.config = {} if config is None else config
        self.db_path = attributes.get("db_path", "unused.sqlite3")
        self.one_trace_per_test = attributes.get("one_trace_per_test", False)
        self.trace_id = attributes.get("trace_id", "trc_01HF7YAT00AAAAAAAAAAAAAAAA")
        self.source = attributes.get("source", "leaks")

    def __call__(self, frame, event, arg):
        return None


# The traced program of every cycle.


class Basket:
    def __init__(self, items):
        self.items = list(items)

    def total(self, discount=0.0):
        return sum(price for _, price in self.items) * (1 - discount)

    def __repr__(self):
        return f"Basket({len(self.items)})"


class Unprintable:
    def __repr__(self):
        raise ValueError("no repr")


def numbers(count):
    for value in range(count):
        yield value * 2


def fails(depth):
    if depth == 0:
        raise KeyError("deep")
    return fails(depth - 1)


def start_test(nodeid):
    return nodeid


def end_test(nodeid):
    return nodeid


def leaf(value, payload):
    copy = dict(payload)
    return len(copy) + value


def workload(payload, marker):
    basket = Basket([("tea", 4.5), ("scone", 2.25)] * 3)
    total = basket.total(0.1)
    total += sum(numbers(20))
    for value in range(10):
        total += leaf(value, payload)
    try:
        fails(5)
    except KeyError:
        total += 1
    holder = [marker, Unprintable()]
    return total, len(holder)


def threaded_workload(payload, marker):
    threads = [threading.Thread(target=workload, args=(payload, marker)) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return workload(payload, marker)


def test_markers(payload, marker):
    for number in range(3):
        start_test(f"test_{number}")
        workload(payload, marker)
        end_test(f"test_{number}")


def tracer():
    """The native tracer the check drives: vexo._vexo, or with VEXO_CHECK_BACKEND=monitoring the
    monitoring module that _vexo makes."""
    from vexo import _vexo

    if MONITORING:
        from vexo import _vexo_monitoring

        return _vexo_monitoring
    return _vexo


def stop_tracing(keep_armed=False):
    if keep_armed:
        tracer().register_noop_profiler(keep_armed=True)
    else:
        tracer().register_noop_profiler()


# Scenarios: each returns (cycle function, objects whose reference counts must stay flat).


def plugin_descriptions(call=None, process=None, build_context=None, **extra):
    description = {
        "co_names": ["leaf", "fails", "total", "start_test", "end_test"],
        "path_fragment": "",
        "call_type": "plugin_call",
        "return_type": "plugin_return",
        "subtype": "leaks",
    }
    for key, value in (("call", call), ("process", process), ("build_context", build_context)):
        if value is not None:
            description[key] = value
    description.update(extra)
    return [description]


class Scenario:
    def __init__(self, name):
        self.name = name
        self.payload = {f"key{i}": list(range(20)) for i in range(30)}
        self.marker = object()
        self.watched = [self.payload, self.marker]
        self.config = {}
        self.profile_attributes = {}
        self.program = workload
        self.plugins = []
        self.save = None
        self.after = "build"  # or "save", "both", "none"
        self.keep_armed = False

    def install(self):
        import vexo.db
        import vexo.plugins

        plugins = self.plugins
        vexo.plugins.load_plugin_data = lambda config: list(plugins)
        if self.save is not None:
            vexo.db.save_trace_in_sqlite = self.save

    def cycle(self):
        _vexo = tracer()

        profile = Profile(dict(self.config), **self.profile_attributes)
        try:
            _vexo.register_profiler(profile)
        except BaseException:
            return
        try:
            self.program(self.payload, self.marker)
        finally:
            stop_tracing(self.keep_armed)
            threading.setprofile(None)
        native = profile.rust_profiler
        if self.after in ("save", "both"):
            try:
                native.save_request_in_db()
            except Exception:
                pass
            import vexo.db

            vexo.db.flush()  # traces still queued for the writer are not leaks
        if self.after in ("build", "both"):
            native.build_trace()


def scenario_plain(s):
    pass


def scenario_lightweight(s):
    s.config = {"lightweight_repr": True}


def scenario_filters(s):
    s.config = {"filters": {"include_frames": ["/leaks"], "ignore_frames": ["/nothing/"]}}


def scenario_save(s):
    saved = []

    def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
        saved.append(len(msgpack))
        del saved[:]

    s.save = save_trace_in_sqlite
    s.watched.append(save_trace_in_sqlite)
    s.after = "both"


def scenario_save_to_sqlite(s):
    folder = tempfile.mkdtemp(prefix="vexo-leaks-")
    s.profile_attributes = {"db_path": os.path.join(folder, "traces.sqlite3")}
    s.after = "save"


def scenario_save_raises(s):
    def save_trace_in_sqlite(*args, **kwargs):
        raise OSError("disk full")

    s.save = save_trace_in_sqlite
    s.watched.append(save_trace_in_sqlite)
    s.after = "both"


def scenario_save_missing(s):
    import vexo.db

    real = vexo.db.save_trace_in_sqlite
    del vexo.db.save_trace_in_sqlite
    s.watched.append(real)
    s.after = "both"


def scenario_plugins(s):
    def call(frame, event, arg, context):
        context["calls"] += 1
        return True

    def process(frame, event, arg, context):
        return {"line": frame.f_lineno, "payload": context["payload"]}

    def build_context(config):
        return {"calls": 0, "payload": [1, 2, 3]}

    s.plugins = plugin_descriptions(call, process, build_context) + plugin_descriptions(
        events=["return"]
    )
    s.watched += [call, process, build_context]


def scenario_plugins_raising(s):
    def call(frame, event, arg, context):
        if frame.f_code.co_name == "fails":
            raise RuntimeError("call")
        return frame.f_code.co_name != "leaf" or 1  # not a bool for leaf: refused

    def process(frame, event, arg, context):
        if event == "return":
            raise ValueError("process")
        return ["not", "a", "mapping"] if frame.f_code.co_name == "total" else {"type": 5}

    s.plugins = plugin_descriptions(call, process)
    s.watched += [call, process]


def scenario_plugin_context_raising(s):
    def build_context(config):
        raise RuntimeError("no context")

    s.plugins = plugin_descriptions(build_context=build_context)
    s.watched.append(build_context)


def scenario_serializer_raises(s):
    import vexo.serialize

    real = vexo.serialize.dump_msgpack

    def dump_msgpack(value):
        if isinstance(value, dict) and "copy" in value:
            raise RuntimeError("serializer")
        return real(value)

    vexo.serialize.dump_msgpack = dump_msgpack
    s.watched.append(dump_msgpack)


def scenario_serializer_wrong_type(s):
    import vexo.serialize

    real = vexo.serialize.dump_msgpack

    def dump_msgpack(value):
        if isinstance(value, int):
            return "text"
        if isinstance(value, dict) and "value" in value:
            return [1, 2, 300]  # not bytes
        return real(value)

    vexo.serialize.dump_msgpack = dump_msgpack
    s.watched.append(dump_msgpack)


def scenario_bad_configurations(s):
    import vexo.plugins

    configurations = [
        [],
        {"filters": "not a dict"},
        {"filters": {"include_frames": "x", "ignore_frames": [1, 2]}},
        {"sqlite_busy_timeout": -1},
        {"sqlite_busy_timeout": "60"},
        {"threading": "yes", "lightweight_repr": 1},
        {"plugins": "not a list"},
    ]
    bad_profiles = [
        {"trace_id": 5},
        {"source": None},
        {"one_trace_per_test": "yes"},
    ]
    loaders = [
        lambda config: "not a list",
        lambda config: [{"co_names": "leaf"}],
        lambda config: [{"co_names": ["leaf"], "path_fragment": 1}],
        lambda config: 1 / 0,
        "not callable",
    ]

    def cycle():
        _vexo = tracer()

        for config in configurations:
            try:
                _vexo.register_profiler(Profile(config))
            except BaseException:
                pass
        for attributes in bad_profiles:
            try:
                _vexo.register_profiler(Profile({}, **attributes))
            except BaseException:
                pass
        missing = Profile({})
        del missing.db_path
        for profile in (missing, object(), None):
            try:
                _vexo.register_profiler(profile)
            except BaseException:
                pass
        real = vexo.plugins.load_plugin_data
        for loader in loaders:
            vexo.plugins.load_plugin_data = loader
            try:
                _vexo.register_profiler(Profile({}))
            except BaseException:
                pass
        vexo.plugins.load_plugin_data = real
        _vexo.register_noop_profiler()

    s.cycle = cycle
    s.watched += configurations + bad_profiles + loaders


def scenario_warning_fails(s):
    import vexo.serialize

    real = vexo.serialize.dump_msgpack

    def dump_msgpack(value):
        if isinstance(value, dict) and "copy" in value:
            raise RuntimeError("serializer")
        return real(value)

    class Refuses(logging.Handler):
        def emit(self, record):
            raise RuntimeError("handler")

        def handleError(self, record):
            raise RuntimeError("handleError")

    logger = logging.getLogger("vexo")
    logger.addHandler(Refuses())
    logger.propagate = False
    sys.unraisablehook = lambda unraisable: None
    vexo.serialize.dump_msgpack = dump_msgpack
    s.watched.append(dump_msgpack)


def scenario_one_trace_per_test(s):
    saved = []

    def save_trace_in_sqlite(db_path, trace_id, *, timeout, msgpack):
        saved.append(trace_id)
        del saved[:]

    s.save = save_trace_in_sqlite
    s.profile_attributes = {"one_trace_per_test": True}
    s.plugins = [
        {
            "co_names": ["start_test"],
            "path_fragment": "",
            "call_type": "start_test",
            "return_type": "start_test_return",
            "events": ["call"],
        },
        {
            "co_names": ["end_test"],
            "path_fragment": "",
            "call_type": "end_test",
            "return_type": "end_test_return",
            "events": ["call"],
        },
    ]
    s.program = test_markers
    s.watched.append(save_trace_in_sqlite)


def scenario_one_trace_per_test_failing_saves(s):
    scenario_one_trace_per_test(s)

    def save_trace_in_sqlite(*args, **kwargs):
        raise OSError("locked")

    s.save = save_trace_in_sqlite
    s.watched.append(save_trace_in_sqlite)


def scenario_threads(s):
    s.config = {"threading": True}
    s.program = threaded_workload


def scenario_frames_left_open(s):
    def stops_inside(payload, marker):
        _vexo = tracer()

        suspended = numbers(5)
        next(suspended)
        workload(payload, marker)
        _vexo.register_noop_profiler()  # this call's return is never seen
        return suspended

    s.program = stops_inside


def scenario_hook_removed_from_inside(s):
    def stop(frame, event, arg, context):
        sys.setprofile(None)
        return True

    def program(payload, marker):
        workload(payload, marker)
        leaf(1, payload)  # its plugin removes the hook

    s.plugins = [
        {
            "co_names": ["leaf"],
            "path_fragment": "",
            "call_type": "c",
            "return_type": "r",
            "call": stop,
        }
    ]
    s.program = program
    s.watched.append(stop)


def scenario_kept_armed(s):
    # A server's per-request profilers: the monitoring backend stays armed between cycles.
    s.keep_armed = MONITORING


def scenario_profile_put_back(s):
    def own(frame, event, arg):
        return None

    def program(payload, marker):
        saved = sys.getprofile()
        sys.setprofile(own)
        leaf(1, payload)
        sys.setprofile(saved)
        workload(payload, marker)

    s.program = program
    s.watched.append(own)


SCENARIOS = {
    name[len("scenario_") :]: function
    for name, function in sorted(globals().items())
    if name.startswith("scenario_")
}


# Measurement, in the child.


def heap_in_use():
    try:
        libc = ctypes.CDLL(None)

        class MallInfo2(ctypes.Structure):
            _fields_ = [
                (name, ctypes.c_size_t)
                for name in (
                    "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                    "fsmblks", "uordblks", "fordblks", "keepcost",
                )
            ]  # fmt: skip

        libc.mallinfo2.restype = MallInfo2
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
    except (OSError, AttributeError):
        return 0


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(scenario):
    gc.collect()
    gc.collect()
    profilers = sum(1 for o in gc.get_objects() if type(o).__name__ == "VexoProfiler")
    return {
        "objects": len(gc.get_objects()),
        "profilers": profilers,
        "references": [sys.getrefcount(o) for o in scenario.watched],
        "profiler_type": sys.getrefcount(scenario.profiler_type),
        "traced": tracemalloc.get_traced_memory()[0],
        "heap": heap_in_use(),
        "rss": resident_bytes(),
    }


def profiler_type():
    """The VexoProfiler class, taken before a scenario changes anything."""
    _vexo = tracer()

    profile = Profile({})
    _vexo.register_profiler(profile)
    _vexo.register_noop_profiler()
    return type(profile.rust_profiler)


def run_cycles(scenario, count):
    for _ in range(count):
        scenario.cycle()
        # A profiler left in a reference cycle (a frame left open holds the caller's locals) holds
        # its buffers until the collector runs; collecting the young objects now keeps that
        # garbage from raising the heap's high-water mark, which the resident set never gives back.
        gc.collect(1)


def run_child(name, cycles):
    scenario = Scenario(name)
    scenario.profiler_type = profiler_type()
    SCENARIOS[name](scenario)
    scenario.install()
    # A warning whose arguments cannot be shown makes logging print its own traceback, and the
    # traceback module caches what it parses there: growth of the standard library, not ours.
    logging.raiseExceptions = False
    tracemalloc.start(1)
    run_cycles(scenario, WARM_UP)
    before = measure(scenario)
    started = time.monotonic()
    run_cycles(scenario, cycles)
    middle = measure(scenario)
    run_cycles(scenario, cycles)
    seconds = time.monotonic() - started
    after = measure(scenario)
    print(json.dumps({"before": before, "middle": middle, "after": after, "seconds": seconds}))


# The parent.


def check(name, result):
    before, middle, after = result["before"], result["middle"], result["after"]
    problems = []

    def over(what, limit, unit=""):
        first, second = middle[what] - before[what], after[what] - middle[what]
        if first > limit and second > limit:
            problems.append(
                f"{what} grew by {first}{unit} and {second}{unit} (allowed {limit}{unit})"
            )

    over("objects", MAX_OBJECTS)
    over("profilers", 0)
    over("profiler_type", MAX_REFERENCES)
    over("traced", MAX_TRACED_BYTES, " bytes")
    over("heap", MAX_HEAP_BYTES, " bytes")
    over("rss", MAX_RSS_BYTES, " bytes")
    for index, (first, second, last) in enumerate(
        zip(before["references"], middle["references"], after["references"], strict=True)
    ):
        if second - first > MAX_REFERENCES and last - second > MAX_REFERENCES:
            grown = f"{second - first} and {last - second}"
            problems.append(f"references to watched object {index} grew by {grown}")
    return problems


def run_scenario(python, name, cycles):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    started = time.monotonic()
    try:
        completed = subprocess.run(
            [python, __file__, "--child", name, "--cycles", str(cycles)],
            capture_output=True,
            text=True,
            timeout=900,
            env=env,
            cwd=tempfile.gettempdir(),
        )
    except subprocess.TimeoutExpired:
        return name, None, ["timed out"], time.monotonic() - started
    if completed.returncode != 0:
        failure = f"exit status {completed.returncode}: {completed.stderr[-3000:]}"
        return name, None, [failure], time.monotonic() - started
    result = json.loads(completed.stdout.strip().splitlines()[-1])
    return name, result, check(name, result), time.monotonic() - started


def describe(result):
    before, middle, after = result["before"], result["middle"], result["after"]

    def grown(what, scale=1):
        first, second = middle[what] - before[what], after[what] - middle[what]
        return f"{first // scale:+d}/{second // scale:+d}"

    return (
        f"objects {grown('objects')}, traced {grown('traced')} B, heap {grown('heap')} B, "
        f"rss {grown('rss', 1024)} KiB"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cycles", type=int, default=DEFAULT_CYCLES)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("scenarios", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    if args.child:
        run_child(args.child, args.cycles)
        return 0
    names = args.scenarios or list(SCENARIOS)
    unknown = set(names) - set(SCENARIOS)
    if unknown:
        parser.error(f"unknown scenarios {sorted(unknown)}; known: {sorted(SCENARIOS)}")
    python = os.path.abspath(args.python)
    failed = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        futures = [pool.submit(run_scenario, python, name, args.cycles) for name in names]
        for future in futures:
            name, result, problems, seconds = future.result()
            summary = describe(result) if result else ""
            verdict = "FAILED" if problems else "ok"
            print(f"{verdict:6} {name} ({seconds:.1f} s) {summary}", flush=True)
            for problem in problems:
                print("    " + problem.replace("\n", "\n    "), flush=True)
            if problems:
                failed.append(name)
    print(
        f"{len(names) - len(failed)} of {len(names)} scenarios flat over two windows of "
        f"{args.cycles} cycles; "
        f"{time.monotonic() - started:.0f} s"
    )
    if failed:
        print("failed: " + " ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
