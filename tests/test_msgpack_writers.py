"""The MessagePack writers: shortest forms for strings, integers and headers, float64 only."""

import math
import struct

import _vexo_testing as t
import msgpack
import pytest


def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


def test_str_pair_with_absent_value_writes_nil():
    assert t.write_str_pair("qualname", None) == bytes.fromhex("a8 71 75 61 6c 6e 61 6d 65 c0")


def test_str_pair_with_empty_value_writes_empty_string_not_nil():
    data = t.write_str_pair("k", "")
    assert data == bytes.fromhex("a1 6b a0")
    assert unpack(b"\x81" + data) == {"k": ""}


def test_f64_pair_key_is_timestamp_and_value_float64():
    data = t.write_f64_pair(1700000000.5)
    assert data == b"\xa9timestamp" + bytes.fromhex("cb 41 d9 54 fc 40 20 00 00")
    assert unpack(b"\x81" + data) == {"timestamp": 1700000000.5}


@pytest.mark.parametrize(
    ("value", "encoded"),
    [
        (0, "00"),
        (127, "7f"),
        (128, "cc 80"),
        (255, "cc ff"),
        (256, "cd 01 00"),
        (65535, "cd ff ff"),
        (65536, "ce 00 01 00 00"),
        (2**32 - 1, "ce ff ff ff ff"),
        (2**32, "cf 00 00 00 01 00 00 00 00"),
        (2**64 - 1, "cf ff ff ff ff ff ff ff ff"),
    ],
)
def test_int_pair_uses_shortest_unsigned_form(value, encoded):
    data = t.write_int_pair("line", value)
    assert data == b"\xa4line" + bytes.fromhex(encoded)
    assert unpack(b"\x81" + data) == {"line": value}


@pytest.mark.parametrize(
    ("length", "header"),
    [
        (0, "a0"),
        (31, "bf"),
        (32, "d9 20"),
        (255, "d9 ff"),
        (256, "da 01 00"),
        (65535, "da ff ff"),
        (65536, "db 00 01 00 00"),
    ],
)
def test_strings_use_shortest_form_for_key_and_value(length, header):
    text = "x" * length
    encoded = bytes.fromhex(header) + text.encode()
    data = t.write_str_pair(text, text)
    assert data == encoded + encoded
    assert unpack(b"\x81" + data) == {text: text}


def test_string_length_counts_utf8_bytes():
    assert t.encode("str", "€€") == b"\xa6" + "€€".encode()
    long_text = "é" * 16  # 32 bytes in 16 characters
    assert t.encode("str", long_text) == b"\xd9\x20" + long_text.encode()


@pytest.mark.parametrize(
    ("value", "encoded"),
    [
        (0, "00"),
        (127, "7f"),
        (128, "cc 80"),
        (-1, "ff"),
        (-32, "e0"),
        (-33, "d0 df"),
        (-128, "d0 80"),
        (-129, "d1 ff 7f"),
        (-32768, "d1 80 00"),
        (-32769, "d2 ff ff 7f ff"),
        (-(2**31), "d2 80 00 00 00"),
        (-(2**31) - 1, "d3 ff ff ff ff 7f ff ff ff"),
        (-(2**63), "d3 80 00 00 00 00 00 00 00"),
        (2**63 - 1, "cf 7f ff ff ff ff ff ff ff"),
    ],
)
def test_generic_int_uses_shortest_signed_form_for_negatives(value, encoded):
    data = t.encode("int", value)
    assert data == bytes.fromhex(encoded)
    assert unpack(data) == value


@pytest.mark.parametrize(
    ("kind", "size", "encoded"),
    [
        ("map", 0, "80"),
        ("map", 15, "8f"),
        ("map", 16, "de 00 10"),
        ("map", 65535, "de ff ff"),
        ("map", 65536, "df 00 01 00 00"),
        ("array", 0, "90"),
        ("array", 15, "9f"),
        ("array", 16, "dc 00 10"),
        ("array", 65535, "dc ff ff"),
        ("array", 65536, "dd 00 01 00 00"),
    ],
)
def test_headers_use_shortest_form(kind, size, encoded):
    assert t.encode(kind, size) == bytes.fromhex(encoded)


def test_headers_decode_with_their_entries():
    data = t.encode("map", 16) + b"".join(t.write_int_pair(f"k{i}", i) for i in range(16))
    assert unpack(data) == {f"k{i}": i for i in range(16)}
    data = t.encode("array", 16) + b"".join(t.encode("uint", i) for i in range(16))
    assert unpack(data) == list(range(16))


@pytest.mark.parametrize("value", [0.0, -0.0, 0.1, 1e300, -2.5, math.inf, -math.inf])
def test_floats_are_always_float64(value):
    data = t.encode("f64", value)
    assert data == b"\xcb" + struct.pack(">d", value)
    assert struct.unpack(">d", data[1:]) == (value,)


def test_nan_keeps_its_bits():
    assert t.encode("f64", math.nan) == b"\xcb" + struct.pack(">d", math.nan)


def test_nil_and_bools():
    assert t.encode("nil", None) == b"\xc0"
    assert t.encode("bool", True) == b"\xc3"
    assert t.encode("bool", False) == b"\xc2"


def test_raw_pair_appends_value_unchanged_and_empties_it():
    value = msgpack.packb({"a": [1, 2, None]})
    prefix = b"\x82" + t.write_str_pair("x", "y")
    written, left = t.write_raw_pair(prefix, "locals", value)
    assert left == 0
    assert written == prefix + b"\xa6locals" + value
    assert len(written) == len(prefix) + len(b"\xa6locals") + len(value)
    assert unpack(written) == {"x": "y", "locals": {"a": [1, 2, None]}}


def test_raw_pair_with_empty_value_writes_only_the_key():
    written, left = t.write_raw_pair(b"", "arg", b"")
    assert (written, left) == (b"\xa3arg", 0)


def test_raw_copies_bytes_unchanged():
    assert t.encode("raw", b"\x91\x01") == b"\x91\x01"
