"""File-and-line texts: the file name relative to the current directory when below it."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import _vexo_testing as t
import pytest


def frame_at(filename, line):
    """A real (finished) frame whose code has this file name and which stopped at this line."""
    namespace = {"sys": sys}
    exec(compile("\n" * (line - 1) + "frame = sys._getframe()", filename, "exec"), namespace)
    frame = namespace["frame"]
    assert (frame.f_code.co_filename, frame.f_lineno) == (filename, line)
    return frame


@pytest.mark.parametrize(
    ("filename", "cwd", "expected"),
    [
        ("/srv/app/pkg/views.py", "/srv/app", "pkg/views.py"),
        ("/usr/lib/python3.12/json/decoder.py", "/srv/app", "/usr/lib/python3.12/json/decoder.py"),
        ("<string>", "/srv/app", "<string>"),
        ("/srv/application/x.py", "/srv/app", "/srv/application/x.py"),
        ("/srv/ap", "/srv/app", "/srv/ap"),
        ("/srv", "/srv/app", "/srv"),
        ("/srv/app/x.py", "/srv/app/", "x.py"),
        ("/srv//app//x.py", "/srv/app", "x.py"),
        ("/srv/app/x.py", "//srv//app//", "x.py"),
        ("/srv/app/./pkg/x.py", "/srv/app", "pkg/x.py"),
        ("/srv/app/../x.py", "/srv/app", "../x.py"),
        ("/srv/app", "/srv/app", ""),
        ("/srv/app/", "/srv/app", ""),
        ("/srv/app/x.py", "/", "srv/app/x.py"),
        ("srv/app/x.py", "/srv/app", "srv/app/x.py"),
        ("srv/app/x.py", "/", "srv/app/x.py"),
        ("/SRV/app/x.py", "/srv/app", "/SRV/app/x.py"),
        ("/srv/app/x.py", "/srv/app/x.py/deeper", "/srv/app/x.py"),
    ],
)
def test_relative_to_strips_whole_leading_components(filename, cwd, expected):
    assert t.relative_to(filename, cwd) == expected


@pytest.fixture
def app(tmp_path, monkeypatch):
    """A project directory that is the current directory for the test."""
    root = tmp_path.resolve()
    (root / "app").mkdir()
    monkeypatch.chdir(root / "app")
    return root / "app"


def test_frame_below_current_directory_gets_relative_path(app):
    assert t.filename_with_lineno(frame_at(f"{app}/pkg/views.py", 12)) == "pkg/views.py:12"


@pytest.mark.parametrize(
    "filename", ["/usr/lib/python3.12/json/decoder.py", "<string>", "relative/x.py"]
)
def test_frame_elsewhere_keeps_its_whole_name(app, filename):
    assert t.filename_with_lineno(frame_at(filename, 7)) == f"{filename}:7"


def test_sibling_with_longer_name_is_not_below(app):
    filename = f"{app}lication/x.py"
    assert t.filename_with_lineno(frame_at(filename, 3)) == f"{filename}:3"


def test_root_as_current_directory_strips_the_leading_separator(monkeypatch):
    monkeypatch.chdir("/")
    frame = frame_at("/usr/lib/python3.12/json/decoder.py", 7)
    assert t.filename_with_lineno(frame) == "usr/lib/python3.12/json/decoder.py:7"


def test_a_change_of_directory_is_seen_at_the_next_call(app, monkeypatch):
    frame = frame_at(f"{app}/pkg/views.py", 12)
    assert t.filename_with_lineno(frame) == "pkg/views.py:12"
    monkeypatch.chdir(app / "..")
    assert t.filename_with_lineno(frame) == "app/pkg/views.py:12"
    (app / "pkg").mkdir()
    monkeypatch.chdir(app / "pkg")
    assert t.filename_with_lineno(frame) == "views.py:12"


@pytest.mark.parametrize("how", ["rename", "replace", "fchdir"])
def test_announced_changes_are_seen_at_the_next_call(tmp_path, monkeypatch, how):
    root = tmp_path.resolve()
    (root / "old" / "pkg").mkdir(parents=True)
    (root / "new").mkdir()
    monkeypatch.chdir(root / "old")
    frame = frame_at(f"{root}/new/pkg/views.py", 4)
    assert t.filename_with_lineno(frame) == f"{root}/new/pkg/views.py:4"
    if how == "fchdir":
        descriptor = os.open(root / "new", os.O_RDONLY)
        os.fchdir(descriptor)
        os.close(descriptor)
    else:
        os.rmdir(root / "new")
        getattr(os, how)(root / "old", root / "new")  # the directory itself is renamed
    assert t.filename_with_lineno(frame) == "pkg/views.py:4"


def test_a_change_made_in_another_thread_is_seen(app):
    (app / "pkg").mkdir()
    frame = frame_at(f"{app}/pkg/views.py", 9)
    assert t.filename_with_lineno(frame) == "pkg/views.py:9"
    mover = threading.Thread(target=os.chdir, args=(app / "pkg",))
    mover.start()
    mover.join()
    assert t.filename_with_lineno(frame) == "views.py:9"
    assert t.filename_with_lineno(frame) == "views.py:9"


def test_an_unannounced_change_is_seen_within_a_clock_tick(app):
    # A C extension's own chdir raises no audit event; the directory is read again once the coarse
    # clock has moved on (every few milliseconds).
    (app / "pkg").mkdir()
    frame = frame_at(f"{app}/pkg/views.py", 9)
    assert t.filename_with_lineno(frame) == "pkg/views.py:9"
    t.chdir_unannounced(str(app / "pkg"))
    try:
        time.sleep(0.05)
        assert t.filename_with_lineno(frame) == "views.py:9"
    finally:
        os.chdir(app)


def test_removed_current_directory_keeps_the_whole_name(tmp_path, monkeypatch):
    gone = tmp_path.resolve() / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    os.rmdir(gone)
    filename = f"{gone}/x.py"
    assert t.filename_with_lineno(frame_at(filename, 5)) == f"{filename}:5"


def test_line_of_a_live_frame_is_its_current_line(app):
    here = sys._getframe()
    text, line = t.filename_with_lineno(here), here.f_lineno
    assert text == f"{here.f_code.co_filename}:{line}"


def test_current_directory_longer_than_a_path_buffer(tmp_path):
    script = textwrap.dedent(
        """
        import os, shutil, sys
        import _vexo_testing as t

        base = os.getcwd()
        for _ in range(40):  # about 8000 bytes, twice the usual path limit
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
        deep = os.getcwd()
        assert len(deep) > 8000
        namespace = {"sys": sys}
        exec(compile("\\n\\nframe = sys._getframe()", deep + "/mod.py", "exec"), namespace)
        print(t.filename_with_lineno(namespace["frame"]))
        os.chdir(base)
        shutil.rmtree("d" * 200)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "mod.py:3\n"
