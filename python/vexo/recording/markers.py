"""The test markers: a test runner calls `_vexo_start_test` before a test and `_vexo_end_test`
after it, and the built-in plugin "pytest" turns those calls into the records "start_test" and
"end_test", where the tracer starts a new trace and saves the test's trace. (A web request's
trace ends with the record "end_request", which the tracer writes where the middleware asks: see
`vexo.recording.profiler.end_request`.)"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from vexo.common import layout

__all__ = ["plugin_descriptions"]

# Part of the markers' file name, which is all the plugin descriptions need to find them.
_MARKERS_FILE = "/vexo/recording/markers.py"


def _vexo_start_test(nodeid: str) -> None:
    """Called before a test's setup; the tracer cuts the trace here."""


def _vexo_end_test(nodeid: str, outcome: str | None = None) -> None:
    """Called after a test's teardown; the tracer saves the test's trace here."""


def _test_data(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    arguments = frame.f_locals
    data = {layout.TEST_ID: arguments["nodeid"]}
    if arguments.get("outcome") is not None:
        data[layout.TEST_OUTCOME] = arguments["outcome"]
    return data


def plugin_descriptions(config: Mapping[str, Any] | None) -> list[dict[str, Any]]:
    """The built-in plugin "pytest": the test markers as "start_test" and "end_test" records
    holding the test's node id, and at the end its outcome."""
    return [
        {
            "co_names": [marker.__name__],
            "path_fragment": _MARKERS_FILE,
            "call_type": record_type,
            "return_type": record_type + "_return",  # never written: only calls are watched
            "events": ["call"],
            "process": _test_data,
        }
        for marker, record_type in (
            (_vexo_start_test, layout.START_TEST),
            (_vexo_end_test, layout.END_TEST),
        )
    ]
