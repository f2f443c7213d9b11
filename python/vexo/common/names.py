"""Names of classes and types, read without running code of the program's classes."""

from __future__ import annotations

__all__ = ["class_name", "type_name"]


def type_name(value: object) -> str:
    """The qualified name of the value's type, without running code of the value's class."""
    return class_name(type(value))


def class_name(cls: type) -> str:
    """The qualified name of a class, without running code of the class or its metaclass.

    Only the type object's own slots are read; a metaclass that makes even that fail gives
    "object". A name held as a str subclass gives its characters, none of its methods.
    """
    try:
        qualname = type.__dict__["__qualname__"].__get__(cls)
        module = type.__dict__["__module__"].__get__(cls)
    except Exception:
        return "object"
    if not issubclass(type(qualname), str):
        return "object"
    qualname = str.__str__(qualname)
    if type(module) is str and module not in ("builtins", "__main__"):
        return f"{module}.{qualname}"
    return qualname
