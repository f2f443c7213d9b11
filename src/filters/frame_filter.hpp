// Which frames get a frame record: the user's own code, not the interpreter's, libraries', the
// package's own or generated code, unless an include fragment forces a path in.
#pragma once

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

}  // namespace vexo::filters
