// Test access to the writers, dumps, clock, ids, file-and-line texts, call sites and threads.
#include <cstring>
#include <string>

#include "py/convert.hpp"
#include "py/frames.hpp"
#include "py/object.hpp"
#include "testing.hpp"
#include "utils/call_site.hpp"
#include "utils/chacha20.hpp"
#include "utils/clock.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/file_and_line.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/secure_random.hpp"
#include "utils/thread_identity.hpp"
#include "utils/ulid.hpp"

namespace vexo::testing {

namespace {

using msgpack::Bytes;

py::Ref to_bytes(const Bytes& bytes) {
  return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<Py_ssize_t>(bytes.size())));
}

py::Ref to_int(std::uint64_t value) { return py::check(PyLong_FromUnsignedLongLong(value)); }

std::int64_t to_i64(PyObject* object) {
  long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) py::throw_error();
  return value;
}

std::optional<std::string_view> optional_text(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return py::text_view(object);
}

PyFrameObject* as_frame(PyObject* object) {
  if (!py::is_frame(object)) py::throw_downcast(object, "PyFrame");
  return reinterpret_cast<PyFrameObject*>(object);
}

template <std::size_t N>
std::array<std::uint8_t, N> exact_bytes(PyObject* object) {
  Bytes bytes = py::to_byte_vector(object);
  if (bytes.size() != N) py::throw_error(PyExc_ValueError, "wrong number of bytes");
  std::array<std::uint8_t, N> out{};
  std::memcpy(out.data(), bytes.data(), N);
  return out;
}

// encode(kind, value): the bytes one generic writer appends to an empty buffer.
PyObject* encode(PyObject*, PyObject* args) {
  const char* kind = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "sO", &kind, &value)) return nullptr;
  return run([&] {
    Bytes out;
    std::string_view which = kind;
    if (which == "nil") {
      msgpack::write::nil(out);
    } else if (which == "bool") {
      msgpack::write::boolean(out, py::to_bool_strict(value));
    } else if (which == "str") {
      msgpack::write::str(out, py::text_view(value));
    } else if (which == "uint") {
      msgpack::write::uint(out, py::to_u64(value));
    } else if (which == "int") {
      msgpack::write::integer(out, to_i64(value));
    } else if (which == "f64") {
      double number = PyFloat_AsDouble(value);
      if (number == -1.0 && PyErr_Occurred()) py::throw_error();
      msgpack::write::f64(out, number);
    } else if (which == "map") {
      msgpack::write::map_header(out, py::to_word(value));
    } else if (which == "array") {
      msgpack::write::array_header(out, py::to_word(value));
    } else if (which == "raw") {
      msgpack::write::raw(out, py::to_byte_vector(value));
    } else {
      py::throw_error(PyExc_ValueError, "unknown writer");
    }
    return to_bytes(out);
  });
}

PyObject* write_str_pair(PyObject*, PyObject* args) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &key, &value)) return nullptr;
  return run([&] {
    Bytes out;
    msgpack::write::str_pair(out, py::text_view(key), optional_text(value));
    return to_bytes(out);
  });
}

// write_raw_pair(prefix, key, value) -> (buffer after the write, length of value afterwards).
PyObject* write_raw_pair(PyObject*, PyObject* args) {
  PyObject* prefix = nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "OOO", &prefix, &key, &value)) return nullptr;
  return run([&] {
    Bytes out = py::to_byte_vector(prefix);
    Bytes raw = py::to_byte_vector(value);
    msgpack::write::raw_pair(out, py::text_view(key), raw);
    py::Ref written = to_bytes(out);
    return py::check(Py_BuildValue("(On)", written.get(), static_cast<Py_ssize_t>(raw.size())));
  });
}

PyObject* write_int_pair(PyObject*, PyObject* args) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &key, &value)) return nullptr;
  return run([&] {
    Bytes out;
    msgpack::write::int_pair(out, py::text_view(key), py::to_word(value));
    return to_bytes(out);
  });
}

PyObject* write_f64_pair(PyObject*, PyObject* arg) {
  double value = PyFloat_AsDouble(arg);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  return run([&] {
    Bytes out;
    msgpack::write::f64_pair(out, layout::document::kTimestamp, value);
    return to_bytes(out);
  });
}

PyObject* dump(PyObject*, PyObject* args) {
  PyObject* value = nullptr;
  PyObject* lightweight = nullptr;
  const char* values = "safe";
  if (!PyArg_ParseTuple(args, "OO|s", &value, &lightweight, &values)) return nullptr;
  return run([&] {
    return to_bytes(dump::dump(value, dump::dumper_for(values, py::to_bool_strict(lightweight))));
  });
}

PyObject* timestamp(PyObject*, PyObject*) {
  return run([] { return py::check(PyFloat_FromDouble(clock::timestamp())); });
}

PyObject* timestamp_from(PyObject*, PyObject* args) {
  long long seconds = 0;
  long long nanoseconds = 0;
  if (!PyArg_ParseTuple(args, "LL", &seconds, &nanoseconds)) return nullptr;
  return run(
      [&] { return py::check(PyFloat_FromDouble(clock::timestamp_from({seconds, nanoseconds}))); });
}

PyObject* ulid_millis_from(PyObject*, PyObject* args) {
  long long seconds = 0;
  long long nanoseconds = 0;
  if (!PyArg_ParseTuple(args, "LL", &seconds, &nanoseconds)) return nullptr;
  return run([&] { return to_int(clock::ulid_millis_from({seconds, nanoseconds})); });
}

