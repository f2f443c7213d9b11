#include "speedups/map_merge.hpp"

#include <vector>

#include "py/error.hpp"

namespace vexo::speedups {

namespace {

// For each entry, the entry whose value it shows (itself, or the last of its key), and the first
// entries of each key in order. Keys are plain values, so hashing and comparing run no program
// code.
bool find_repeats(std::span<const MapEntry> entries, std::vector<std::size_t>& shown,
                  std::vector<std::size_t>& firsts) {
  py::Ref seen = py::check(PyDict_New());
  bool repeated = false;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    PyObject* key = entries[index].key.get();
    PyObject* earlier = PyDict_GetItemWithError(seen.get(), key);
    if (earlier != nullptr) {
      shown[PyLong_AsSize_t(earlier)] = index;
      repeated = true;
      continue;
    }
    if (PyErr_Occurred()) py::throw_error();
    py::Ref number = py::check(PyLong_FromSize_t(index));
    py::check_status(PyDict_SetItem(seen.get(), key, number.get()));
    shown[index] = index;
    firsts.push_back(index);
  }
  return repeated;
}

}  // namespace

void merge_repeated_keys(Output& out, std::size_t header_at, std::size_t announced,
                         std::span<const MapEntry> entries) {
  std::vector<std::size_t> shown(entries.size());
  std::vector<std::size_t> firsts;
  if (!find_repeats(entries, shown, firsts)) {
    if (entries.size() != announced) recount(out, header_at, announced, entries.size(), true);
    return;
  }
  std::vector<std::uint8_t> rebuilt(msgpack::put::kMaxHeader);
  rebuilt.resize(static_cast<std::size_t>(msgpack::put::map_header(rebuilt.data(), firsts.size()) -
                                          rebuilt.data()));
  for (std::size_t first : firsts) {
    const MapEntry& entry = entries[first];
    const MapEntry& value = entries[shown[first]];
    auto key_bytes = out.bytes(entry.key_at, entry.value_at);
    auto value_bytes = out.bytes(value.value_at, value.end);
    rebuilt.insert(rebuilt.end(), key_bytes.begin(), key_bytes.end());
    rebuilt.insert(rebuilt.end(), value_bytes.begin(), value_bytes.end());
  }
  out.replace_tail(header_at, rebuilt);
}

}  // namespace vexo::speedups
