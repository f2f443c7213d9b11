"""The names a trace document is written with, for every reader of it in this package.

A document is one map: the fields below, the main thread's records under MAIN_RECORDS, and the
other threads' records under OTHER_RECORDS, a map by thread id. Without "threading" every thread
writes into the main buffer, so a record's own THREAD_NATIVE_ID says whose it is. The profiler
and the compiled readers spell the same names in src/utils/document_layout.hpp.
"""

# The document's fields.
TRACE_ID = "trace_id"
STARTED_AT = "timestamp"
COMMAND_LINE_ARGS = "command_line_args"
COMMIT = "current_commit_sha"
META = "meta"  # a map holding SOURCE and VERSION
SOURCE = "source"
VERSION = "version"
MAIN_THREAD_ID = "main_thread_id"
MAIN_RECORDS = "frames_of_interest"
OTHER_RECORDS = "frames"

# Every record's fields.
TYPE = "type"
FRAME_ID = "frame_id"
TIMESTAMP = "timestamp"
THREAD = "thread"  # the thread's name
THREAD_NATIVE_ID = "thread_native_id"
CALL_SITE = "user_code_call_site"  # a map holding CALLER_FRAME_ID and CALLER_LINE
CALLER_FRAME_ID = "call_frame_id"
CALLER_LINE = "line_number"

# A frame record's own fields: one is written at a call and one at its return.
EVENT = "event"  # CALL or RETURN
QUALNAME = "qualname"
CO_NAME = "co_name"
PATH = "path"  # "file:line"
ARG = "arg"  # the return value
LOCALS = "locals"

# Record types: a frame record, the test markers, the end of a traced request and where a trace
# reached its byte budget (later frame records are dropped).
FRAME = "frame"
CALL = "call"
RETURN = "return"
START_TEST = "start_test"
END_TEST = "end_test"
TEST_ID = "nodeid"
TEST_OUTCOME = "outcome"
END_REQUEST = "end_request"  # holds TEST_OUTCOME too: the status code as text, or "error"
REQUEST_STATUS = "status"
REQUEST_ERROR = "error"  # an exception that escaped the application
STOPPED = "recording_stopped"
STOP_REASON = "reason"
STOP_LIMIT = "limit"  # the budget in bytes
BUDGET_REASON = "budget"
# The record that follows the return record of a frame left by an exception; FRAME_ID pairs it
# with the call. EXCEPTION_TYPE and MESSAGE are None where they could not be learnt.
EXCEPTION = "exception"
EXCEPTION_TYPE = "exception_type"  # the class's qualified name, with its module unless builtins
EXCEPTION_MESSAGE = "message"  # the exception's arguments as text, bounded
EXCEPTION_LINE = "line"  # the line the exception left the frame from
# The record that follows the call record of a generator's or coroutine's resumed step (and of
# the first step of an asyncio task's own coroutine): the logical call it belongs to, named by
# the frame id of its first recorded step, its number from 1, and the task's name or None.
STEP = "step"
FIRST_FRAME_ID = "first_frame_id"
STEP_NUMBER = "step"
TASK = "task"

# The fields every plugin record has; the rest is the plugin's own data.
PLUGIN_BASE_KEYS = frozenset({FRAME_ID, TIMESTAMP, THREAD, THREAD_NATIVE_ID, CALL_SITE, TYPE})
