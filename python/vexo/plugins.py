"""Plugin descriptions, which the tracer loads with `load_plugin_data(config)`; written in
`vexo.recording.plugins`."""

from vexo.recording.plugins import (
    BUILTIN_PLUGINS,
    check_description,
    load_plugin_data,
)

__all__ = [
    "BUILTIN_PLUGINS",
    "check_description",
    "load_plugin_data",
]
