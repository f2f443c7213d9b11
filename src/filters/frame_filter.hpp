// Which frames get a frame record: the user's own code, not the interpreter's, libraries', the
// package's own or generated code, unless an include fragment forces a path in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "filters/path_finder.hpp"
#include "py/ref.hpp"

namespace vexo::filters {

struct FilterAnswers {
  bool include;
  bool library;
  bool frozen;
  bool vexo;
  bool exec;
  bool pytest_expression;
  bool attrs;
  bool ignore;

  bool record() const noexcept {
    return include || !(library || frozen || vexo || exec || pytest_expression || attrs || ignore);
  }
};

// All eight answers for a frame whose code's file name is `filename`. Throws py::Broken when an
// interpreter invariant of the caller frames does not hold.
FilterAnswers evaluate(PyFrameObject* frame, std::string_view filename,
                       const std::vector<PathFinder>& include_frames,
                       const std::vector<PathFinder>& ignore_frames);

// Whether the frame was called from attrs' generated-code machinery (one or two callers up).
bool attrs_filter(PyFrameObject* frame);

// The answers that depend on the file name alone, which callers may remember per code object.
struct PathAnswers {
  bool include;          // an include fragment forces the frame in
  bool excluded;         // library, frozen, own package, exec, pytest expression or ignore
  bool attrs_generated;  // the file name says attrs generated the code

  // Whether the caller rule can still change the outcome.
  bool needs_callers() const noexcept { return !include && !excluded && !attrs_generated; }
  // Whether the frame may get a record at all.
  bool may_record() const noexcept { return include || (!excluded && !attrs_generated); }
};

PathAnswers path_answers(std::string_view filename, const std::vector<PathFinder>& include_frames,
                         const std::vector<PathFinder>& ignore_frames);

// A text that is equal for two pairs of fragment lists exactly when `path_answers` gives the same
// answers for them: what caches of those answers are kept under.
std::string fragments_key(const std::vector<PathFinder>& include_frames,
                          const std::vector<PathFinder>& ignore_frames);

// The same decision as `evaluate(...).record()`. The callers are only read when their answer can
// still change the outcome: reading them has no effect that a program can see, and on 3.11 and
// later it would make frame objects for them.
bool should_record(const PathAnswers& answers, PyFrameObject* frame);

}  // namespace vexo::filters
