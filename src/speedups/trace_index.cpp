// Reads MessagePack in place: each record's map is walked once for the few fields the tree needs,
// values are made into interpreter objects only when they are scalars the tree compares or shows
// (anything else goes through the `unpack` function given, so it is what the Python reader gives).
#include "speedups/trace_index.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"
#include "speedups/int_writer.hpp"
#include "utils/document_layout.hpp"
#include "utils/msgpack_reader.hpp"
#include "utils/msgpack_writer.hpp"

namespace vexo::speedups {

namespace {

using msgpack::damaged;
using msgpack::kNone;
using msgpack::Reader;
using msgpack::scalar_value;
using msgpack::Span;

// The fields of a record the tree reads.
struct Record {
  Span whole, native_id, thread, type, event, frame_id, timestamp, qualname, co_name, path;
};

enum Kind : uint8_t { kThread, kCall, kEvent };

msgpack::Bytes packed_thread(PyObject* name, PyObject* native_id);

class Indexer {
 public:
  Indexer(PyObject* document, PyObject* unpack)
      : data_(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(document))),
        size_(static_cast<size_t>(PyBytes_GET_SIZE(document))),
        unpack_(unpack),
        groups_(py::check(PyDict_New())) {}

  void read_buffer(PyObject* buffer_thread, Span buffer) {
    Reader reader(data_, buffer.end, buffer.start);
    const size_t count = reader.array_header();
    if (count == kNone) return;
    for (size_t item = 0; item < count; ++item) {
      if (msgpack::is_map(reader.peek())) {
        add_record(reader, buffer_thread);
      } else {
        reader.skip();  // not a record
      }
    }
  }

  py::Ref read_document();
  py::Ref finish(PyObject* main_thread);

 private:
  struct Group {
    py::Ref key;
    py::Ref name;
    std::vector<Record> records;
  };

  struct Callee {
    py::Ref name, path;
    size_t text = kNone;
    long long calls = 0;
    double total = 0.0, own = 0.0;
  };

  void add_record(Reader& reader, PyObject* buffer_thread) {
    Record record;
    record.whole.start = reader.position();
    const size_t pairs = reader.map_header();
    for (size_t pair = 0; pair < pairs; ++pair) {
      std::string_view key;
      const bool named = reader.text(key);
      if (!named) reader.skip();
      Span* field = named ? field_of(record, key) : nullptr;
      const size_t start = reader.position();
      reader.skip();
      if (field != nullptr) *field = Span{start, reader.position()};
    }
    record.whole.end = reader.position();
    py::Ref thread =
        record.native_id.present() ? value(record.native_id) : py::Ref::share(buffer_thread);
    Group& group = group_of(thread);
    if (!group.name && record.thread.present() && is_text(record.thread)) {
      group.name = value(record.thread);
    }
    group.records.push_back(record);
  }

  static Span* field_of(Record& record, std::string_view key) noexcept {
    namespace field = layout::record;
    if (key == field::kThreadNativeId) return &record.native_id;
    if (key == field::kThread) return &record.thread;
    if (key == field::kType) return &record.type;
    if (key == field::kEvent) return &record.event;
    if (key == field::kFrameId) return &record.frame_id;
    if (key == field::kTimestamp) return &record.timestamp;
    if (key == field::kQualname) return &record.qualname;
    if (key == field::kCoName) return &record.co_name;
    if (key == field::kPath) return &record.path;
    return nullptr;
  }

  Group& group_of(const py::Ref& thread) {
    PyObject* found = PyDict_GetItemWithError(groups_.get(), thread.get());
    if (found != nullptr) return groups_list_[PyLong_AsSize_t(found)];
    if (PyErr_Occurred()) py::throw_error();
    py::Ref number = py::check(PyLong_FromSize_t(groups_list_.size()));
    py::check_status(PyDict_SetItem(groups_.get(), thread.get(), number.get()));
    groups_list_.push_back(Group{thread, py::Ref(), {}});
    return groups_list_.back();
  }

