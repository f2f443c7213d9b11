"""Which frames the filter keeps: path fragments, the built-in sets and attrs' callers."""

import pathlib
import random
import sys

import _vexo_testing as native
import pytest

import vexo

ANSWERS = ("include", "library", "frozen", "vexo", "exec", "pytest_expression", "attrs", "ignore")

# Every Python file of the package, as a checkout outside any library folder would hold it.
PACKAGE = pathlib.Path(vexo.__file__).parent
OWN_FILES = sorted(
    "/home/u/checkout/python/vexo/" + path.relative_to(PACKAGE).as_posix()
    for path in PACKAGE.rglob("*.py")
)

SITE_FILE = "/srv/venv/lib/python3.12/site-packages/requests/api.py"


def answers(filename, include=(), ignore=()):
    """The filter's answers for this helper's own frame, whose caller is a test function."""
    return native.filter_answers(sys._getframe(), filename, list(include), list(ignore))


def true_answers(result):
    return {name for name in ANSWERS if result[name]}


def test_builtin_sets_hold_exactly_their_fragments():
    finders = native.builtin_finders()
    del finders["VEXO_FINDERS"]  # checked against the package's files below
    assert finders == {
        "FROZEN_FINDER": ["<frozen "],
        "EXEC_FINDER": ["<string>"],
        "LIBRARY_FINDERS": ["lib/python", "/site-packages/"],
    }


@pytest.mark.parametrize(
    ("filename", "expected"),
    [
        ("/home/u/shop/views.py", set()),
        ("/usr/lib/python3.12/json/__init__.py", {"library"}),
        ("/home/u/mylib/python/app.py", {"library"}),
        ("/srv/venv/site-packages/x.py", {"library"}),
        ("/srv/mysite-packages/x.py", set()),
        (SITE_FILE, {"library"}),
        ("<frozen importlib._bootstrap>", {"frozen"}),
        ("<frozen>", set()),
        ("<frozenx importlib>", set()),
        ("<string>", {"exec"}),
        ("/tmp/<string>/more.py", {"exec"}),
        ("<strin>", set()),
        ("/home/u/vexo/db.py", {"vexo"}),
        ("/home/u/vexo/dbtools.py", set()),
        ("/home/u/Vexo/db.py", set()),
        ("<pytest match expression>", {"pytest_expression"}),
        ("<pytest match expression>x", set()),
        ("x<pytest match expression>", set()),
        ("<pytest match expressio", set()),
        ("<attrs generated init shop.Cart>", {"attrs"}),
        ("<attrs generated", {"attrs"}),
        ("<attrs generate", set()),
        ("x<attrs generated init>", set()),
        ("", set()),
    ],
)
def test_answers_without_user_fragments(filename, expected):
    result = answers(filename)
    assert true_answers(result) == expected
    assert result["record"] is (not expected)


def test_every_file_of_the_package_is_left_out():
    kept = [path for path in OWN_FILES if true_answers(answers(path)) != {"vexo"}]
    assert len(OWN_FILES) > 30 and kept == []


def test_every_answer_is_computed_when_include_already_decides():
    filename = "/usr/lib/python3.12/site-packages/vexo/db.py<string><frozen x>"
    result = answers(filename, include=["vexo"], ignore=["db.py"])
    assert true_answers(result) == {"include", "library", "frozen", "vexo", "exec", "ignore"}
    assert result["record"] is True


@pytest.mark.parametrize(
    ("filename", "include", "ignore", "record"),
    [
        (SITE_FILE, ["/requests/"], [], True),
        (SITE_FILE, ["/requests/"], ["/requests/"], True),
        (SITE_FILE, ["/flask/"], [], False),
        ("/home/u/project/vexo/profiler.py", ["/project/"], [], True),
        ("<string>", ["<string>"], [], True),
        ("<frozen os>", ["os>"], [], True),
        ("<pytest match expression>", ["match"], [], True),
        ("<attrs generated eq>", ["eq"], [], True),
        ("/home/u/shop/views.py", [], ["/shop/"], False),
        ("/home/u/shop/views.py", [], ["/nothing/", "views"], False),
        ("/home/u/shop/views.py", ["/other/"], ["/shop/"], False),
        ("/home/u/shop/views.py", ["/other/", "/shop/"], ["/shop/"], True),
        ("<string>", [""], [], True),
        ("/usr/lib/python3.12/os.py", [""], [""], True),
        ("/home/u/shop/views.py", [], [""], False),
        ("/home/u/shop/views.py", ["/shop/"], [""], True),
        ("/srv/app/x.py", ["/App/"], [], True),
        ("/srv/app/x.py", [], ["/App/"], True),
        ("/srv/App/x.py", [], ["/App/"], False),
        ("/usr/lib/python3.12/os.py", ["/App/"], [], False),
    ],
)
def test_user_fragments(filename, include, ignore, record):
    assert answers(filename, include, ignore)["record"] is record


