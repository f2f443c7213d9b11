#include "profiler/exception_record.hpp"

#include <utility>
#include "profiler/frame_record.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/msgpack_put.hpp"

namespace vexo::profiler {

namespace {

namespace put = msgpack::put;

constexpr std::size_t kMessageLimit = 1000;  // bytes of UTF-8

std::optional<std::string_view> utf8_of(PyObject* text) {
  if (text == nullptr || !PyUnicode_Check(text)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // lone surrogates
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string type_name(PyTypeObject* type) {
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) return type->tp_name;
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
  std::string name(utf8_of(heap->ht_qualname).value_or(type->tp_name));
  // Read from the class's own dict: a metaclass's attribute lookup could run the program's code.
  PyObject* module =
      type->tp_dict != nullptr ? PyDict_GetItemString(type->tp_dict, "__module__") : nullptr;
  std::optional<std::string_view> module_name = utf8_of(module);
  if (!module_name || *module_name == "builtins") return name;
  std::string qualified(*module_name);
  qualified += '.';
  qualified += name;
  return qualified;
}

// Texts and numbers of the builtin types make their text without the program's code; an
// instance of any other class is named by its class.
void append_argument(std::string& text, PyObject* argument) {
  if (PyUnicode_CheckExact(argument)) {
    if (auto utf8 = utf8_of(argument)) {
      text += *utf8;
      return;
    }
  } else if (PyLong_CheckExact(argument) || PyFloat_CheckExact(argument) ||
             PyBool_Check(argument) || argument == Py_None) {
    PyObject* made = PyObject_Str(argument);
    if (made == nullptr) PyErr_Clear();  // an int too long for text
    std::optional<std::string_view> utf8 = utf8_of(made);
    if (utf8) text += *utf8;
    Py_XDECREF(made);
    if (utf8) return;
  }
  text += '<';
  text += type_name(Py_TYPE(argument));
  text += " object>";
}

// Cut at a character's start, so the text stays UTF-8.
void bound(std::string& text) {
  if (text.size() <= kMessageLimit) return;
  std::size_t end = kMessageLimit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  text += "…";
}

std::size_t text_size(const std::optional<std::string>& text) { return text ? text->size() : 0; }

}  // namespace

std::string exception_type_name(PyObject* exception) {
  if (PyExceptionClass_Check(exception)) {
    return type_name(reinterpret_cast<PyTypeObject*>(exception));
  }
  return type_name(Py_TYPE(exception));
}

std::optional<std::string> exception_message(PyObject* exception) {
  if (!PyExceptionInstance_Check(exception)) return std::nullopt;
  PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
  if (args == nullptr || !PyTuple_Check(args)) return std::nullopt;
  std::string text;
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(args) && text.size() <= kMessageLimit;
       ++index) {
    if (index > 0) text += ", ";
    append_argument(text, PyTuple_GET_ITEM(args, index));
  }
  bound(text);
  if (text.empty()) return text;
  return dump::scrubbed_text(text);
}

Record encode_exception_record(const LeftByException& left, PyObject* exception,
                               const thread_identity::ThreadIdentity& thread) {
  std::optional<std::string> type;
  std::optional<std::string> message;
  if (exception != nullptr) {
    type = exception_type_name(exception);
    message = exception_message(exception);
  }
  Record record(256 + left.frame_id.size() + text_size(type) + text_size(message) +
                thread.name.size());
  std::uint8_t* at = record.data();
  at = put::map_header(at, 8);
  at = put::fixstr<layout::record_type::kException>(put::fixstr<layout::record::kType>(at));
  at = put::str(put::fixstr<layout::record::kFrameId>(at), left.frame_id);
  at = put::fixstr<layout::record::kExceptionType>(at);
  at = type ? put::str(at, *type) : put::nil(at);
  at = put::fixstr<layout::record::kMessage>(at);
  at = message ? put::str(at, *message) : put::nil(at);
  at = put::integer(put::fixstr<layout::record::kLine>(at), left.line);
  return finished(std::move(record), put_time_and_thread(at, left.time, thread));
}

}  // namespace vexo::profiler