  bool is_text(Span span) const { return msgpack::is_text(data_[span.start]); }

  bool text_is(Span span, std::string_view wanted) const {
    if (!span.present()) return false;
    Reader reader(data_, span.end, span.start);
    std::string_view text;
    return reader.text(text) && text == wanted;
  }

  // The value as the Python reader makes it: scalars here, anything else through `unpack`.
  py::Ref value(Span span) const;
  // The value when it is a number (bool included).
  std::optional<double> number_at(Span span) const;

  void add_thread(size_t number, const Group& group);
  template <class Opened>
  bool close(std::vector<Opened>& open, const Record& record, const py::Ref& frame_id);
  static double duration(std::optional<double> start, std::optional<double> end) noexcept;
  size_t add_node(Kind kind, size_t parent, size_t thread, size_t text);
  size_t add_call(size_t parent, size_t thread, const Record& record);
  size_t callee_of(const Record& record);
  size_t event_text(const Record& record);
  size_t add_text(PyObject* text);
  void add_figures();
  Span last_stamp(size_t thread) const;
  py::Ref threads() const;
  py::Ref node_lists() const;
  py::Ref children() const;
  py::Ref block_and_offsets() const;
  py::Ref names() const;
  py::Ref callees() const;

  const uint8_t* data_;
  size_t size_;
  PyObject* unpack_;
  py::Ref groups_;  // thread id -> index in groups_list_
  py::Ref question_mark_ = py::check(PyUnicode_FromString("?"));
  std::vector<Group> groups_list_;

  // Per node.
  std::vector<uint8_t> kind_;
  std::vector<size_t> parent_, thread_, text_, callee_;
  std::vector<Span> first_, second_;  // thread/event: the record; call: its call and return
  std::vector<Span> end_;             // the timestamp of the node's last record
  std::vector<double> duration_;
  std::vector<std::vector<size_t>> children_;
  std::vector<msgpack::Bytes> packed_threads_;

