"""The program starts vexo itself and never stops it: atexit handlers, daemon threads and the
teardown of modules run with the hook still installed; one finalizer asks for the trace while
modules are being torn down."""

import atexit
import os
import threading

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


def at_exit():
    work(2)
    print("atexit ran", flush=True)


atexit.register(at_exit)
_vexo.register_profiler(profiler)
keeper = FinalWords()
threading.Thread(target=lambda: [work(i) for i in range(10**9)], daemon=True).start()
work(1)
print("end of program", flush=True)
