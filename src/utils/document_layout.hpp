// The names in a trace document: its fields, the fields of its records and the types of records.
// The profiler writes them and the compiled readers look them up, so each is spelled here once.
// Each is a literal, so data() is also a C string.
#pragma once

#include <string_view>

namespace vexo::layout {

// The document: a map of these fields.
namespace document {
inline constexpr std::string_view kCommandLineArgs = "command_line_args";
inline constexpr std::string_view kCurrentCommitSha = "current_commit_sha";
// The records of the threads other than the main one, as a map of thread id to records.
inline constexpr std::string_view kFrames = "frames";
// The main thread's records.
inline constexpr std::string_view kFramesOfInterest = "frames_of_interest";
inline constexpr std::string_view kMainThreadId = "main_thread_id";
inline constexpr std::string_view kMeta = "meta";
inline constexpr std::string_view kTimestamp = "timestamp";
inline constexpr std::string_view kTraceId = "trace_id";
}  // namespace document

// The document's "meta" map.
namespace meta {
inline constexpr std::string_view kVersion = "version";
inline constexpr std::string_view kSource = "source";
inline constexpr std::string_view kUseFrameBoundaries = "use_frame_boundaries";
}  // namespace meta

// A record: a map with a "type" and the fields of its type.
namespace record {
inline constexpr std::string_view kType = "type";
inline constexpr std::string_view kTimestamp = "timestamp";
inline constexpr std::string_view kThread = "thread";
inline constexpr std::string_view kThreadNativeId = "thread_native_id";
// A frame record's.
inline constexpr std::string_view kPath = "path";
inline constexpr std::string_view kCoName = "co_name";
inline constexpr std::string_view kQualname = "qualname";
inline constexpr std::string_view kEvent = "event";
inline constexpr std::string_view kFrameId = "frame_id";
inline constexpr std::string_view kArg = "arg";
inline constexpr std::string_view kLocals = "locals";
inline constexpr std::string_view kUserCodeCallSite = "user_code_call_site";
// The call site's map.
inline constexpr std::string_view kCallFrameId = "call_frame_id";
inline constexpr std::string_view kLineNumber = "line_number";
// The record of a trace that reached its budget.
inline constexpr std::string_view kReason = "reason";
inline constexpr std::string_view kLimit = "limit";
// A test's markers.
inline constexpr std::string_view kNodeid = "nodeid";
inline constexpr std::string_view kOutcome = "outcome";
// A request's end: its status code and the error it ended with.
inline constexpr std::string_view kStatus = "status";
inline constexpr std::string_view kError = "error";
// The record of a frame left by an exception: which exception, and the line it left from.
inline constexpr std::string_view kExceptionType = "exception_type";
inline constexpr std::string_view kMessage = "message";
inline constexpr std::string_view kLine = "line";
// The record of a generator's or coroutine's step: the logical call it belongs to (the frame id of
// its first recorded step), its number from 1, and the asyncio task a coroutine runs as.
inline constexpr std::string_view kFirstFrameId = "first_frame_id";
inline constexpr std::string_view kStep = "step";
inline constexpr std::string_view kTask = "task";
}  // namespace record

// The values of a record's "type".
namespace record_type {
inline constexpr std::string_view kFrame = "frame";
inline constexpr std::string_view kRecordingStopped = "recording_stopped";
inline constexpr std::string_view kStartTest = "start_test";
inline constexpr std::string_view kEndTest = "end_test";
inline constexpr std::string_view kException = "exception";
inline constexpr std::string_view kStep = "step";
inline constexpr std::string_view kEndRequest = "end_request";
}  // namespace record_type

// The values of a frame record's "event".
namespace event {
inline constexpr std::string_view kCall = "call";
inline constexpr std::string_view kReturn = "return";
}  // namespace event

// The value of a budget record's "reason".
inline constexpr std::string_view kBudgetReason = "budget";

}  // namespace vexo::layout
