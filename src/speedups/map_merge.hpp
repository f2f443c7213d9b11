// Maps whose keys may repeat once converted.
//
// The Python walk builds a dict, so two entries whose keys become equal texts (a cut key, a repr,
// an int's text, the "…" marker) make one entry: in the place of the first, with the value of the
// last. A map is written entry by entry as it is read; when one of its keys was made by the walk,
// its entries are merged afterwards the same way.
#pragma once

#include <cstddef>
#include <span>

#include "py/ref.hpp"
#include "speedups/output.hpp"

namespace vexo::speedups {

struct MapEntry {
  py::Ref key;  // the key the plain dict holds
  std::size_t key_at;
  std::size_t value_at;
  std::size_t end;
};

// Rewrites the map written from `header_at` on, announced with `announced` entries and holding
// `entries`, so that equal keys make one entry.
void merge_repeated_keys(Output& out, std::size_t header_at, std::size_t announced,
                         std::span<const MapEntry> entries);

}  // namespace vexo::speedups
