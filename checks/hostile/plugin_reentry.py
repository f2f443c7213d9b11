"""Plugins of the program's own that call back into vexo while the tracer runs them: one builds
the trace, one saves it, one stops tracing, one starts a new profiler, one raises."""

# hostile: warnings=allowed
import os

from vexo import _vexo
from vexo.profiler import Profiler

db = os.path.join(os.getcwd(), "plugins.sqlite3")
holder = {}


def builds(frame, event, arg, context):
    holder["profiler"].rust_profiler.build_trace()
    return {"built": True}


def saves(frame, event, arg, context):
    holder["profiler"].rust_profiler.save_request_in_db()
    return {"saved": True}


def stops(frame, event, arg, context):
    _vexo.register_noop_profiler()
    return True


def restarts(frame, event, arg, context):
    fresh = Profiler({}, db_path=db)
    _vexo.register_profiler(fresh)
    holder["fresh"] = fresh
    return True


def raises(frame, event, arg, context):
    raise RuntimeError("plugin failure")


def description(name, **callables):
    return {
        "co_names": [name],
        "path_fragment": "",
        "call_type": name,
        "return_type": name + "_r",
        **callables,
    }


plugins = [
    description("build_here", process=builds),
    description("save_here", process=saves),
    description("stop_here", call=stops),
    description("restart_here", call=restarts),
    description("raise_here", call=raises, process=raises),
]


def build_here():
    return 1


def save_here():
    return 2


def stop_here():
    return 3


def restart_here():
    return 4


def raise_here():
    return 5


for _ in range(3):
    profiler = Profiler({"plugins": plugins}, db_path=db)
    holder["profiler"] = profiler
    _vexo.register_profiler(profiler)
    print(build_here(), save_here(), raise_here(), restart_here(), stop_here(), build_here())
_vexo.register_noop_profiler()
print("done")
