// The record of a frame left by an exception, which follows that frame's return record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "profiler/records.hpp"
#include "py/python.hpp"
#include "utils/clock.hpp"
#include "utils/thread_identity.hpp"

namespace vexo::profiler {

// What is known of a frame the moment an exception leaves it.
struct LeftByException {
  std::string frame_id;  // of the frame's call
  int line;              // the line it left from
  clock::WallTime time;
};

// The exception's class as "module.QualName", builtins without their module. Runs no code of the
// program.
std::string exception_type_name(PyObject* exception);

// The exception's arguments as text, bounded, without calling str(): only texts and numbers of
// the builtin types are written out, any other argument by its type's name. None for an object
// that is not an exception.
std::optional<std::string> exception_message(PyObject* exception);

// {"type": "exception", "frame_id", "exception_type", "message", "line", "timestamp", "thread",
// "thread_native_id"}; the exception may be null when it could not be learnt.
Record encode_exception_record(const LeftByException& left, PyObject* exception,
                               const thread_identity::ThreadIdentity& thread);

}  // namespace vexo::profiler