  std::vector<Callee> callees_;
  std::unordered_map<std::string, size_t> callee_numbers_, event_texts_;
  std::vector<std::string> texts_;  // UTF-8
  std::vector<Py_ssize_t> text_lengths_;
};

py::Ref Indexer::value(Span span) const {
  if (!span.present()) return py::Ref::none();
  const uint8_t* at = data_ + span.start;
  if (py::Ref scalar = scalar_value(at)) return scalar;
  Reader reader(data_, span.end, span.start);
  std::string_view text;
  if (reader.text(text)) {
    return py::check(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  }
  py::Ref packed = py::check(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(span.end - span.start)));
  return py::check(PyObject_CallOneArg(unpack_, packed.get()));
}

std::optional<double> Indexer::number_at(Span span) const {
  if (!span.present()) return std::nullopt;
  const uint8_t code = data_[span.start];
  const bool boolean = code == 0xc2 || code == 0xc3;
  if (!msgpack::is_number(code) && !boolean) return std::nullopt;
  py::Ref number = value(span);
  const double result = PyFloat_AsDouble(number.get());
  if (result == -1.0 && PyErr_Occurred()) py::throw_error();
  return result;
}

size_t Indexer::add_node(Kind kind, size_t parent, size_t thread, size_t text) {
  const size_t number = kind_.size();
  kind_.push_back(kind);
  parent_.push_back(parent);
  thread_.push_back(thread);
  text_.push_back(text);
  callee_.push_back(kNone);
  first_.emplace_back();
  second_.emplace_back();
  end_.emplace_back();
  duration_.push_back(0.0);
  children_.emplace_back();
  if (parent != kNone) children_[parent].push_back(number);
  return number;
}

size_t Indexer::add_text(PyObject* text) {
  py::Ref lowered = py::check(PyObject_CallMethod(text, "lower", nullptr));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
  if (utf8 == nullptr) py::throw_error();
  texts_.emplace_back(utf8, static_cast<size_t>(size));
  text_lengths_.push_back(PyUnicode_GET_LENGTH(lowered.get()));
  return texts_.size() - 1;
}

// Calls of one function from one line share their name, path and search text.
size_t Indexer::callee_of(const Record& record) {
  std::string key;
  for (const Span span : {record.qualname, record.co_name, record.path}) {
    const size_t length = span.present() ? span.end - span.start : 0;
    key.append(reinterpret_cast<const char*>(&length), sizeof length);
    if (length > 0) key.append(reinterpret_cast<const char*>(data_ + span.start), length);
  }
  const auto found = callee_numbers_.find(key);
  if (found != callee_numbers_.end()) return found->second;
  py::Ref name = value(record.qualname);
  if (!py::check_status(PyObject_IsTrue(name.get()))) name = value(record.co_name);
  if (!py::check_status(PyObject_IsTrue(name.get()))) name = py::check(PyUnicode_FromString("?"));
  py::Ref path = value(record.path);
  if (!py::check_status(PyObject_IsTrue(path.get()))) path = py::check(PyUnicode_FromString("?"));
  Callee callee{py::check(PyObject_Str(name.get())), py::check(PyObject_Str(path.get()))};
  py::Ref text = py::check(PyUnicode_FromFormat("%U\t%U", callee.name.get(), callee.path.get()));
  callee.text = add_text(text.get());
  callee_numbers_.emplace(std::move(key), callees_.size());
  callees_.push_back(std::move(callee));
  return callees_.size() - 1;
}

size_t Indexer::event_text(const Record& record) {
  const std::string key =
      record.type.present() ? std::string(reinterpret_cast<const char*>(data_ + record.type.start),
                                          record.type.end - record.type.start)
                            : std::string();
  const auto found = event_texts_.find(key);
  if (found != event_texts_.end()) return found->second;
  py::Ref text = py::check(PyObject_Str(value(record.type).get()));
  const size_t number = add_text(text.get());
  event_texts_.emplace(key, number);
  return number;
}

size_t Indexer::add_call(size_t parent, size_t thread, const Record& record) {
  const size_t callee = callee_of(record);
  const size_t number = add_node(kCall, parent, thread, callees_[callee].text);
  callee_[number] = callee;
  return number;
}

// A call opens a node that the calls and events after it nest under until its return (matched by
// frame id) closes it; a return whose call is not open stands alone.
void Indexer::add_thread(size_t number, const Group& group) {
  struct Open {
    py::Ref frame_id;
    std::optional<double> start;
    size_t node;
  };
  std::vector<Open> open;
  for (const Record& record : group.records) {
    const size_t parent = open.empty() ? number : open.back().node;
    if (!text_is(record.type, layout::record_type::kFrame)) {
      const size_t node = add_node(kEvent, parent, number, event_text(record));
      first_[node] = record.whole;
      end_[node] = record.timestamp;
      continue;
    }
    py::Ref frame_id = value(record.frame_id);
    if (text_is(record.event, layout::event::kCall)) {
      const size_t node = add_call(parent, number, record);
      first_[node] = record.whole;
      end_[node] = record.timestamp;
      open.push_back(Open{std::move(frame_id), number_at(record.timestamp), node});
      continue;
    }
    if (!close(open, record, frame_id)) {
      const size_t node = add_call(parent, number, record);
      second_[node] = record.whole;
      end_[node] = record.timestamp;
    }
  }
}

template <class Opened>
bool Indexer::close(std::vector<Opened>& open, const Record& record, const py::Ref& frame_id) {
  for (size_t depth = open.size(); depth-- > 0;) {
    PyObject* left = open[depth].frame_id.get();
    const int equal =
        left == frame_id.get() ? 1 : PyObject_RichCompareBool(left, frame_id.get(), Py_EQ);
    if (py::check_status(equal) == 0) continue;
    const size_t node = open[depth].node;
    second_[node] = record.whole;
    end_[node] = record.timestamp;
    duration_[node] = duration(open[depth].start, number_at(record.timestamp));
    open.resize(depth);  // calls above it lost their returns (the trace was cut in between)
    return true;
  }
  return false;
}

double Indexer::duration(std::optional<double> start, std::optional<double> end) noexcept {
  if (!start || !end) return 0.0;
  const double difference = *end - *start;
  const double result = difference < 0.0 ? 0.0 : difference;
  return result == 0.0 ? 0.0 : result;
}

// Calls, total and own time per callee, summed in node order. Own time: the call's time less its
// child calls', taken off once all are added.
void Indexer::add_figures() {
  std::vector<double> inner(kind_.size(), 0.0);
  for (size_t node = 0; node < kind_.size(); ++node) {
    if (kind_[node] != kCall) continue;
    Callee& callee = callees_[callee_[node]];
    callee.calls += 1;
    callee.total += duration_[node];
    callee.own += duration_[node];
    inner[parent_[node]] += duration_[node];
  }
  for (size_t node = 0; node < kind_.size(); ++node) {
    if (kind_[node] != kCall) continue;
    Callee& callee = callees_[callee_[node]];
    const double own = callee.own - inner[node];
    callee.own = own < 0.0 ? 0.0 : own;
  }
}

// The timestamp of the thread's last record: the return of its last call, or of the deepest last
// one.
Span Indexer::last_stamp(size_t thread) const {
  const std::vector<size_t>* children = &children_[thread];
  while (!children->empty()) {
    const size_t node = children->back();
    if (kind_[node] == kEvent || second_[node].present() || children_[node].empty()) {
      return end_[node];
    }
    children = &children_[node];
  }
  return Span{};
}

// [name, native id] of a thread, packed as the Python side packs it.
msgpack::Bytes packed_thread(PyObject* name, PyObject* native_id) {
  msgpack::Bytes out;
  msgpack::write::array_header(out, 2);
  msgpack::write::str(out, py::text_view(name));
  if (native_id == Py_True || native_id == Py_False) {
    msgpack::write::boolean(out, native_id == Py_True);
  } else if (PyLong_Check(native_id)) {
    if (!write_if_64_bits(out, native_id)) {
      py::throw_error(PyExc_OverflowError, "thread id out of range");
    }
  } else {
    msgpack::write::nil(out);
  }
  return out;
}

// The document's fields but its record buffers, whose records it reads: the main thread's buffer
// first, then the other threads'. A field named twice keeps its last value.
py::Ref Indexer::read_document() {
  Reader reader(data_, size_, 0);
  const size_t pairs = reader.map_header();
  if (pairs == kNone) damaged();
  py::Ref fields = py::check(PyDict_New());
  Span main_buffer;
  Span thread_buffers;
  for (size_t pair = 0; pair < pairs; ++pair) {
    const size_t key_start = reader.position();
    std::string_view key;
    const bool named = reader.text(key);
    if (!named) reader.skip();
    const Span key_span{key_start, reader.position()};
    reader.skip();
    const Span value_span{key_span.end, reader.position()};
    if (named && key == layout::document::kFramesOfInterest) {
      main_buffer = value_span;
    } else if (named && key == layout::document::kFrames) {
      thread_buffers = value_span;
    } else {
      py::check_status(
          PyDict_SetItem(fields.get(), value(key_span).get(), value(value_span).get()));
    }
  }
  if (reader.position() != size_) damaged();
  PyObject* main = PyDict_GetItemString(fields.get(), layout::document::kMainThreadId.data());
  if (main_buffer.present()) read_buffer(main == nullptr ? Py_None : main, main_buffer);
  if (thread_buffers.present()) {
    Reader buffers(data_, thread_buffers.end, thread_buffers.start);
    const size_t threads = buffers.map_header();
    for (size_t item = 0; threads != kNone && item < threads; ++item) {
      const size_t key_start = buffers.position();
      buffers.skip();
      py::Ref thread = value(Span{key_start, buffers.position()});
      const size_t start = buffers.position();
      buffers.skip();
      read_buffer(thread.get(), Span{start, buffers.position()});
    }
  }
  return fields;
}

// The main thread's records first, then the other threads' in the order they first appear.
py::Ref Indexer::finish(PyObject* main_thread) {
  std::vector<size_t> order;
  std::vector<size_t> others;
  for (size_t group = 0; group < groups_list_.size(); ++group) {
    const int other = PyObject_RichCompareBool(groups_list_[group].key.get(), main_thread, Py_NE);
    (py::check_status(other) ? others : order).push_back(group);
  }
  order.insert(order.end(), others.begin(), others.end());
  for (size_t number = 0; number < order.size(); ++number) {
    const Group& group = groups_list_[order[number]];
    add_node(kThread, kNone, number, kNone);
    PyObject* native_id = PyLong_Check(group.key.get()) ? group.key.get() : Py_None;
    packed_threads_.push_back(
        packed_thread(group.name ? group.name.get() : question_mark_.get(), native_id));
  }
  for (size_t number = 0; number < order.size(); ++number) {
    add_thread(number, groups_list_[order[number]]);
  }
  add_figures();
  py::Ref threads = py::check(PyList_New(0));
  for (size_t number = 0; number < order.size(); ++number) {
    const Group& group = groups_list_[order[number]];
    PyObject* native_id = PyLong_Check(group.key.get()) ? group.key.get() : Py_None;
    py::Ref first = value(group.records.front().timestamp);
    py::Ref last = value(last_stamp(number));
    py::Ref entry = py::check(
        Py_BuildValue("(OOnOO)", group.name ? group.name.get() : question_mark_.get(), native_id,
                      static_cast<Py_ssize_t>(group.records.size()), first.get(), last.get()));
    py::check_status(PyList_Append(threads.get(), entry.get()));
  }
  py::Ref lists = node_lists();
  py::Ref blocks = block_and_offsets();
  py::Ref name_texts = names();
  py::Ref figures = callees();
  return py::check(Py_BuildValue("(OOOOO)", threads.get(), lists.get(), blocks.get(),
                                 name_texts.get(), figures.get()));
}

// Per node: kind, parent (-1 for a thread) and thread; and the children of each node that has any.
py::Ref Indexer::node_lists() const {
  const auto count = static_cast<Py_ssize_t>(kind_.size());
  py::Ref kinds = py::check(PyList_New(count));
  py::Ref parents = py::check(PyList_New(count));
  py::Ref threads = py::check(PyList_New(count));
  py::Ref kind_names[] = {py::check(PyUnicode_InternFromString("thread")),
                          py::check(PyUnicode_InternFromString("call")),
                          py::check(PyUnicode_InternFromString("event"))};
  py::Ref children = py::check(PyDict_New());
  for (Py_ssize_t node = 0; node < count; ++node) {
    const auto at = static_cast<size_t>(node);
    PyList_SET_ITEM(kinds.get(), node, py::Ref(kind_names[kind_[at]]).release());
    const long long parent = parent_[at] == kNone ? -1 : static_cast<long long>(parent_[at]);
    PyList_SET_ITEM(parents.get(), node, py::check(PyLong_FromLongLong(parent)).release());
    PyList_SET_ITEM(threads.get(), node, py::check(PyLong_FromSize_t(thread_[at])).release());
  }
  // In the order parents got their first child, as the reference's dict has them.
  std::vector<size_t> parents_in_order;
  for (size_t node = 0; node < kind_.size(); ++node) {
    const size_t parent = parent_[node];
    if (parent != kNone && children_[parent].front() == node) parents_in_order.push_back(parent);
  }
  for (const size_t parent : parents_in_order) {
    const auto& list = children_[parent];
    py::Ref items = py::check(PyList_New(static_cast<Py_ssize_t>(list.size())));
    for (size_t i = 0; i < list.size(); ++i) {
      PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i),
                      py::check(PyLong_FromSize_t(list[i])).release());
    }
    py::Ref key = py::check(PyLong_FromSize_t(parent));
    py::check_status(PyDict_SetItem(children.get(), key.get(), items.get()));
  }
  return py::check(
      Py_BuildValue("(OOOO)", kinds.get(), parents.get(), threads.get(), children.get()));
}

