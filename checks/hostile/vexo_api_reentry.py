"""The program drives vexo itself from inside traced code: nested registrations, stopping inside
a call, building and saving traces while calls are open, and a second profiler replacing the
first."""

import os

import msgpack

from vexo import _vexo
from vexo.profiler import Profiler

db = os.path.join(os.getcwd(), "reentry.sqlite3")


def leaf(x):
    return x + 1


def stop_inside():
    _vexo.register_noop_profiler()
    return leaf(1)


def build_inside(profiler):
    document = profiler.rust_profiler.build_trace()
    return len(msgpack.unpackb(document, strict_map_key=False)["frames_of_interest"])


def save_inside(profiler):
    profiler.rust_profiler.save_request_in_db()
    return leaf(2)


def replace_inside():
    second = Profiler({}, db_path=db)
    _vexo.register_profiler(second)
    leaf(3)
    return second


first = Profiler({}, db_path=db)
_vexo.register_profiler(first)
leaf(0)
print("records before build", build_inside(first) >= 1)
save_inside(first)
second = replace_inside()
leaf(4)
stop_inside()
leaf(5)
print(len(msgpack.unpackb(second.rust_profiler.build_trace(), strict_map_key=False)["frames"]))
for _ in range(50):
    p = Profiler({"threading": True}, db_path=db)
    _vexo.register_profiler(p)
    leaf(6)
    _vexo.register_profiler(Profiler({}, db_path=db))
    leaf(7)
_vexo.register_noop_profiler()
import threading  # noqa: E402

threading.setprofile(None)
print("done")
