#include "speedups/trace_dumper.hpp"

#include <memory>
#include <optional>
#include <string>

#include "py/error.hpp"
#include "py/method.hpp"
#include "py/names.hpp"
#include "speedups/dump.hpp"
#include "speedups/limits.hpp"
#include "speedups/value_memo.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"

namespace vexo::speedups {

namespace {

struct TraceLimits {
  Limits values;
  Limits self;
};

void free_trace_limits(PyObject* capsule) {
  delete static_cast<TraceLimits*>(PyCapsule_GetPointer(capsule, dump::kTraceDumperCapsule));
}

bool names_locals(PyObject* field) {
  // The tracer passes the interned names: the text is compared only for other callers.
  const py::Names& names = py::names();
  if (field == names.locals || field == names.arg) return field == names.locals;
  return PyUnicode_CompareWithASCIIString(field, layout::record::kLocals.data()) == 0;
}

// A frame id's text as a dump writes a str: lone surrogates, which have no UTF-8 form, escaped.
std::string text_of(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, size);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) py::throw_error();
  PyErr_Clear();
  py::Ref escaped = py::check(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  return std::string(PyBytes_AS_STRING(escaped.get()), PyBytes_GET_SIZE(escaped.get()));
}

TracePlace place_of(const TraceLimits& limits, const dump::Place& place) {
  return {value_memo_of(place.memo), place.frame_id, place.event, place.field,
          names_locals(place.field), limits.self};
}

// The tracer's entry: two dumps per recorded event, each spared a Python call, the checks of
// arguments the tracer always passes as they must be, and a bytes object.
bool dump_for_tracer(const void* limits, PyObject* value, const dump::Place& place,
                     msgpack::Bytes& out) noexcept {
  const auto& trace_limits = *static_cast<const TraceLimits*>(limits);
  return py::guard(false, [&] {
    const TracePlace at = place_of(trace_limits, place);
    return dump_in_trace_into(value, trace_limits.values, &at, out);
  });
}

const dump::TraceDumperEntry kEntry{dump_for_tracer};

// dump(value, memo, frame_id, event, field), its self the capsule.
PyObject* dump_in_trace_with_bound_limits(PyObject* capsule, PyObject* const* args,
                                          Py_ssize_t count) {
  if (count != 5) {
    PyErr_SetString(PyExc_TypeError, "dump() takes value, memo, frame_id, event and field");
    return nullptr;
  }
  if (!PyUnicode_Check(args[3]) || !PyUnicode_Check(args[4])) {
    PyErr_SetString(PyExc_TypeError, "event and field are str");
    return nullptr;
  }
  if (args[2] != Py_None && !PyUnicode_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "frame_id is a str or None");
    return nullptr;
  }
  const auto* limits =
      static_cast<const TraceLimits*>(PyCapsule_GetPointer(capsule, dump::kTraceDumperCapsule));
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<std::string> frame_id;
    if (args[2] != Py_None) frame_id = text_of(args[2]);
    const std::string* id = frame_id ? &*frame_id : nullptr;
    const TracePlace at = place_of(*limits, dump::Place{args[1], id, args[3], args[4]});
    return dump_in_trace(args[0], limits->values, &at);
  });
}

PyMethodDef bound_dump_in_trace_definition = {
    "dump", py::as_cfunction(dump_in_trace_with_bound_limits), METH_FASTCALL,
    "dump(value, memo, frame_id, event, field)\n--\n\nOne MessagePack value of a frame record "
    "in the trace of the memo, within the dumper's limits."};

}  // namespace

PyObject* trace_dumper(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  return py::guard<PyObject*>(nullptr, [module, args, count]() {
    if (count != 2) py::throw_error(PyExc_TypeError, "trace_dumper() takes two limits");
    auto owned =
        std::make_unique<TraceLimits>(TraceLimits{limits_from(args[0]), limits_from(args[1])});
    py::Ref capsule =
        py::check(PyCapsule_New(owned.get(), dump::kTraceDumperCapsule, free_trace_limits));
    owned.release();
    py::check_status(
        PyCapsule_SetContext(capsule.get(), const_cast<dump::TraceDumperEntry*>(&kEntry)));
    py::Ref module_name = py::check(PyModule_GetNameObject(module));
    return py::check(
               PyCFunction_NewEx(&bound_dump_in_trace_definition, capsule.get(), module_name.get()))
        .release();
  });
}

}  // namespace vexo::speedups
