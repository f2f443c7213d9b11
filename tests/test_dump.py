"""Dumps of arbitrary values through the package's serializer, and how its result converts."""

import sys
import types

import _vexo_testing as t
import pytest


class Serializer(types.ModuleType):
    """Stands in for vexo.serialize: its dumpers return what `result` says and log calls."""

    def __init__(self, result):
        super().__init__("vexo.serialize")
        self.calls = []
        self.result = result

    def _answer(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        return self.result(args[0]) if callable(self.result) else self.result

    def dump_msgpack(self, *args, **kwargs):
        return self._answer("dump_msgpack", args, kwargs)

    def dump_msgpack_repr(self, *args, **kwargs):
        return self._answer("dump_msgpack_repr", args, kwargs)

    def dump_msgpack_full(self, *args, **kwargs):
        return self._answer("dump_msgpack_full", args, kwargs)

    def dump_msgpack_lightweight_repr(self, *args, **kwargs):
        return self._answer("dump_msgpack_lightweight_repr", args, kwargs)

    def dump_msgpack_lightweight_with_repr(self, *args, **kwargs):
        return self._answer("dump_msgpack_lightweight_with_repr", args, kwargs)


@pytest.fixture
def serializer(monkeypatch):
    def install(result):
        module = Serializer(result)
        monkeypatch.setitem(sys.modules, "vexo.serialize", module)
        return module

    return install


@pytest.mark.parametrize(
    ("lightweight", "values", "name"),
    [
        (False, "", "dump_msgpack"),
        (False, "safe", "dump_msgpack"),  # a value without a place in a trace
        (False, "repr", "dump_msgpack_repr"),
        (False, "full", "dump_msgpack_full"),
        (True, "", "dump_msgpack_lightweight_repr"),
        (True, "safe", "dump_msgpack_lightweight_repr"),
        (True, "repr", "dump_msgpack_lightweight_with_repr"),
        (True, "full", "dump_msgpack_lightweight_with_repr"),
    ],
)
def test_calls_the_named_function_with_one_positional_argument(
    serializer, lightweight, values, name
):
    module = serializer(b"\xc0")
    value = object()
    assert t.dump(value, lightweight, values) == b"\xc0"
    assert module.calls == [(name, (value,), {})]


@pytest.mark.parametrize(
    "result",
    [b"\x91\x01", bytearray(b"\x91\x01"), [145, 1], (145, 1), memoryview(b"\x91\x01")],
    ids=["bytes", "bytearray", "list", "tuple", "memoryview"],
)
@pytest.mark.parametrize("lightweight", [False, True])
def test_sequences_of_small_ints_convert(serializer, result, lightweight):
    serializer(result)
    assert t.dump(None, lightweight) == b"\x91\x01"


def test_large_result_converts_whole(serializer):
    data = bytes(range(256)) * 1000
    serializer(data)
    assert t.dump(1, False) == data


def test_str_result_is_refused(serializer):
    serializer("\x91\x01")
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        t.dump(1, False)


@pytest.mark.parametrize(
    ("result", "type_name"), [(5, "int"), ({1: 2}, "dict"), (None, "NoneType"), ({1}, "set")]
)
def test_result_that_is_not_a_sequence_is_refused(serializer, result, type_name):
    serializer(result)
    with pytest.raises(TypeError) as error:
        t.dump(1, True)
    assert str(error.value) == f"'{type_name}' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("result", [[256], [0, -1], [2**70]])
def test_item_out_of_byte_range_is_refused(serializer, result):
    serializer(result)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        t.dump(1, False)


@pytest.mark.parametrize("result", [["a"], [1.0], [None]])
def test_item_that_is_not_an_integer_is_refused(serializer, result):
    serializer(result)
    with pytest.raises(TypeError):
        t.dump(1, False)


def test_serializer_exception_comes_back_unchanged(serializer):
    failure = ValueError("cannot serialize")

    def fail(value):
        raise failure

    serializer(fail)
    with pytest.raises(ValueError) as error:
        t.dump(1, False)
    assert error.value is failure


def test_missing_function_is_an_attribute_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "vexo.serialize", types.ModuleType("vexo.serialize"))
    with pytest.raises(AttributeError):
        t.dump(1, True)


def test_failing_import_is_an_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "vexo.serialize", None)
    with pytest.raises(ImportError):
        t.dump(1, False)


def test_module_is_imported_again_on_every_call(serializer):
    serializer(b"\x01")
    assert t.dump(1, False) == b"\x01"
    serializer(b"\x02")
    assert t.dump(1, False) == b"\x02"


def plain_module(**attributes):
    module = types.ModuleType("vexo.serialize")
    module.__dict__.update(attributes)
    return module


def module_with_getattr():
    return plain_module(__getattr__=lambda name: lambda value: b"\x05")


class NotAModule:
    dump_msgpack = staticmethod(lambda value: b"\x06")


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (lambda: plain_module(dump_msgpack=lambda value: b"\x04"), b"\x04"),
        (module_with_getattr, b"\x05"),
        (NotAModule, b"\x06"),
    ],
    ids=["plain module", "module __getattr__", "not a module"],
)
def test_function_found_however_the_module_provides_it(monkeypatch, make, expected):
    monkeypatch.setitem(sys.modules, "vexo.serialize", make())
    assert t.dump(1, False) == expected
    module = sys.modules["vexo.serialize"]
    if isinstance(module, types.ModuleType) and "dump_msgpack" in vars(module):
        module.dump_msgpack = lambda value: b"\x07"  # replaced between two calls
        assert t.dump(1, False) == b"\x07"
        del module.dump_msgpack
        with pytest.raises(AttributeError):
            t.dump(1, False)


def replace_module(module, monkeypatch):
    monkeypatch.setitem(
        sys.modules, "vexo.serialize", plain_module(dump_msgpack=lambda value: b"\x08")
    )


def replace_in_dict(module, monkeypatch):
    vars(module)["dump_msgpack"] = lambda value: b"\x08"


def replace_dict_content(module, monkeypatch):
    vars(module).clear()
    vars(module).update(dump_msgpack=lambda value: b"\x08")


def replace_code(module, monkeypatch):
    module.dump_msgpack.__code__ = (lambda value: b"\x08").__code__


def change_other_names(module, monkeypatch):
    monkeypatch.setitem(sys.modules, "vexo.some_other_module", module)
    module.unrelated = 1


@pytest.mark.parametrize(
    ("change", "expected"),
    [
        (replace_module, b"\x08"),
        (replace_in_dict, b"\x08"),
        (replace_dict_content, b"\x08"),
        (replace_code, b"\x08"),
        (change_other_names, b"\x04"),
    ],
)
def test_any_change_between_calls_is_seen(monkeypatch, change, expected):
    # The look-up is answered from the last one while nothing changed; two calls in a row must
    # still see a serializer replaced in any way between them.
    module = plain_module(dump_msgpack=lambda value: b"\x04")
    monkeypatch.setitem(sys.modules, "vexo.serialize", module)
    assert t.dump(1, False) == t.dump(1, False) == b"\x04"
    change(module, monkeypatch)
    assert t.dump(1, False) == t.dump(1, False) == expected
    monkeypatch.setitem(sys.modules, "vexo.serialize", None)
    with pytest.raises(ImportError):
        t.dump(1, False)
