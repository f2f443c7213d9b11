#include "utils/dump.hpp"

#include <utility>

#include "py/convert.hpp"
#include "py/object.hpp"

namespace vexo::dump {

namespace {

// Looked up for every call: a serializer replaced at run time (or gone at shutdown) is seen as it
// is now. The look-up is answered from the last one while sys.modules and the module are as they
// were; it was an eighth of a recorded event. Never freed: static destructors run after the
// interpreter is gone.
py::ModuleAttribute& serializer(Dumper dumper) {
  const py::Names& names = py::names();
  static py::ModuleAttribute* const all[] = {
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack),
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack_in_trace),
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack_repr),
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack_full),
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack_lightweight_repr),
      new py::ModuleAttribute("vexo.serialize", names.dump_msgpack_lightweight_with_repr),
  };
  return *all[static_cast<std::size_t>(dumper)];
}

// The trace dumper last looked up, and its entry when it is a compiled one.
struct KnownTraceDumper {
  PyObject* function = nullptr;  // owned, so that its address keeps naming it
  const void* limits = nullptr;
  const TraceDumperEntry* entry = nullptr;
};

// Every recorded event dumps two values: while the serializer stays the same compiled function,
// they are dumped through its entry, which spares each a Python call (a tenth of an event).
const KnownTraceDumper& trace_dumper(PyObject* function) {
  static KnownTraceDumper* const known = new KnownTraceDumper;  // never freed, as above
  if (known->function == function) return *known;
  KnownTraceDumper found{Py_NewRef(function)};
  PyObject* self = PyCFunction_Check(function) ? PyCFunction_GET_SELF(function) : nullptr;
  if (self != nullptr && PyCapsule_IsValid(self, kTraceDumperCapsule)) {
    found.limits = PyCapsule_GetPointer(self, kTraceDumperCapsule);
    found.entry = static_cast<const TraceDumperEntry*>(PyCapsule_GetContext(self));
  }
  PyObject* earlier = std::exchange(*known, found).function;
  Py_XDECREF(earlier);
  return *known;
}

py::Ref call(PyObject* function, PyObject* value, const Place* place) {
  if (place == nullptr) return py::call(function, {value});
  py::Ref frame_id = place->frame_id != nullptr ? py::new_text(*place->frame_id) : py::Ref::none();
  return py::call(function, {value, place->memo, frame_id.get(), place->event, place->field});
}

// A bytes result is copied as it lies; any other accepted sequence is converted.
void take_bytes(PyObject* result, msgpack::Bytes& out) {
  if (!PyBytes_Check(result)) {
    out = py::to_byte_vector(result);
    return;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result));
  out.assign(data, data + PyBytes_GET_SIZE(result));
}

}  // namespace

std::optional<std::string> scrubbed_text(std::string_view text) {
  static py::ModuleAttribute* const scrub =
      new py::ModuleAttribute("vexo.serialize", py::names().scrub_text);
  try {
    py::Ref given = py::check(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    py::Ref result = py::call(scrub->get().get(), {given.get()});
    if (result.is(given.get())) return std::string(text);
    if (!PyUnicode_Check(result.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(result.get(), &size);
    if (utf8 == nullptr) py::throw_error();
    return std::string(utf8, static_cast<std::size_t>(size));
  } catch (const py::Error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return std::nullopt;  // a message that could not be scrubbed is not written
  }
}

Dumper dumper_for(std::string_view values, bool lightweight) noexcept {
  bool calls_repr = values == "repr" || values == "full";
  if (lightweight) return calls_repr ? Dumper::kLightweightRepr : Dumper::kLightweight;
  if (values == "full") return Dumper::kFull;
  if (values == "repr") return Dumper::kRepr;
  return values == "safe" ? Dumper::kInTrace : Dumper::kPlain;
}

void dump_value(PyObject* value, Dumper dumper, const Place* place, msgpack::Bytes& out) {
  py::Ref function = serializer(dumper).get();
  if (!in_trace(dumper)) place = nullptr;
  if (place != nullptr) {
    const KnownTraceDumper& known = trace_dumper(function.get());
    if (known.entry != nullptr) {
      // Every call record's "arg": a compiled dump of None is nil, with nothing to remember.
      if (value == Py_None) {
        out.clear();
        msgpack::write::nil(out);
        return;
      }
      if (!known.entry->dump(known.limits, value, *place, out)) py::throw_error();
      return;
    }
  }
  take_bytes(call(function.get(), value, place).get(), out);
}

msgpack::Bytes dump(PyObject* value, Dumper dumper) {
  // A value without a place in a trace (plugin data) is dumped alone.
  if (in_trace(dumper)) dumper = Dumper::kPlain;
  return py::to_byte_vector(py::call(serializer(dumper).get().get(), {value}).get());
}

}  // namespace vexo::dump
