"""The per-code-object answers that let library events end at once."""

import sys

import pytest

from conftest import records_of, run_traced

_vexo_testing = pytest.importorskip("_vexo_testing")

LIBRARY = "/usr/lib/python3.12/json/module{}.py"
USER = "/srv/app/module{}.py"
IGNORED = "/srv/app/generated/module{}.py"


def code_in(filename):
    return compile("x = 1", filename, "exec")


def codes_and_answers(count):
    """Codes of user files (events matter) mixed with library and ignored ones (they do not)."""
    pattern = [(USER, True), (LIBRARY, False), (IGNORED, False)]
    codes, answers = [], []
    for i in range(count):
        filename, matters = pattern[i % len(pattern)]
        codes.append(code_in(filename.format(i)))
        answers.append(matters)
    return codes, answers


@pytest.mark.parametrize("count", [1, 7, 3000])
@pytest.mark.parametrize("rounds", [1, 3])
def test_every_code_keeps_its_own_answer(count, rounds):
    # Thousands of codes share the slots of the table in front of the map: each must still get
    # its own answer, and a clear must forget them all.
    codes, answers = codes_and_answers(count)
    first, again, after_clear = _vexo_testing.code_cache_answers(codes, ["/generated/"], rounds)
    assert first == [None] * count
    assert again == answers
    assert after_clear == [None] * count


def test_library_events_between_user_events_change_nothing(make_profiler):
    # The user's function is called from, and calls into, library code seen many times before.
    import json

    def user(value):
        return json.loads(json.dumps(value))

    def program():
        for i in range(50):
            json.dumps([i])
        return [user(i) for i in range(3)]

    profiler = make_profiler()
    assert run_traced(profiler, program) == [0, 1, 2]
    records = records_of(profiler)
    assert [(r["co_name"], r["event"]) for r in records if r["co_name"] == "user"] == [
        ("user", "call"),
        ("user", "return"),
    ] * 3
    assert not [r for r in records if "json" in r["path"]]


def test_exception_through_library_returns_is_untouched(make_profiler):
    # A library frame returning with an exception takes the early exit; the exception the program
    # sees is the one raised, with its traceback.
    import json

    def program():
        for _ in range(3):
            try:
                json.loads("{")
            except json.JSONDecodeError as error:
                last = error
        return last

    error = run_traced(make_profiler(), program)
    assert isinstance(error, ValueError) and error.__traceback__ is not None
    assert sys.exc_info() == (None, None, None)


def test_profilers_share_answers_only_under_the_same_filters_without_plugins(make_profiler):
    def user():
        return 1

    here = {"filters": {"include_frames": [], "ignore_frames": [__file__]}}
    kept = []  # every profiler stays alive, and with it the cache it may share
    for config, recorded in [({}, ["user"] * 2), (here, []), ({}, ["user"] * 2), (here, [])]:
        profiler = make_profiler(config)
        kept.append(profiler)
        run_traced(profiler, user)
        assert [r["co_name"] for r in records_of(profiler)] == recorded
    # A profiler with plugins keeps its own answers: the code it watches is not dropped.
    watched = {"co_names": ["user"], "path_fragment": "test_code_cache", "call_type": "user_call"}
    watcher = make_profiler(here, plugins=[{**watched, "return_type": "user_return"}])
    run_traced(watcher, user)
    assert [r["type"] for r in records_of(watcher)] == ["user_call", "user_return"]
