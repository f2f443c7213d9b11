// What the store lists of a trace document, read in place: the compiled reader of
// vexo.trace.summary.
#pragma once

#include "py/python.hpp"

namespace vexo::speedups {

// summarize_document(document): (timestamp, source, record count, first record of interest,
// last one) as vexo.trace.summary reads them, the records reduced to their marker fields; None
// when the document is cut, damaged or holds values msgpack's unpacker could refuse, which the
// reference reader then reads. New reference, or null with an exception set.
PyObject* summarize_document(PyObject* module, PyObject* document);

}  // namespace vexo::speedups
