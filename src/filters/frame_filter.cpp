#include "filters/frame_filter.hpp"

#include "filters/builtin_finders.hpp"

namespace vexo::filters {

namespace {

// The file name pytest gives the code it compiles for `-k` and `-m` expressions.
constexpr std::string_view kPytestExpression = "<pytest match expression>";
// The file names attrs gives the methods it generates; their callers need not be read.
constexpr std::string_view kAttrsGenerated = "<attrs generated";

bool is_attrs_code(PyFrameObject* frame, std::string_view filename) {
  return filename.starts_with(kAttrsGenerated) || attrs_filter(frame);
}

}  // namespace

FilterAnswers evaluate(PyFrameObject* frame, std::string_view filename,
                       const std::vector<PathFinder>& include_frames,
                       const std::vector<PathFinder>& ignore_frames) {
  // Every answer is computed, in this order, whatever the earlier ones say: the braces evaluate
  // their initialisers left to right.
  return FilterAnswers{
      .include = any_finds(include_frames, filename),
      .library = any_finds(LIBRARY_FINDERS(), filename),
      .frozen = FROZEN_FINDER().find_in(filename),
      .vexo = any_finds(VEXO_FINDERS(), filename),
      .exec = EXEC_FINDER().find_in(filename),
      .pytest_expression = filename == kPytestExpression,
      .attrs = is_attrs_code(frame, filename),
      .ignore = any_finds(ignore_frames, filename),
  };
}

PathAnswers path_answers(std::string_view filename, const std::vector<PathFinder>& include_frames,
                         const std::vector<PathFinder>& ignore_frames) {
  const bool library = any_finds(LIBRARY_FINDERS(), filename);
  const bool frozen = FROZEN_FINDER().find_in(filename);
  const bool own_package = any_finds(VEXO_FINDERS(), filename);
  const bool exec = EXEC_FINDER().find_in(filename);
  const bool pytest_expression = filename == kPytestExpression;
  const bool ignore = any_finds(ignore_frames, filename);
  return PathAnswers{
      .include = any_finds(include_frames, filename),
      .excluded = library || frozen || own_package || exec || pytest_expression || ignore,
      .attrs_generated = filename.starts_with(kAttrsGenerated),
  };
}

std::string fragments_key(const std::vector<PathFinder>& include_frames,
                          const std::vector<PathFinder>& ignore_frames) {
  std::string key;
  for (const auto& finder : include_frames) key += finder.fragment() + '\0';
  key += '\1';
  for (const auto& finder : ignore_frames) key += finder.fragment() + '\0';
  return key;
}

bool should_record(const PathAnswers& answers, PyFrameObject* frame) {
  if (!answers.needs_callers()) return answers.may_record();
  return !attrs_filter(frame);
}

}  // namespace vexo::filters
