// Reads only the top-level map of a trace document and passes over its records, checking each
// value as msgpack's unpacker would read it: whatever it might refuse sends the document to the
// reference reader, so that a damaged document gives what that reader gives.
#include "speedups/document_summary.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "py/error.hpp"
#include "py/method.hpp"
#include "py/ref.hpp"
#include "utils/document_layout.hpp"
#include "utils/msgpack_reader.hpp"

namespace vexo::speedups {

namespace {

using msgpack::kNone;
using msgpack::Reader;
using msgpack::Span;

constexpr int8_t kTimestamp = -1;

// What msgpack's unpacker might refuse in any value: nesting deeper than it reads (1024; this
// stays well within it).
struct UnpackerDepth {
  static constexpr int kMaxDepth = 256;
  static constexpr bool kWatching = false;
};

// And in a value it decodes: a timestamp (the one extension it decodes itself, which may be
// invalid; the reader's hook takes any other without fail) or a container as a map key (not
// hashable).
struct UnpackerDecoding : UnpackerDepth {
  static constexpr bool kWatching = true;
  static bool accepts(const Reader& reader, bool key) {
    const uint8_t code = reader.peek();
    if (msgpack::is_extension(code) && reader.extension_type() == kTimestamp) return false;
    return !(key && msgpack::is_container(code));
  }
};

// Passes over one value; false when the unpacker might refuse it.
bool pass(Reader& reader) { return msgpack::pass(reader, UnpackerDepth{}); }

// Passes over one value the unpacker decodes; its span, or nothing as for pass().
std::optional<Span> pass_decoded(Reader& reader) {
  const size_t start = reader.position();
  if (!msgpack::pass(reader, UnpackerDecoding{})) return std::nullopt;
  return Span{start, reader.position()};
}

// The value of the last `wanted` key of the map at `span` when it is a str (a later key of that
// name hides an earlier one, as in the dict the unpacker makes).
Span text_field(const uint8_t* data, Span span, std::string_view wanted) {
  Reader reader(data, span.end, span.start);
  Span found;
  const size_t pairs = reader.map_header();
  for (size_t pair = 0; pairs != kNone && pair < pairs; ++pair) {
    std::string_view key;
    const bool named = reader.text(key);
    if (!named) reader.skip();
    const size_t start = reader.position();
    std::string_view value;
    const bool text = reader.text(value);
    if (!text) reader.skip();
    if (named && key == wanted) found = text ? Span{start, reader.position()} : Span{};
  }
  return found;
}

struct Facts {
  Span timestamp, source, first, last;
  bool counted = false;
  uint64_t record_count = 0;
};

class DocumentReader {
 public:
  DocumentReader(const uint8_t* data, size_t size) noexcept : data_(data), reader_(data, size, 0) {}

  // The facts, or nothing when the document is left to the reference reader.
  std::optional<Facts> read() {
    const size_t pairs = reader_.map_header();
    if (pairs == kNone) return std::nullopt;
    for (size_t pair = 0; pair < pairs; ++pair) {
      std::string_view key;
      if (!reader_.text(key) || !read_field(key)) return std::nullopt;
    }
    return facts_;
  }

 private:
  bool read_field(std::string_view key) {
    if (key == layout::document::kFramesOfInterest) return read_records_of_interest();
    if (key == layout::document::kFrames) return read_thread_records();
    if (key == layout::document::kMeta || key == layout::document::kTimestamp) {
      const std::optional<Span> value = pass_decoded(reader_);
      if (!value) return false;
      if (key == layout::document::kMeta && msgpack::is_map(data_[value->start])) {
        const Span source = text_field(data_, *value, layout::meta::kSource);
        if (source.present()) facts_.source = source;
      } else if (key == layout::document::kTimestamp && msgpack::is_number(data_[value->start])) {
        facts_.timestamp = *value;
      }
      return true;
    }
    return pass(reader_);
  }

  // The first and last records are decoded, the others passed over.
  bool read_records_of_interest() {
    const size_t count = reader_.array_header();
    if (count == kNone) return false;
    for (size_t item = 0; item < count; ++item) {
      if (item == 0 || item == count - 1) {
        const std::optional<Span> record = pass_decoded(reader_);
        if (!record) return false;
        if (item == 0) facts_.first = *record;
        if (item == count - 1) facts_.last = *record;
      } else if (!pass(reader_)) {
        return false;
      }
    }
    facts_.counted = true;
    facts_.record_count += count;
    return true;
  }

  // A map of thread id to that thread's records.
  bool read_thread_records() {
    const size_t threads = reader_.map_header();
    if (threads == kNone) return false;
    for (size_t thread = 0; thread < threads; ++thread) {
      if (!pass(reader_)) return false;
      const size_t count = reader_.array_header();
      if (count == kNone) return false;
      for (size_t item = 0; item < count; ++item) {
        if (!pass(reader_)) return false;
      }
      facts_.counted = true;
      facts_.record_count += count;
    }
    return true;
  }

  const uint8_t* data_;
  Reader reader_;
  Facts facts_;
};

py::Ref text_at(const uint8_t* data, Span span) {
  if (!span.present()) return py::Ref::none();
  Reader reader(data, span.end, span.start);
  std::string_view text;
  reader.text(text);
  return py::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The record's marker fields that are texts, or None for a record that is no map.
py::Ref marker_fields(const uint8_t* data, Span record) {
  if (!msgpack::is_map(data[record.start])) return py::Ref::none();
  py::Ref fields = py::check(PyDict_New());
  for (const std::string_view name :
       {layout::record::kType, layout::record::kNodeid, layout::record::kOutcome}) {
    const Span value = text_field(data, record, name);
    if (value.present()) {
      py::check_status(PyDict_SetItemString(fields.get(), name.data(), text_at(data, value).get()));
    }
  }
  return fields;
}

}  // namespace

PyObject* summarize_document(PyObject*, PyObject* document) {
  if (!PyBytes_Check(document)) {
    PyErr_SetString(PyExc_TypeError, "summarize_document() takes bytes");
    return nullptr;
  }
  return py::guard<PyObject*>(nullptr, [document]() {
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(document));
    DocumentReader reader(data, static_cast<size_t>(PyBytes_GET_SIZE(document)));
    std::optional<Facts> facts;
    try {
      facts = reader.read();
    } catch (const py::Error&) {
      // Cut or damaged: the reference reader tells how much of it is read.
    }
    if (!facts) return py::Ref::none().release();
    py::Ref timestamp = py::Ref::none();
    if (facts->timestamp.present()) {
      py::Ref number = msgpack::scalar_value(data + facts->timestamp.start);
      timestamp = py::check(PyNumber_Float(number.get()));
    }
    py::Ref count = facts->counted ? py::check(PyLong_FromUnsignedLongLong(facts->record_count))
                                   : py::Ref::none();
    py::Ref first = facts->first.present() ? marker_fields(data, facts->first) : py::Ref::none();
    py::Ref last = facts->last.present() ? marker_fields(data, facts->last) : py::Ref::none();
    py::Ref source = text_at(data, facts->source);
    return py::check(
               PyTuple_Pack(5, timestamp.get(), source.get(), count.get(), first.get(), last.get()))
        .release();
  });
}

}  // namespace vexo::speedups
