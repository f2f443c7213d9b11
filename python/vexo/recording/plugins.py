"""Plugin descriptions: how calls of particular functions become typed records of a trace.

The tracer asks for them once, when a profiler starts, by calling `load_plugin_data(config)`
with the profiler's configuration. A description is a dict:

- "co_names": the plain function names (code names) the plugin watches;
- "path_fragment": text that must occur in the file name of the function's code;
- "call_type", "return_type": the record types written for a call and for a return;
- "subtype" (optional): a label copied into every record of the plugin;
- "call" (optional): `call(frame, event, arg, context)`, an extra test whether to write a record;
- "process" (optional): `process(frame, event, arg, context)`, data (a mapping) for the record;
- "events" (optional): the events ("call", "return") that give records, all when absent;
- "build_context" (optional): `build_context(config)`, the dict passed to the two callables.

The record types "start_test" and "end_test" mark where the tracer starts and saves a trace when
one trace per test is configured.

The configuration's "plugins" item picks the plugins: each entry is the name of a built-in plugin
or a description of the program's own.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Mapping
from typing import Any

__all__ = ["BUILTIN_PLUGINS", "check_description", "load_plugin_data"]

PluginDescription = dict[str, Any]

# Built-in plugins by name: "module:function", the function taking the configuration and giving
# the plugin's descriptions. Imported only when the configuration names them.
BUILTIN_PLUGINS: dict[str, str] = {
    # The test markers of `pytest --vexo`: "start_test" and "end_test" with the test's node id.
    "pytest": "vexo.recording.markers:plugin_descriptions",
}

_REQUIRED_TEXTS = ("path_fragment", "call_type", "return_type")
_OPTIONAL_CALLABLES = ("call", "process", "build_context")
_KEYS = frozenset({"co_names", *_REQUIRED_TEXTS, "subtype", "events", *_OPTIONAL_CALLABLES})
_EVENTS = frozenset({"call", "return"})


def load_plugin_data(config: Mapping[str, Any] | None) -> list[PluginDescription]:
    """The descriptions of the plugins that the configuration asks for, in its order."""
    entries = (config or {}).get("plugins")
    if not entries:
        return []  # the tracer asks at every registration, a server at every request
    # A list or tuple is told apart at once: the checks against abstract classes cost a server's
    # request more than the rest of this function.
    if type(entries) not in (list, tuple) and (
        isinstance(entries, (str, bytes, Mapping)) or not isinstance(entries, Iterable)
    ):
        raise TypeError("the vexo configuration's 'plugins' must be a list of names or dicts")
    descriptions: list[PluginDescription] = []
    for entry in entries:
        if isinstance(entry, str):
            descriptions.extend(_builtin_descriptions(entry, config))
        elif isinstance(entry, dict):
            descriptions.append(check_description(entry))
        else:
            raise TypeError(
                f"a vexo plugin is a built-in plugin's name or a description dict,"
                f" not {type(entry).__name__}"
            )
    return descriptions


# The built-in plugins' descriptions do not depend on the configuration: each is made once, since
# a server asks for them at every request.
_made: dict[str, list[PluginDescription]] = {}


def _builtin_descriptions(name: str, config: Mapping[str, Any] | None) -> list[PluginDescription]:
    made = _made.get(name)
    if made is not None:
        return made
    try:
        target = BUILTIN_PLUGINS[name]
    except KeyError:
        known = ", ".join(sorted(BUILTIN_PLUGINS)) or "none"
        raise ValueError(f"unknown vexo plugin {name!r} (built-in plugins: {known})") from None
    module_name, _, function_name = target.partition(":")
    factory: Callable[[Mapping[str, Any] | None], list[PluginDescription]] = getattr(
        importlib.import_module(module_name), function_name
    )
    made = [check_description(description) for description in factory(config)]
    _made[name] = made
    return made


def check_description(description: PluginDescription) -> PluginDescription:
    """Returns the description if the tracer can load it; raises a clear error otherwise (the
    tracer itself only reports that loading failed)."""
    if not isinstance(description, dict):
        raise TypeError(f"a vexo plugin description is a dict, not {type(description).__name__}")
    unknown = set(description) - _KEYS
    if unknown:
        raise ValueError(f"unknown keys in a vexo plugin description: {sorted(map(str, unknown))}")
    co_names = description.get("co_names")
    if isinstance(co_names, str) or not _texts(co_names):
        raise TypeError("a vexo plugin's 'co_names' must be a list of function names")
    for key in _REQUIRED_TEXTS:
        if not isinstance(description.get(key), str):
            raise TypeError(f"a vexo plugin's {key!r} must be a str")
    if "subtype" in description and not isinstance(description["subtype"], str):
        raise TypeError("a vexo plugin's 'subtype' must be a str")
    for key in _OPTIONAL_CALLABLES:
        value = description.get(key)
        if value is not None and not callable(value):
            raise TypeError(f"a vexo plugin's {key!r} must be callable")
    events = description.get("events")
    if events is not None and (
        not isinstance(events, (list, tuple))
        or not _texts(events)
        or not _EVENTS.issuperset(events)
    ):
        raise ValueError("a vexo plugin's 'events' must be a list of 'call' and 'return'")
    return description


def _texts(values: object) -> bool:
    return isinstance(values, (list, tuple, set, frozenset)) and all(
        isinstance(value, str) for value in values
    )
