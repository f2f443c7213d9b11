"""What a safe dump knows of objects, read without running any code of the program.

A safe dump never asks an object to describe itself: methods defined in Python (``__repr__``,
``__getattr__``, properties, ``__eq__`` and ``__hash__`` of keys, a metaclass's) could change
what the program does. Only the interpreter's own type slots and storage are read:

- the real type, ``type(value)``, never ``value.__class__``;
- the instance dict through the interpreter's own ``__dict__`` slot of a Python class, never
  through a ``__dict__`` that the class itself defines;
- ``__slots__`` values through their member slots, skipping the empty ones;
- for a few types of the interpreter and the standard library whose text is known to be made
  from plain values only, that text (``repr()`` of numbers, functions, dates, decimals, UUIDs,
  paths, patterns), and texts made here for classes, modules, bound methods and enum members.

The compiled walk (src/speedups/objects.cpp) makes the same choices in the same order.
"""

from __future__ import annotations

import enum
import types

from vexo.common.names import class_name

_HEAP_TYPE = 1 << 9
_MISSING = object()
_type_mro = type.__dict__["__mro__"].__get__
_type_flags = type.__dict__["__flags__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_exception_args = BaseException.__dict__["args"].__get__
_method_function = types.MethodType.__dict__["__func__"].__get__
_function_qualname = types.FunctionType.__dict__["__qualname__"].__get__
_module_dict = types.ModuleType.__dict__["__dict__"].__get__
_SPECIAL_BASES = (str, int, float, bytes, bytearray, dict, list, tuple, set, frozenset)

# Types of the interpreter whose repr() is written in C from the object's own plain fields.
# Functions are not among them: their text is made here, without the address.
C_REPR_TYPE_IDS = frozenset(
    id(cls)
    for cls in (
        complex,
        range,
        type(...),
        type(NotImplemented),
        types.BuiltinFunctionType,
        types.MethodWrapperType,
        types.WrapperDescriptorType,
        types.MethodDescriptorType,
        types.ClassMethodDescriptorType,
        types.GetSetDescriptorType,
        types.MemberDescriptorType,
        types.CodeType,
        types.GeneratorType,
        types.CoroutineType,
        types.AsyncGeneratorType,
    )
)

# Types of the standard library, by qualified name, whose repr() only shows plain fields. Dates
# and times qualify only without a time zone or with the standard library's own.
STANDARD_REPR_NAMES = frozenset(
    {
        "datetime.date",
        "datetime.time",
        "datetime.datetime",
        "datetime.timedelta",
        "datetime.timezone",
        "decimal.Decimal",
        "fractions.Fraction",
        "uuid.UUID",
        "pathlib.PurePath",
        "pathlib.PurePosixPath",
        "pathlib.PureWindowsPath",
        "pathlib.Path",
        "pathlib.PosixPath",
        "pathlib.WindowsPath",
        "pathlib._local.PurePosixPath",
        "pathlib._local.PureWindowsPath",
        "pathlib._local.Path",
        "pathlib._local.PosixPath",
        "pathlib._local.WindowsPath",
        "re.Pattern",
        "re.Match",
        "zoneinfo.ZoneInfo",
    }
)
ZONED_NAMES = frozenset({"datetime.time", "datetime.datetime"})
STANDARD_ZONE_NAMES = frozenset({"datetime.timezone", "zoneinfo.ZoneInfo"})

# Nesting of tuples and frozensets in a key whose repr() is still taken as plain.
PLAIN_KEY_DEPTH = 8
_PLAIN_SCALARS = frozenset(id(cls) for cls in (type(None), bool, int, float, complex, str, bytes))


def has_base(cls: type, base: type) -> bool:
    """issubclass(cls, base) read from the real MRO, without any metaclass's methods."""
    return any(klass is base for klass in _type_mro(cls))


def is_enum_type(cls: type) -> bool:
    return has_base(cls, enum.Enum)


def lookup(cls: type, name: str) -> object:
    """What the class's MRO holds first under `name` (a class attribute), or None."""
    for klass in _type_mro(cls):
        found = _type_dict(klass).get(name, _MISSING)
        if found is not _MISSING:
            return found
    return None


def instance_dict(value: object, cls: type) -> dict | None:
    """The instance dict through the interpreter's own slot, or None."""
    slot = lookup(cls, "__dict__")
    if type(slot) is not types.GetSetDescriptorType:
        return None  # none, or one that the class defines itself
    owner = slot.__objclass__
    if not (_type_flags(owner) & _HEAP_TYPE or owner is BaseException):
        return None  # an extension type's own accessor, which may run anything
    try:
        found = slot.__get__(value, cls)
    except Exception:
        return None
    return found if issubclass(type(found), dict) else None


def fields(value: object, cls: type) -> list[tuple[object, object]]:
    """What a safe dump shows of an object: an exception's args, then the instance dict's items,
    then the filled slots of its Python classes, from the most derived."""
    found: list[tuple[object, object]] = []
    if issubclass(cls, BaseException):
        found.append(("args", _exception_args(value)))
    attributes = instance_dict(value, cls)
    if attributes is not None:
        found.extend(dict.items(attributes))
    for klass in _type_mro(cls):
        if not _type_flags(klass) & _HEAP_TYPE:
            continue
        for name, slot in _type_dict(klass).items():
            if type(slot) is types.MemberDescriptorType:
                try:
                    found.append((name, slot.__get__(value, cls)))
                except Exception:
                    pass  # an empty slot
    return found


def shown_as_fields(cls: type) -> bool:
    """Whether every value of the type is shown as its fields: none of the kinds shown otherwise
    (enum members, the scalar and container types and their subclasses, the known types)."""
    if is_enum_type(cls) or any(has_base(cls, base) for base in _SPECIAL_BASES):
        return False
    if id(cls) in C_REPR_TYPE_IDS or has_base(cls, type) or has_base(cls, types.ModuleType):
        return False
    if cls is types.FunctionType or cls is types.MethodType:
        return False
    return class_name(cls) not in STANDARD_REPR_NAMES


def enum_text(value: object, cls: type) -> str | None:
    """ "Color.RED" for an enum member, from the name the member keeps; None without one."""
    attributes = instance_dict(value, cls)
    name = None if attributes is None else dict.get(attributes, "_name_")
    if type(name) is not str:
        return None
    return f"{class_name(cls)}.{name}"


def known_text(value: object, cls: type, safe_repr) -> str | None:
    """The text of a value of a known type, or None for the other objects."""
    if id(cls) in C_REPR_TYPE_IDS:
        return safe_repr(value)
    if issubclass(cls, type):
        return f"<class '{class_name(value)}'>"
    if issubclass(cls, types.ModuleType):
        return module_text(value)
    if cls is types.FunctionType:
        return f"<function {_qualname(value)}>"
    if cls is types.MethodType:
        function = _method_function(value)
        if type(function) is types.FunctionType:
            return f"<bound method {_qualname(function)}>"
        return "<bound method>"
    name = class_name(cls)
    if name not in STANDARD_REPR_NAMES:
        return None
    if name in ZONED_NAMES:
        zone = value.tzinfo
        if zone is not None and class_name(type(zone)) not in STANDARD_ZONE_NAMES:
            return None
    return safe_repr(value)


def _qualname(function: types.FunctionType) -> str:
    return str.__str__(_function_qualname(function))


def module_text(module: types.ModuleType) -> str:
    attributes = _module_dict(module)
    name = dict.get(attributes, "__name__") if type(attributes) is dict else None
    return f"<module '{name}'>" if type(name) is str else "<module>"


def plain_repr(value: object, depth: int = 0) -> bool:
    """Whether repr() of a key is made from plain values only: scalars, and tuples and frozensets
    of them."""
    cls = type(value)
    if id(cls) in _PLAIN_SCALARS:
        return True
    if (cls is tuple or cls is frozenset) and depth < PLAIN_KEY_DEPTH:
        return all(plain_repr(item, depth + 1) for item in value)
    return False
