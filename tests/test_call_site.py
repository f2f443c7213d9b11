"""The call site of a recorded frame: the nearest open recorded call with another frame id."""

import sys

import _vexo_testing as t
import pytest


def finished_frame():
    return sys._getframe()


FINISHED_LINE = finished_frame.__code__.co_firstlineno + 1


@pytest.fixture
def frame():
    made = finished_frame()
    assert made.f_lineno == FINISHED_LINE
    return made


@pytest.mark.parametrize(
    "stack", [[], [("not a frame", "frm_a")], [(None, "frm_a"), (None, "frm_b")]]
)
def test_event_without_frame_id_has_no_call_site(stack):
    assert t.user_code_call_site(stack, None) is None


def test_empty_stack_has_no_call_site():
    assert t.user_code_call_site([], "frm_event") is None


def test_stack_of_only_the_event_frame_has_no_call_site(frame):
    assert t.user_code_call_site([(frame, "frm_event")], "frm_event") is None


def test_two_entries_with_the_event_id_have_no_call_site(frame):
    stack = [(frame, "frm_event"), (frame, "frm_event")]
    assert t.user_code_call_site(stack, "frm_event") is None


def test_search_never_goes_below_the_second_entry(frame):
    stack = [(frame, "frm_caller"), (frame, "frm_event"), (frame, "frm_event")]
    assert t.user_code_call_site(stack, "frm_event") is None


def test_call_takes_the_newest_entry(frame):
    stack = [(frame, "frm_outer"), (frame, "frm_caller")]
    assert t.user_code_call_site(stack, "frm_new") == ("frm_caller", FINISHED_LINE)


def test_return_takes_the_entry_below_the_returning_frame(frame):
    here = sys._getframe()
    stack = [(here, "frm_outer"), (frame, "frm_caller"), (frame, "frm_event")]
    assert t.user_code_call_site(stack, "frm_event") == ("frm_caller", FINISHED_LINE)


def test_ids_compare_as_whole_texts(frame):
    assert t.user_code_call_site([(frame, "frm_event ")], "frm_event") == (
        "frm_event ",
        FINISHED_LINE,
    )


def test_line_is_the_callers_current_line():
    here = sys._getframe()
    site = t.user_code_call_site([(here, "frm_c")], "frm_e")  # the line the caller is at
    assert site == ("frm_c", here.f_code.co_firstlineno + 2)


def test_recorded_caller_in_a_real_call_chain():
    def callee(stack):
        return t.user_code_call_site(stack, "frm_callee")

    def caller():
        me = sys._getframe()
        return callee([(me, "frm_caller")]), me.f_code.co_firstlineno + 2

    site, line = caller()
    assert site == ("frm_caller", line)


@pytest.mark.parametrize(
    ("entry", "type_name"), [("frm_x", "str"), (42, "int"), (None, "NoneType")]
)
def test_entry_that_is_not_a_frame_is_refused(entry, type_name):
    with pytest.raises(TypeError) as error:
        t.user_code_call_site([(entry, "frm_caller")], "frm_event")
    assert str(error.value) == f"'{type_name}' object cannot be converted to 'PyFrame'"


def test_only_the_chosen_entry_is_checked(frame):
    assert t.user_code_call_site([(42, "frm_old"), (frame, "frm_caller")], "frm_event") == (
        "frm_caller",
        FINISHED_LINE,
    )
    with pytest.raises(TypeError, match="'PyFrame'"):
        t.user_code_call_site([(42, "frm_caller"), (frame, "frm_event")], "frm_event")
