#include "profiler/code_cache.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "profiler/generator_steps.hpp"
#include "py/convert.hpp"
#include "py/frames.hpp"

namespace vexo::profiler {

namespace {

CodeInfo describe(PyObject* code, const std::vector<filters::PathFinder>& include_frames,
                  const std::vector<filters::PathFinder>& ignore_frames,
                  const plugins::PluginTable& plugins) {
  CodeInfo info;
  try {
    info.filename = py::text_view(py::code_filename(code));
    info.code_name = py::text_view(py::code_name(code));
  } catch (const py::Error&) {
    info.names_are_text = false;
    return info;
  }
  info.path = filters::path_answers(info.filename, include_frames, ignore_frames);
  info.watched = plugins.find(info.code_name) != plugins.end();
  if (info.path.may_record()) info.first_instruction = generator_start_offset(code);
  return info;
}

// What decides every answer a cache holds: the filter fragments and the watched code names.
std::string cache_key(const std::vector<filters::PathFinder>& include_frames,
                      const std::vector<filters::PathFinder>& ignore_frames,
                      const plugins::PluginTable& plugins) {
  std::vector<std::string_view> names;
  for (const auto& entry : plugins) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  std::string key = filters::fragments_key(include_frames, ignore_frames);
  for (std::string_view name : names) {
    key += '\0';
    key += name;
  }
  return key;
}

}  // namespace

std::shared_ptr<CodeCache> CodeCache::shared(const std::vector<filters::PathFinder>& include_frames,
                                             const std::vector<filters::PathFinder>& ignore_frames,
                                             const plugins::PluginTable& plugins) {
  // Only touched with the interpreter lock held. Leaked, as the built-in finders are: it holds no
  // interpreter object, and a profiler made during static destruction still finds it.
  static auto* caches = new std::unordered_map<std::string, std::weak_ptr<CodeCache>>();
  std::string key = cache_key(include_frames, ignore_frames, plugins);
  auto found = caches->find(key);
  if (found != caches->end()) {
    if (std::shared_ptr<CodeCache> cache = found->second.lock()) return cache;
  }
  std::erase_if(*caches, [](const auto& entry) { return entry.second.expired(); });
  auto cache = std::make_shared<CodeCache>();
  caches->emplace(std::move(key), cache);
  return cache;
}

CodeInfo CodeCache::lookup(PyObject* code, const std::vector<filters::PathFinder>& include_frames,
                           const std::vector<filters::PathFinder>& ignore_frames,
                           const plugins::PluginTable& plugins) {
  if (const CodeInfo* known = find(code)) return *known;
  CodeInfo info = describe(code, include_frames, ignore_frames, plugins);
  if (entries_.size() >= kMaxEntries) {
    // Released after the map is whole again: a released code object can run weakref callbacks.
    forget_recent();
    auto released = std::move(entries_);
    entries_.clear();
  }
  entries_.emplace(code, Entry{py::Ref::share(code), info, {}});
  return info;
}

int CodeCache::line_number(PyFrameObject* frame) {
  const int offset = py::frame_line_offset(frame);
  if (offset < 0) return py::frame_lineno(frame);
  py::Ref code = py::frame_code(frame);
  Entry* entry = find_entry(code.get());
  if (entry == nullptr) return py::frame_lineno(frame);
  auto& lines = entry->lines;
  auto found = std::lower_bound(
      lines.begin(), lines.end(), offset,
      [](const std::pair<int, int>& known, int wanted) { return known.first < wanted; });
  if (found != lines.end() && found->first == offset) return found->second;
  const int line = py::frame_lineno(frame);
  lines.insert(found, {offset, line});
  return line;
}

}  // namespace vexo::profiler
