"""The trace document: bytes, decoding, draining and the outside values."""

import sys

import msgpack
import pytest

import vexo.git
import vexo.version
from conftest import decode
from vexo import _vexo


def key(text):
    return bytes([0xA0 + len(text)]) + text.encode()


WORKED_EXAMPLE = b"".join(
    [
        b"\x88",
        key("command_line_args"), b"\x91\xa1x",
        key("current_commit_sha"), b"\xc0",
        key("frames"), b"\x80",
        key("frames_of_interest"), b"\x90",
        key("main_thread_id"), b"\x05",
        key("meta"), b"\x83", key("version"), b"\xa31.0", key("source"), b"\xa1s",
        key("use_frame_boundaries"), b"\xc3",
        key("timestamp"), b"\xcb" + bytes(8),
        key("trace_id"), b"\xa1t",
    ]
)  # fmt: skip


def registered(make_profiler, **attributes):
    profiler = make_profiler(**attributes)
    _vexo.register_profiler(profiler)
    _vexo.register_noop_profiler()
    return profiler


def traced(value):
    return value


def test_worked_example_layout(make_profiler, monkeypatch):
    profiler = registered(make_profiler, source="s", trace_id="t")
    monkeypatch.setattr(sys, "argv", ["x"])
    monkeypatch.setattr(vexo.git, "COMMIT_SHA", None)
    monkeypatch.setattr(vexo.version, "__version__", "1.0")
    document = profiler.rust_profiler.build_trace()
    # The main thread id and the creation time vary; everything else is byte for byte.
    decoded = decode(document)
    expected = WORKED_EXAMPLE.replace(b"\x05", msgpack.packb(decoded["main_thread_id"]), 1)
    expected = expected.replace(b"\xcb" + bytes(8), msgpack.packb(decoded["timestamp"]))
    assert document == expected
    assert decoded["meta"] == {"version": "1.0", "source": "s", "use_frame_boundaries": True}


def test_records_are_drained_and_the_trace_id_stays(make_profiler):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    traced(1)
    _vexo.register_noop_profiler()
    first = decode(profiler.rust_profiler.build_trace())
    second = decode(profiler.rust_profiler.build_trace())
    assert len(first["frames_of_interest"]) == 2
    assert second["frames_of_interest"] == [] and second["frames"] == {}
    assert first["trace_id"] == second["trace_id"] == profiler.trace_id


@pytest.mark.parametrize("count, header", [(15, b"\x9f"), (16, b"\xdc\x00\x10")])
def test_argv_array_forms(make_profiler, monkeypatch, count, header):
    profiler = registered(make_profiler)
    monkeypatch.setattr(sys, "argv", [str(i) for i in range(count)])
    document = profiler.rust_profiler.build_trace()
    assert document[1 + 18 : 1 + 18 + len(header)] == header
    assert decode(document)["command_line_args"] == sys.argv


@pytest.mark.parametrize(
    "target, name, value, error",
    [
        ("version", "__version__", 1, TypeError),
        ("version", "__version__", None, TypeError),
        ("git", "COMMIT_SHA", 5, TypeError),
        ("sys", "argv", "abc", TypeError),
        ("sys", "argv", ["a", 1], TypeError),
    ],
)
def test_bad_outside_values_keep_the_records(
    make_profiler, monkeypatch, target, name, value, error
):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    traced(1)
    _vexo.register_noop_profiler()
    module = {"version": vexo.version, "git": vexo.git, "sys": sys}[target]
    with monkeypatch.context() as patch:
        patch.setattr(module, name, value)
        with pytest.raises(error):
            profiler.rust_profiler.build_trace()
    assert len(decode(profiler.rust_profiler.build_trace())["frames_of_interest"]) == 2


def test_unimportable_version_module(make_profiler, monkeypatch):
    profiler = make_profiler()
    _vexo.register_profiler(profiler)
    traced(1)
    _vexo.register_noop_profiler()
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "vexo.version", None)
        with pytest.raises(ImportError):
            profiler.rust_profiler.build_trace()
    assert len(decode(profiler.rust_profiler.build_trace())["frames_of_interest"]) == 2


def test_commit_sha_text(make_profiler, monkeypatch):
    profiler = registered(make_profiler)
    monkeypatch.setattr(vexo.git, "COMMIT_SHA", "a" * 40)
    assert decode(profiler.rust_profiler.build_trace())["current_commit_sha"] == "a" * 40
