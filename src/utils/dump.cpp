#include "utils/dump.hpp"

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

py::Ref call_serializer(Dumper dumper, PyObject* value, const Place* place) {
  py::Ref function = serializer(dumper).get();
  if (place != nullptr) {
    return py::call(function.get(),
                    {value, place->memo, place->frame_id, place->event, place->field});
  }
  return py::call(function.get(), {value});
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

std::span<const std::uint8_t> Dumped::bytes() const noexcept {
  if (object_) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(object_.get()))};
  }
  return converted_;
}

Dumper dumper_for(std::string_view values, bool lightweight) noexcept {
  bool calls_repr = values == "repr" || values == "full";
  if (lightweight) return calls_repr ? Dumper::kLightweightRepr : Dumper::kLightweight;
  if (values == "full") return Dumper::kFull;
  if (values == "repr") return Dumper::kRepr;
  return values == "safe" ? Dumper::kInTrace : Dumper::kPlain;
}

Dumped dump_value(PyObject* value, Dumper dumper, const Place* place) {
  py::Ref result = call_serializer(dumper, value, in_trace(dumper) ? place : nullptr);
  if (PyBytes_Check(result.get())) return Dumped(std::move(result), {});
  return Dumped(py::Ref(), py::to_byte_vector(result.get()));
}

msgpack::Bytes dump(PyObject* value, Dumper dumper) {
  // A value without a place in a trace (plugin data) is dumped alone.
  if (in_trace(dumper)) dumper = Dumper::kPlain;
  return py::to_byte_vector(call_serializer(dumper, value, nullptr).get());
}

}  // namespace vexo::dump
