// What the tracer needs to know about a code object before it can tell whether an event matters:
// its names as text, the filter's path answers and the plugins registered under its name. All of
// it depends on the code object alone, so it is worked out at the code's first event and then
// remembered, as long as the profiler lives (or until the cache is renewed when it grows large).
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/frame_filter.hpp"
#include "plugins/processor.hpp"
#include "py/ref.hpp"

namespace vexo::profiler {

struct CodeInfo {
  // Views into the code object's co_filename and co_name, alive as long as the code is.
  std::string_view filename;
  std::string_view code_name;
  // False when a name cannot be UTF-8 text (lone surrogates); every event of the code is then
  // abandoned and reported.
  bool names_are_text = true;
  filters::PathAnswers path{};
  // The processors registered under the code's name, or null.
  std::vector<plugins::PluginProcessor>* processors = nullptr;

  // Whether an event of this code can have any effect at all.
  bool may_matter() const noexcept {
    return !names_are_text || processors != nullptr || path.may_record();
  }
};

class CodeCache {
 public:
  // The entry of `code`, made on first use. Only touched with the interpreter lock held, and
  // nothing in here gives that lock up, so threads never see an entry half made. The result is a
  // copy: entries may go when the cache is renewed.
  CodeInfo lookup(PyObject* code, const std::vector<filters::PathFinder>& include_frames,
                  const std::vector<filters::PathFinder>& ignore_frames,
                  plugins::PluginTable& plugins);

  void clear() noexcept { entries_.clear(); }

 private:
  struct Entry {
    py::Ref code;  // held, so that its address cannot be taken by another code object
    CodeInfo info;
  };
  // Code made at run time (exec, templates) could grow the cache without bound.
  static constexpr std::size_t kMaxEntries = 1 << 16;

  std::unordered_map<const PyObject*, Entry> entries_;
};

}  // namespace vexo::profiler