py::Ref int64_bytes(const std::vector<long long>& numbers) {
  return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(numbers.data()),
                                             static_cast<Py_ssize_t>(numbers.size() * 8)));
}

// Every node's packed records, one after the other, and where each node's start (native int64).
py::Ref Indexer::block_and_offsets() const {
  const auto size_of = [](Span span) { return span.present() ? span.end - span.start : 1; };
  std::vector<long long> offsets(kind_.size() + 1, 0);
  for (size_t node = 0; node < kind_.size(); ++node) {
    size_t size = 0;
    if (kind_[node] == kThread) {
      size = packed_threads_[node].size();
    } else if (kind_[node] == kEvent) {
      size = size_of(first_[node]);
    } else {
      size = 1 + size_of(first_[node]) + size_of(second_[node]);
    }
    offsets[node + 1] = offsets[node] + static_cast<long long>(size);
  }
  // Written in place: the block is as large as the records, copied once.
  py::Ref bytes = py::check(PyBytes_FromStringAndSize(nullptr, offsets.back()));
  char* out = PyBytes_AS_STRING(bytes.get());
  const auto add = [&](Span span) {
    if (span.present()) {
      std::memcpy(out, data_ + span.start, span.end - span.start);
      out += span.end - span.start;
    } else {
      *out++ = static_cast<char>(0xc0);
    }
  };
  for (size_t node = 0; node < kind_.size(); ++node) {
    if (kind_[node] == kThread) {
      std::memcpy(out, packed_threads_[node].data(), packed_threads_[node].size());
      out += packed_threads_[node].size();
    } else if (kind_[node] == kEvent) {
      add(first_[node]);
    } else {
      *out++ = static_cast<char>(0x92);
      add(first_[node]);
      add(second_[node]);
    }
  }
  py::Ref numbers = int64_bytes(offsets);
  return py::check(Py_BuildValue("(OO)", bytes.get(), numbers.get()));
}