PyObject* ulid_encode(PyObject*, PyObject* args) {
  unsigned long long millis = 0;
  unsigned short high = 0;
  unsigned long long low = 0;
  if (!PyArg_ParseTuple(args, "KHK", &millis, &high, &low)) return nullptr;
  return run([&] { return py::new_text(ulid::encode(millis, high, low)); });
}

PyObject* new_ulid(PyObject*, PyObject*) {
  return run([] { return py::new_text(ulid::new_ulid()); });
}

PyObject* new_trace_id(PyObject*, PyObject*) {
  return run([] { return py::new_text(ulid::new_trace_id()); });
}

PyObject* new_frame_id(PyObject*, PyObject*) {
  return run([] { return py::new_text(ulid::new_frame_id()); });
}

PyObject* random_u64s(PyObject*, PyObject* arg) {
  return run([&] {
    std::size_t count = py::to_word(arg);
    py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      to_int(secure_random::next_u64()).release());
    }
    return list;
  });
}

PyObject* random_seedings(PyObject*, PyObject*) {
  return run([] { return to_int(secure_random::seedings()); });
}

// chacha20_block(key: 32 bytes, counter, nonce: 12 bytes) -> the 64 keystream bytes.
PyObject* chacha20_block(PyObject*, PyObject* args) {
  PyObject* key = nullptr;
  unsigned int counter = 0;
  PyObject* nonce = nullptr;
  if (!PyArg_ParseTuple(args, "OIO", &key, &counter, &nonce)) return nullptr;
  return run([&] {
    chacha20::Block words = chacha20::block(chacha20::key_from_bytes(exact_bytes<32>(key)), counter,
                                            chacha20::nonce_from_bytes(exact_bytes<12>(nonce)));
    Bytes out;
    for (std::uint32_t word : words) {
      for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(word >> shift));
      }
    }
    return to_bytes(out);
  });
}

PyObject* relative_to(PyObject*, PyObject* args) {
  PyObject* filename = nullptr;
  PyObject* cwd = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &filename, &cwd)) return nullptr;
  return run([&] {
    return py::new_text(file_and_line::relative_to(py::text_view(filename), py::text_view(cwd)));
  });
}

PyObject* filename_with_lineno(PyObject*, PyObject* frame) {
  return run([&] { return py::new_text(file_and_line::filename_with_lineno(as_frame(frame))); });
}

PyObject* current_thread(PyObject*, PyObject*) {
  return run([] {
    thread_identity::ThreadIdentity identity = thread_identity::current_thread();
    py::Ref name = py::new_text(identity.name);
    py::Ref native_id = to_int(identity.native_id);
    return py::check(PyTuple_Pack(2, name.get(), native_id.get()));
  });
}

// user_code_call_site([(frame, frame_id), ...], frame_id or None) -> None or (id, line).
PyObject* user_code_call_site(PyObject*, PyObject* args) {
  PyObject* entries = nullptr;
  PyObject* frame_id = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &entries, &frame_id)) return nullptr;
  return run([&] {
    call_site::CallFrameStack stack;
    py::Ref iterator = py::check(PyObject_GetIter(entries));
    while (py::Ref entry = py::Ref::steal(PyIter_Next(iterator.get()))) {
      PyObject* frame = nullptr;
      const char* id = nullptr;
      if (!PyArg_ParseTuple(entry.get(), "Os", &frame, &id)) py::throw_error();
      stack.push_back(call_site::CallFrame{py::Ref::share(frame), id});
    }
    if (PyErr_Occurred()) py::throw_error();
    std::optional<std::string> event_id;
    if (frame_id != Py_None) event_id = py::to_text(frame_id);
    auto site = call_site::user_code_call_site(std::move(stack), event_id);
    if (!site) return py::Ref::none();
    py::Ref id = py::new_text(site->call_frame_id);
    py::Ref line = py::check(PyLong_FromLong(site->line_number));
    return py::check(PyTuple_Pack(2, id.get(), line.get()));
  });
}

const Register registered{
    {"encode", encode, METH_VARARGS, nullptr},
    {"write_str_pair", write_str_pair, METH_VARARGS, nullptr},
    {"write_raw_pair", write_raw_pair, METH_VARARGS, nullptr},
    {"write_int_pair", write_int_pair, METH_VARARGS, nullptr},
    {"write_f64_pair", write_f64_pair, METH_O, nullptr},
    {"dump", dump, METH_VARARGS, nullptr},
    {"timestamp", timestamp, METH_NOARGS, nullptr},
    {"timestamp_from", timestamp_from, METH_VARARGS, nullptr},
    {"ulid_millis_from", ulid_millis_from, METH_VARARGS, nullptr},
    {"ulid_encode", ulid_encode, METH_VARARGS, nullptr},
    {"new_ulid", new_ulid, METH_NOARGS, nullptr},
    {"new_trace_id", new_trace_id, METH_NOARGS, nullptr},
    {"new_frame_id", new_frame_id, METH_NOARGS, nullptr},
    {"random_u64s", random_u64s, METH_O, nullptr},
    {"random_seedings", random_seedings, METH_NOARGS, nullptr},
    {"chacha20_block", chacha20_block, METH_VARARGS, nullptr},
    {"relative_to", relative_to, METH_VARARGS, nullptr},
    {"filename_with_lineno", filename_with_lineno, METH_O, nullptr},
    {"current_thread", current_thread, METH_NOARGS, nullptr},
    {"user_code_call_site", user_code_call_site, METH_VARARGS, nullptr},
};

}  // namespace

}  // namespace vexo::testing
