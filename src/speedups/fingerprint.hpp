// A digest of what a safe dump of a value would show, for telling whether an object changed since
// a trace wrote it, without writing it again.
//
// It visits what Walk visits, in the same order and within the same limits, and mixes in what Walk
// would write from each (texts and bytes by their contents, numbers by their value, containers by
// their size and items): equal digests mean equal dumps, but for a collision of 64-bit hashes. A
// text longer than the limit counts whole, so a change past the cut also tells.
#pragma once

#include <cstdint>
#include <optional>

#include "py/python.hpp"
#include "speedups/limits.hpp"

namespace vexo::speedups {

// The digest of a safe dump of `value` at `depth`; none when the value could not be read whole
// (it changed while it was read).
std::optional<std::uint64_t> fingerprint(PyObject* value, const Limits& limits, Py_ssize_t depth);

}  // namespace vexo::speedups
