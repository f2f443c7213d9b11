"""The tracer's own hook is removed while it runs, by code it calls (a plugin, a __repr__, a
__del__ run by a collection inside the hook), when nothing else holds the tracer: the profiler
object let go of it right after registering."""

import gc
import sys

from vexo import _vexo
from vexo.profiler import Profiler


def stop_plugin(frame, event, arg, context):
    _vexo.register_noop_profiler()
    return True


def start_alone(config=None):
    profiler = Profiler(config or {}, db_path="unused.sqlite3")
    _vexo.register_profiler(profiler)
    profiler.rust_profiler = None  # from now on only the interpreter's hook holds the tracer


def watched(x):
    return x


class StopsInRepr:
    def __repr__(self):
        sys.setprofile(None)
        return "StopsInRepr()"


class StopsInDel:
    def __init__(self):
        self.cycle = self

    def __del__(self):
        sys.setprofile(None)


def hold(value):
    return value


start_alone(
    {
        "plugins": [
            {
                "co_names": ["watched"],
                "path_fragment": "",
                "call_type": "w",
                "return_type": "w_r",
                "call": stop_plugin,
            }
        ]
    }
)
print(watched(1))
start_alone()
print(hold(StopsInRepr()) is not None)
for _ in range(20):
    start_alone()
    gc.set_threshold(1)
    for _ in range(200):
        StopsInDel()
        hold([1, 2, 3])
    gc.set_threshold(700, 10, 10)
    sys.setprofile(None)
print("done")