@pytest.mark.parametrize(
    ("fragment", "haystack", "found"),
    [
        ("", "", True),
        ("", "/any/path.py", True),
        ("a", "", False),
        ("abcdef", "abc", False),
        ("abc", "abc", True),
        ("abd", "abc", False),
        ("/home", "/home/u/x.py", True),
        ("x.py", "/home/u/x.py", True),
        ("x.pyc", "/home/u/x.py", False),
        ("u/x", "/home/u/x.py", True),
        ("aab", "aaab", True),
        ("aab", "abab", False),
        ("<Z", "<<<<<<<Z", True),
        ("Zq", "ZZZZq", True),
        ("Zq", "ZZZZ", False),
        ("é/", "/srv/café/x.py", True),
        ("É/", "/srv/café/x.py", False),
        (b"a\x00b", b"xa\x00by", True),
        (b"a\x00b", b"xa\x00cb", False),
        (b"\xff\xfe", b"/x/\xff\xfe", True),
        ("/App/", "/srv/app/x.py", False),
    ],
)
def test_path_finder(fragment, haystack, found):
    assert native.path_finder_find(fragment, haystack) is found


def test_path_finder_agrees_with_substring_search():
    chooser = random.Random(20240611)
    alphabet = b"/aeb<Z._"
    for _ in range(3000):
        haystack = bytes(chooser.choice(alphabet) for _ in range(chooser.randrange(0, 24)))
        if haystack and chooser.random() < 0.5:
            start = chooser.randrange(len(haystack))
            fragment = haystack[start : start + chooser.randrange(1, 8)]
        else:
            fragment = bytes(chooser.choice(alphabet) for _ in range(chooser.randrange(0, 6)))
        assert native.path_finder_find(fragment, haystack) is (fragment in haystack), (
            fragment,
            haystack,
        )


# attrs runs generated methods from its own module, sometimes through a frame compiled without a
# file name. The callers below are real frames of code compiled under such file names.


def probe():
    return native.attrs_filter(sys._getframe())


def grab():
    return sys._getframe()


def define(filename, source, **names):
    namespace = dict(names)
    exec(compile(source, filename, "exec"), namespace)
    return namespace


def called_from(filename, callee):
    return define(filename, "def call():\n    return callee()\n", callee=callee)["call"]


@pytest.mark.parametrize(
    ("caller_filename", "expected"),
    [
        ("/x/attr/_make.py", True),
        ("attr/_make.py", True),
        ("/x/myattr/_make.py", True),
        ("ttr/_make.py", False),
        ("/x/attrs/_make.py", False),
        ("/x/Attr/_make.py", False),
        ("/x/attr/_make.pyc", False),
        ("/x/attr/_make.py.bak", False),
        ("/x/attr/_make.py/y.py", False),
    ],
)
def test_attrs_rule_reads_the_callers_file_name(caller_filename, expected):
    assert called_from(caller_filename, probe)() is expected


def test_attrs_rule_is_false_for_an_ordinary_caller():
    assert probe() is False


def test_caller_without_file_name_defers_to_its_own_caller():
    assert called_from("/x/attr/_make.py", called_from("", probe))() is True
    assert called_from("/x/shop/views.py", called_from("", probe))() is False


def test_only_one_frame_without_file_name_is_passed():
    through_two = called_from("", called_from("", probe))
    assert called_from("/x/attr/_make.py", through_two)() is False


def test_caller_without_file_name_and_without_caller():
    gen = define("", "def gen():\n    yield grab()\n", grab=grab)["gen"]()
    frame = next(gen)
    assert frame.f_back.f_code.co_filename == ""
    assert frame.f_back.f_back is None
    assert native.attrs_filter(frame) is False


def test_frame_without_caller():
    gen = define("/x/attr/_make.py", "def gen():\n    yield 1\n")["gen"]()
    next(gen)
    assert gen.gi_frame.f_back is None
    assert native.attrs_filter(gen.gi_frame) is False


def test_attrs_answer_of_the_filter_uses_the_callers():
    def filter_here():
        return native.filter_answers(sys._getframe(), "/home/u/shop/models.py", [], [])

    result = called_from("/x/attr/_make.py", filter_here)()
    assert true_answers(result) == {"attrs"}
    assert result["record"] is False

    def filter_with_include():
        return native.filter_answers(sys._getframe(), "/home/u/shop/models.py", ["shop"], [])

    result = called_from("/x/attr/_make.py", filter_with_include)()
    assert true_answers(result) == {"include", "attrs"}
    assert result["record"] is True


def unencodable_caller(callee):
    return called_from("/x/\udcff/attr/_make.py", callee)


def test_caller_file_name_without_utf8_form_is_an_error():
    with pytest.raises(UnicodeEncodeError):
        unencodable_caller(probe)()
    with pytest.raises(UnicodeEncodeError):
        called_from("/x/attr/_make.py", called_from("\udcff", probe))()


def test_attrs_generated_prefix_reads_no_caller():
    def filter_generated():
        return native.filter_answers(sys._getframe(), "<attrs generated init>", [], [])

    result = unencodable_caller(filter_generated)()
    assert true_answers(result) == {"attrs"}


def test_filter_refuses_what_is_not_a_frame():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyFrame'"):
        native.filter_answers(1, "/x.py", [], [])
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyFrame'"):
        native.attrs_filter(1)
