// The extension module vexo._speedups: dumps of vexo.serialize, the indexing pass of
// vexo.trace.index, the document summary of vexo.trace.summary and the trace ids of
// vexo.common.ids, compiled.
#include <memory>

#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/method.hpp"
#include "py/names.hpp"
#include "speedups/document_summary.hpp"
#include "speedups/dump.hpp"
#include "speedups/limits.hpp"
#include "speedups/objects.hpp"
#include "speedups/scrub.hpp"
#include "speedups/texts.hpp"
#include "speedups/trace_dumper.hpp"
#include "speedups/trace_index.hpp"
#include "speedups/value_memo.hpp"
#include "utils/ulid.hpp"

namespace vexo::speedups {

namespace {

constexpr const char* kLimitsCapsule = "vexo._speedups.Limits";

// Takes the arguments as the Python dumps() does; the tracer's calls go through dumpers instead.
PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"value", "limits", nullptr};
  PyObject* value = nullptr;
  PyObject* limits = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:dumps", const_cast<char**>(keywords), &value,
                                   &limits)) {
    return nullptr;
  }
  return py::guard<PyObject*>(nullptr,
                              [value, limits]() { return dump(value, limits_from(limits)); });
}

// The function a dumper is: its self is a capsule holding the limits, read without a tuple.
PyObject* dump_with_bound_limits(PyObject* capsule, PyObject* value) {
  return dump(value, *static_cast<const Limits*>(PyCapsule_GetPointer(capsule, kLimitsCapsule)));
}

void free_limits(PyObject* capsule) {
  delete static_cast<Limits*>(PyCapsule_GetPointer(capsule, kLimitsCapsule));
}

PyMethodDef bound_dump_definition = {
    "dump", dump_with_bound_limits, METH_O,
    "dump(value)\n--\n\nOne MessagePack value for any object, within the dumper's limits."};

PyObject* dumper(PyObject* module, PyObject* limits) {
  return py::guard<PyObject*>(nullptr, [module, limits]() {
    auto owned = std::make_unique<Limits>(limits_from(limits));
    py::Ref capsule = py::check(PyCapsule_New(owned.get(), kLimitsCapsule, free_limits));
    owned.release();
    py::Ref module_name = py::check(PyModule_GetNameObject(module));
    return py::check(PyCFunction_NewEx(&bound_dump_definition, capsule.get(), module_name.get()))
        .release();
  });
}

// A server makes a trace id per request: the tracer's own generator makes one in a fraction of
// the time the Python reference takes.
PyObject* new_trace_id(PyObject*, PyObject*) {
  return py::guard<PyObject*>(nullptr, [] { return py::new_text(ulid::new_trace_id()).release(); });
}

PyMethodDef module_methods[] = {
    {"dumps", py::as_cfunction(dumps), METH_VARARGS | METH_KEYWORDS,
     "dumps(value, limits)\n--\n\nOne MessagePack value for any object, within the limits "
     "(max_depth, max_items, max_nodes, max_text, max_bytes)."},
    {"dumper", dumper, METH_O,
     "dumper(limits)\n--\n\nA function of one value that dumps it within these limits; cheaper to "
     "call than dumps()."},
    {"trace_dumper", py::as_cfunction(trace_dumper), METH_FASTCALL,
     "trace_dumper(limits, self_limits)\n--\n\nA function (value, memo, frame_id, event, field) "
     "that dumps a frame record's value in the trace of the memo: objects the trace has written "
     "already become references to those dumps."},
    {"set_scrub_rules", py::as_cfunction(scrub::set_rules), METH_FASTCALL,
     "set_scrub_rules(enabled, names, scrub_text, always)\n--\n\nThe rules of "
     "vexo.values.scrub: normalised secrets' names, the function for texts that may hold a "
     "secret, and whether every text goes through it."},
    {"scrub_text", scrub::scrub_text, METH_O,
     "scrub_text(text)\n--\n\nThe text with its secret shapes replaced."},
    {"index_document", index_document, METH_VARARGS,
     "index_document(document, unpack)\n--\n\nThe fields of a trace document and the nodes of "
     "its call tree, as vexo.trace.nodes reads them."},
    {"summarize_document", summarize_document, METH_O,
     "summarize_document(document)\n--\n\nWhat vexo.trace.summary lists of a trace document, "
     "or None when the document is left to its reference reader."},
    {"new_trace_id", new_trace_id, METH_NOARGS,
     "new_trace_id()\n--\n\n\"trc_\" and a ULID of now, its random bits from a generator "
     "seeded from the operating system's secure source and reseeded in a fork child."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_speedups", "", -1, module_methods};

}  // namespace

}  // namespace vexo::speedups

PyMODINIT_FUNC PyInit__speedups() {
  return vexo::py::guard<PyObject*>(nullptr, []() -> PyObject* {
    vexo::py::names();
    vexo::speedups::init_texts();
    vexo::speedups::objects::init();
    vexo::py::Ref module = vexo::py::check(PyModule_Create(&vexo::speedups::module_definition));
    PyObject* memo_type = reinterpret_cast<PyObject*>(vexo::speedups::value_memo_type());
    Py_INCREF(memo_type);
    if (PyModule_AddObject(module.get(), "ValueMemo", memo_type) < 0) {
      Py_DECREF(memo_type);
      vexo::py::throw_error();
    }
    return module.release();
  });
}
