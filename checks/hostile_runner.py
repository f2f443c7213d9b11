"""`vexo run --threading`, with plugins of the tracer's own watching names that the hostile
programs use, lightweight value dumps, and plugin code that runs Python and switches threads.

    python checks/hostile_runner.py --db PATH SCRIPT [ARGS...]
"""

import sys
import time

import vexo.cli.main as cli
from vexo.profiler import Profiler

WATCHED = [
    "<module>", "__init__", "__repr__", "__del__", "__eq__", "__hash__", "__getattr__", "__call__",
    "__exit__", "__next__", "work", "step", "leaf", "helper", "hold", "deep", "chain", "main",
    "worker", "handler", "target", "run", "send", "wrapper", "method",
]  # fmt: skip


def plugin_call(frame, event, arg, context):
    time.sleep(0)  # gives the interpreter lock away, as plugin code may
    context["events"] += 1
    return context["events"] % 3 != 0


def plugin_process(frame, event, arg, context):
    time.sleep(0)
    return {"line": frame.f_lineno, "name": frame.f_code.co_name, "count": context["events"]}


def build_context(config):
    return {"events": 0}


PLUGINS = [
    {
        "co_names": WATCHED,
        "path_fragment": "",
        "call_type": "hostile_call",
        "return_type": "hostile_return",
        "subtype": "check",
        "call": plugin_call,
        "process": plugin_process,
        "build_context": build_context,
    }
]


class PluginProfiler(Profiler):
    def __init__(self, config=None, **kwargs):
        config = dict(config or {})
        config["plugins"] = PLUGINS
        config["lightweight_repr"] = True
        super().__init__(config, **kwargs)


if __name__ == "__main__":
    cli.Profiler = PluginProfiler
    sys.exit(cli.main(["run", "--threading", *sys.argv[1:]]))
