// A plugin description compiled for one code name, and the table that indexes them by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/path_finder.hpp"
#include "py/ref.hpp"

namespace vexo::plugins {

struct PluginProcessor {
  filters::PathFinder path_fragment;
  std::string call_type;
  std::string return_type;
  std::optional<std::string> subtype;
  std::optional<std::vector<std::string>> events;
  py::Ref context;  // shared by the processors of one description
  // Frame address to the frame id of that frame's latest call seen by this processor.
  std::unordered_map<const void*, std::string> processor_frame_ids;
  py::Ref call;     // may be null
  py::Ref process;  // may be null
};

// Lets the table be searched with a string_view without building a std::string per event.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

using PluginTable =
    std::unordered_map<std::string, std::vector<PluginProcessor>, TextHash, std::equal_to<>>;

// Fetches the descriptions from vexo.plugins.load_plugin_data(config) and compiles them.
// Throws py::Error for a bad description, py::Fatal for the package's broken promises.
PluginTable load_plugins(PyObject* config);

}  // namespace vexo::plugins
