"""Qualified names of running frames: from the code object, and by searching where the function
is bound, as interpreters without `co_qualname` need."""

import sys

import _vexo_testing as native
import pytest

HAS_CO_QUALNAME = sys.version_info >= (3, 11)

# Each case calls `probe()` from the function whose name is looked up; `probe` records what the
# three native entry points say about its caller's frame.
SHOP_VIEWS = """
import sys


def probe():
    return qualnames(sys._getframe(1))


class CartView:
    def get(self):
        return probe()

    @property
    def total(self):
        return probe()

    @classmethod
    def make(cls):
        return probe()

    @staticmethod
    def util():
        return probe()

    def nested_using_self(self):
        def helper():
            return self, probe()

        return helper

    @classmethod
    def nested_using_cls(cls):
        def helper():
            return cls, probe()

        return helper


class Shadowed:
    def run(self):
        return probe()


def plain():
    return probe()


def call_plain():
    return plain()


def outer():
    def inner():
        return probe()

    return inner()


def outer_returning():
    def inner():
        return probe()

    return inner


def takes_cls(cls):
    return probe()


def target():
    return probe()


def decoy():
    target = plain
    return globals()["target"]()


def gen():
    yield 1


def build():
    class Local:
        seen = probe()

    return Local


lam = lambda: probe()  # noqa: E731

plain_alias = plain


class Grumpy(dict):
    def __getitem__(self, key):
        if key == "plain":
            raise RuntimeError("grumpy")
        return super().__getitem__(key)


class GrumpyMeta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Grumpy()


def plain_from_grumpy_body():
    class Holder(metaclass=GrumpyMeta):
        seen = plain_alias()

    return Holder.seen


class Body:
    seen = probe()


module_seen = probe()
"""


def outcome(function, *args):
    try:
        return function(*args)
    except Exception as error:
        return type(error)


def qualnames(frame):
    return {
        "get_qualname": outcome(native.get_qualname, frame),
        "search_qualname": outcome(native.search_qualname, frame),
        "inner": outcome(native.get_qualname_inner, frame, frame.f_code.co_name),
    }


def load(source, filename, **globals_):
    namespace = {"qualnames": qualnames, **globals_}
    exec(compile(source, filename, "exec"), namespace)
    return namespace


@pytest.fixture(scope="module")
def views():
    return load(SHOP_VIEWS, "/srv/shop/views.py", __name__="shop.views")


SAME = object()


def expect(result, from_code, searched, inner=SAME):
    """`from_code` is what `co_qualname` gives, `searched` what the search gives; the search by
    the code's name alone gives `inner`, the same unless said otherwise."""
    assert result == {
        "get_qualname": from_code if HAS_CO_QUALNAME else searched,
        "search_qualname": searched,
        "inner": searched if inner is SAME else inner,
    }


@pytest.mark.parametrize(
    ("case", "from_code", "searched"),
    [
        ("method", "shop.views.CartView.get", "shop.views.CartView.get"),
        ("property", "shop.views.CartView.total", "shop.views.CartView.total"),
        ("classmethod", "shop.views.CartView.make", "shop.views.CartView.make"),
        ("classmethod on instance", "shop.views.CartView.make", "shop.views.CartView.make"),
        ("staticmethod", "shop.views.CartView.util", None),
        ("module function", "shop.views.plain", "shop.views.plain"),
        ("module function from function", "shop.views.plain", "shop.views.plain"),
        ("nested in caller", "shop.views.outer.<locals>.inner", "shop.views.outer.<locals>.inner"),
        ("nested called elsewhere", "shop.views.outer_returning.<locals>.inner", None),
        ("lambda", "shop.views.<lambda>", None),
        ("cls holding an instance", "shop.views.takes_cls", "shop.views.takes_cls"),
        ("cls without the function", "shop.views.takes_cls", None),
        ("nested using self", "shop.views.CartView.nested_using_self.<locals>.helper", None),
        ("nested using cls", "shop.views.CartView.nested_using_cls.<locals>.helper", None),
        ("caller's local decides", "shop.views.target", "shop.views.plain"),
        ("caller's locals cannot be searched", "shop.views.plain", None),
        ("method shadowed on the instance", "shop.views.Shadowed.run", AttributeError),
        ("class body", "shop.views.Body", "shop.views.Body"),
        (
            "class body in a function",
            "shop.views.build.<locals>.Local",
            "shop.views.build.<locals>.Local",
        ),
    ],
)
def test_qualified_names(views, case, from_code, searched):
    run = {
        "method": lambda: views["CartView"]().get(),
        "property": lambda: views["CartView"]().total,
        "classmethod": lambda: views["CartView"].make(),
        "classmethod on instance": lambda: views["CartView"]().make(),
        "staticmethod": lambda: views["CartView"].util(),
        "module function": lambda: views["plain"](),
        "module function from function": lambda: views["call_plain"](),
        "nested in caller": lambda: views["outer"](),
        "nested called elsewhere": lambda: views["outer_returning"]()(),
        "lambda": lambda: views["lam"](),
        "cls holding an instance": lambda: views["takes_cls"](views["CartView"]()),
        "cls without the function": lambda: views["takes_cls"](views["CartView"]),
        "nested using self": lambda: views["CartView"]().nested_using_self()()[1],
        "nested using cls": lambda: views["CartView"].nested_using_cls()()[1],
        "caller's local decides": lambda: views["decoy"](),
        "caller's locals cannot be searched": lambda: views["plain_from_grumpy_body"](),
        "method shadowed on the instance": lambda: shadowed_run(views),
        "class body": lambda: views["Body"].seen,
        "class body in a function": lambda: views["build"]().seen,
    }[case]
    expect(run(), from_code, searched)


