"""The program starts vexo itself and never stops it: atexit handlers, daemon threads and the
teardown of modules run with the hook still installed; one finalizer asks for the trace while
modules are being torn down."""

import atexit
import os
import threading
import time

from vexo import _vexo
from vexo.profiler import Profiler

profiler = Profiler({"threading": True}, db_path=os.path.join(os.getcwd(), "self.sqlite3"))


def work(n):
    return n + 1


class FinalWords:
    def __del__(self):
        try:
            profiler.rust_profiler.build_trace()
        except BaseException:
            pass
        work(3)


def keep_working():
    # On through the interpreter's teardown, at a pace that keeps the trace under its size limit
    # however long the exit takes: a tight loop filled it on a slow run, and the dropped records
    # were reported.
    for i in range(10**9):
        work(i)
        time.sleep(0.0001)


def at_exit():
    work(2)
    print("atexit ran", flush=True)


atexit.register(at_exit)
_vexo.register_profiler(profiler)
keeper = FinalWords()
threading.Thread(target=keep_working, daemon=True).start()
work(1)
print("end of program", flush=True)
