// How much of a value one dump keeps: the package's Limits tuple read once per dumper.
#pragma once

#include "py/python.hpp"

namespace vexo::speedups {

struct Limits {
  static constexpr Py_ssize_t kAll = -1;  // max_text or max_bytes of None

  Py_ssize_t max_depth = 0;
  Py_ssize_t max_items = 0;
  Py_ssize_t max_nodes = 0;
  Py_ssize_t max_text = kAll;
  Py_ssize_t max_bytes = kAll;
  bool safe = false;  // objects read without running their code, instead of calling repr()
};

// A tuple (max_depth, max_items, max_nodes, max_text, max_bytes[, safe]) of ints that are not
// negative, max_text and max_bytes also None, and safe a bool (false when left out). Values beyond
// the word size count as the word's largest value, which no size in memory reaches.
Limits limits_from(PyObject* tuple);

}  // namespace vexo::speedups