def shadowed_run(views):
    instance = views["Shadowed"]()
    instance.__dict__["run"] = 5
    return views["Shadowed"].run(instance)


def test_module_level_code(views):
    # The search by name finds no function called "<module>"; the module form needs none.
    expect(views["module_seen"], "shop.views.<module>", "shop.views.<module>", inner=None)


def test_frame_without_caller(views):
    gen = views["gen"]()
    next(gen)
    frame = gen.gi_frame
    assert frame.f_back is None
    expect(qualnames(frame), "shop.views.gen", None)


NAMELESS = """
import sys


def probe():
    return qualnames(sys._getframe(1))


def function():
    return probe()


class Body:
    seen = probe()


module_seen = probe()
"""


def test_code_run_in_a_plain_dict_has_no_module_name():
    namespace = load(NAMELESS, "/srv/scripts/nameless.py")
    assert "__name__" not in namespace
    # A function found by the search carries the module it was made in: none.
    expect(namespace["function"](), None, "None.function")
    expect(namespace["Body"].seen, None, None)
    expect(namespace["module_seen"], None, None)


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


UNPRINTABLE_PARTS = """
import sys


def probe():
    return qualnames(sys._getframe(1))


def function():
    return probe()


class Body:
    __qualname__ = qualname_part
    seen = probe()
    __qualname__ = "Body"
"""


def test_unprintable_module_name(unraisable):
    name = Unprintable()
    namespace = load(UNPRINTABLE_PARTS, "/srv/odd.py", __name__=name, qualname_part="Body")
    unraisable.clear()
    result = namespace["function"]()
    placeholder = "<unprintable Unprintable object>.function"
    expect(result, placeholder, placeholder)
    assert len(unraisable) == 3
    for report in unraisable:
        assert report.exc_type is ValueError
        assert report.object is name


def test_unprintable_class_body_qualname(unraisable):
    part = Unprintable()
    namespace = load(UNPRINTABLE_PARTS, "/srv/odd.py", __name__="odd", qualname_part=part)
    expect(namespace["Body"].seen, "odd.Body", "odd.<unprintable Unprintable object>")
    searches = 2 if HAS_CO_QUALNAME else 3
    assert [report.object for report in unraisable] == [part] * searches
    assert all(report.exc_type is ValueError for report in unraisable)


class StrictGlobals(dict):
    def __getitem__(self, key):
        if key == "__name__":
            raise RuntimeError("no name today")
        return super().__getitem__(key)


def test_failing_module_name_lookup_is_an_error():
    namespace = StrictGlobals(qualnames=qualnames, __name__="strict")
    exec(compile(NAMELESS, "/srv/strict.py", "exec"), namespace)
    assert namespace["module_seen"]["get_qualname"] is RuntimeError
    assert namespace["module_seen"]["search_qualname"] is RuntimeError
    assert namespace["Body"].seen["search_qualname"] is RuntimeError
    result = namespace["function"]()
    assert result["search_qualname"] == "strict.function"
    assert result["get_qualname"] == (RuntimeError if HAS_CO_QUALNAME else "strict.function")


@pytest.mark.parametrize("entry", [native.get_qualname, native.search_qualname])
def test_refuses_what_is_not_a_frame(entry):
    with pytest.raises(TypeError, match="'str' object cannot be converted to 'PyFrame'"):
        entry("frame")
    with pytest.raises(TypeError, match="'str' object cannot be converted to 'PyFrame'"):
        native.get_qualname_inner("frame", "name")


class CountingName(str):
    """A module name whose text changes every time it is asked for."""

    calls = 0

    def __str__(self):
        CountingName.calls += 1
        return f"generated{CountingName.calls}"


@pytest.mark.skipif(not HAS_CO_QUALNAME, reason="the search names functions by where it finds them")
def test_one_code_under_changing_module_names():
    # The same code object run under different globals, under a name reassigned between calls,
    # and under a name whose str() differs every time: each call gets the name it has then.
    code = compile("def function():\n    return probe()\n", "/srv/shared.py", "exec")
    first = {"qualnames": qualnames, "probe": lambda: qualnames(sys._getframe(1))}
    second = dict(first)
    first["__name__"], second["__name__"] = "first", "second"
    exec(code, first)
    function = first["function"]
    other = type(function)(function.__code__, second)
    seen = [function()["get_qualname"], other()["get_qualname"], function()["get_qualname"]]
    first["__name__"] = "".join(["re", "named"])
    seen.append(function()["get_qualname"])
    first["__name__"] = CountingName("counting")
    seen += [function()["get_qualname"], function()["get_qualname"]]
    assert seen == [
        "first.function",
        "second.function",
        "first.function",
        "renamed.function",
        f"generated{CountingName.calls - 1}.function",
        f"generated{CountingName.calls}.function",
    ]