// The nodes' search texts by name, joined by NUL, and where each starts (in characters).
py::Ref Indexer::names() const {
  std::string joined;
  std::vector<long long> starts;
  long long position = 0;
  for (size_t node = 0; node < kind_.size(); ++node) {
    if (node > 0) joined.push_back('\0');
    starts.push_back(position);
    if (text_[node] != kNone) {
      joined += texts_[text_[node]];
      position += text_lengths_[text_[node]];
    }
    position += 1;
  }
  py::Ref text = py::check(
      PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()), "strict"));
  py::Ref numbers = int64_bytes(starts);
  return py::check(Py_BuildValue("(OO)", text.get(), numbers.get()));
}

// (name, "file:line", calls, total, own) of each function called from each line.
py::Ref Indexer::callees() const {
  py::Ref list = py::check(PyList_New(0));
  for (const Callee& callee : callees_) {
    py::Ref entry = py::check(Py_BuildValue("(OOLdd)", callee.name.get(), callee.path.get(),
                                            callee.calls, callee.total, callee.own));
    py::check_status(PyList_Append(list.get(), entry.get()));
  }
  return list;
}

}  // namespace

PyObject* index_document(PyObject*, PyObject* args) {
  PyObject* document = nullptr;
  PyObject* unpack = nullptr;
  if (!PyArg_ParseTuple(args, "O!O:index_document", &PyBytes_Type, &document, &unpack)) {
    return nullptr;
  }
  return py::guard<PyObject*>(nullptr, [&]() {
    Indexer indexer(document, unpack);
    py::Ref fields = indexer.read_document();
    PyObject* main = PyDict_GetItemString(fields.get(), layout::document::kMainThreadId.data());
    py::Ref nodes = indexer.finish(main == nullptr ? Py_None : main);
    return py::check(Py_BuildValue("(OO)", fields.get(), nodes.get())).release();
  });
}

}  // namespace vexo::speedups
