// The indexing pass of vexo.trace.index, compiled: reads a trace document's record buffers once,
// groups the records by thread, nests each thread's calls and keeps every node's packed records.
#pragma once

#include "py/python.hpp"

namespace vexo::speedups {

// index_document(document, unpack): see vexo.trace.nodes._index_document, the reference it gives
// the same result as. New reference, or null with an exception set.
PyObject* index_document(PyObject* module, PyObject* args);

}  // namespace vexo::speedups
