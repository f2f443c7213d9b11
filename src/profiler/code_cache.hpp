// What the tracer needs to know about a code object before it can tell whether an event matters:
// its names as text, the filter's path answers and the plugins registered under its name. All of
// it depends on the code object alone, so it is worked out at the code's first event and then
// remembered, as long as the profiler lives (or until the cache is renewed when it grows large).
#pragma once

#include <array>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "filters/frame_filter.hpp"
#include "plugins/processor.hpp"
#include "py/ref.hpp"
#include "utils/address_slot.hpp"

namespace vexo::profiler {

struct CodeInfo {
  // Views into the code object's co_filename and co_name, alive as long as the code is.
  std::string_view filename;
  std::string_view code_name;
  // False when a name cannot be UTF-8 text (lone surrogates); every event of the code is then
  // abandoned and reported.
  bool names_are_text = true;
  filters::PathAnswers path{};
  // Whether plugins are registered under the code's name (each profiler keeps its own).
  bool watched = false;
  // For a generator's, coroutine's or async generator's code, the instruction offset its frame
  // starts at (see profiler/generator_steps.hpp); -1 for other code.
  int first_instruction = -1;

  // Whether an event of this code can have any effect at all.
  bool may_matter() const noexcept { return !names_are_text || watched || path.may_record(); }
};

class CodeCache {
 public:
  // The cache of every profiler that has these filter fragments and plugins under the same code
  // names: a server starts a profiler per request, and each would otherwise work out the answers
  // and lines of the same code again. Kept while a profiler uses it.
  static std::shared_ptr<CodeCache> shared(const std::vector<filters::PathFinder>& include_frames,
                                           const std::vector<filters::PathFinder>& ignore_frames,
                                           const plugins::PluginTable& plugins);

  // The entry of `code`, made on first use. Only touched with the interpreter lock held, and
  // nothing in here gives that lock up, so threads never see an entry half made. The result is a
  // copy: entries may go when the cache is renewed.
  CodeInfo lookup(PyObject* code, const std::vector<filters::PathFinder>& include_frames,
                  const std::vector<filters::PathFinder>& ignore_frames,
                  const plugins::PluginTable& plugins);

  // The entry of `code` if it has one, without making it: no allocation, no interpreter call,
  // so it can answer before any guard is set up. Valid until the next lookup or clear.
  const CodeInfo* find(const PyObject* code) noexcept {
    Entry* entry = find_entry(code);
    return entry != nullptr ? &entry->info : nullptr;
  }

  // The line `frame` is at, as frame.f_lineno gives it (-1 where that is None). Working it out
  // walks the code's line table from its start, so it is remembered per instruction of a code
  // that has an entry.
  int line_number(PyFrameObject* frame);

  void clear() noexcept {
    // Released once the cache is whole again: a released code object can run weakref callbacks.
    auto released = std::move(entries_);
    entries_.clear();
    forget_recent();
  }

 private:
  struct Entry {
    py::Ref code;  // held, so that its address cannot be taken by another code object
    CodeInfo info;
    // (instruction offset, line) of the offsets asked so far, in offset order: a code is asked
    // about a few offsets only (its start, its returns, its calls).
    std::vector<std::pair<int, int>> lines;
  };
  // Code made at run time (exec, templates) could grow the cache without bound.
  static constexpr std::size_t kMaxEntries = 1 << 16;

  // Most events are of a few hot code objects: a direct-mapped table in front of the map answers
  // them with one multiplication and one compare, where the map would hash, divide and chase a
  // node. It points into the map's nodes, which stay where they are until an entry is erased.
  struct Recent {
    const PyObject* code = nullptr;
    Entry* entry = nullptr;
  };
  static constexpr unsigned kRecentBits = 10;

  void forget_recent() noexcept { recent_.fill(Recent{}); }

  Entry* find_entry(const PyObject* code) noexcept {
    Recent& recent = recent_[address_slot::slot_of<kRecentBits>(code)];
    if (recent.code == code) return recent.entry;
    auto found = entries_.find(code);
    if (found == entries_.end()) return nullptr;
    recent = Recent{code, &found->second};
    return recent.entry;
  }

  std::array<Recent, std::size_t{1} << kRecentBits> recent_{};
  std::unordered_map<const PyObject*, Entry> entries_;
};

}  // namespace vexo::profiler
