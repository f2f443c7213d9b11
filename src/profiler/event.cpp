#include "profiler/event.hpp"

#include <mutex>
#include <string_view>

#include "filters/frame_filter.hpp"
#include "plugins/process_event.hpp"
#include "profiler/frame_record.hpp"
#include "profiler/log_error.hpp"
#include "py/convert.hpp"
#include "py/frames.hpp"
#include "py/names.hpp"
#include "py/object.hpp"
#include "utils/clock.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/file_and_line.hpp"
#include "utils/qualname.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

namespace {

using py::Ref;

PyObject* event_object(Event event) {
  static PyObject* call = PyUnicode_InternFromString(layout::event::kCall.data());
  static PyObject* ret = PyUnicode_InternFromString(layout::event::kReturn.data());
  PyObject* object = event == Event::Call ? call : ret;
  if (object == nullptr) throw py::Fatal("failed to make the event names");
  return object;
}

// What one event works on, read once.
struct EventContext {
  PyFrameObject* frame;
  ProfilerState& state;
  PyObject* arg;
  Event event;
  Leaving leaving;
  Ref code;
  CodeInfo info;
  // The thread's slot, looked up once per event, and its records, emptied and reused.
  ThreadSlot& slot;
  EventRecords& records;
  // The plugins registered under the code's name, or null.
  std::vector<plugins::PluginProcessor>* processors = nullptr;

  PyObject* co_filename() const { return py::code_filename(code.get()); }
  PyObject* co_name() const { return py::code_name(code.get()); }

  void log(const py::Error& error) const {
    log_error(state.failures, frame, error, event_name(event), co_filename(), co_name());
  }
};

// Plugins name their records' types; the buffers act on a few of them.
RecordKind plugin_record_kind(std::string_view type) {
  if (type == layout::record_type::kStartTest) return RecordKind::StartTest;
  if (type == layout::record_type::kEndTest) return RecordKind::EndTest;
  if (type == layout::record_type::kFrame) return RecordKind::Frame;
  return RecordKind::Other;
}

void run_plugins(EventContext& context) {
  ProfilerState& state = context.state;
  if (context.processors == nullptr) return;
  plugins::PluginEvent plugin_event{
      context.frame,
      context.event == Event::Call,
      event_object(context.event),
      context.arg,
      context.info.filename,
      state.settings.dumper,
      [&state]() { return call_frames_snapshot(state); },
      [&state]() -> const thread_identity::ThreadIdentity& { return cached_thread_info(state); },
  };
  for (plugins::PluginProcessor& processor : *context.processors) {
    try {
      if (auto produced = plugins::process_plugin_event(processor, plugin_event)) {
        context.records.push_back(
            {plugin_record_kind(produced->type), std::move(produced->record)});
      }
    } catch (const py::Error& error) {
      context.log(error);
    }
  }
}

// The frame's locals as a dict the record may show: from 3.13 on a function frame gives a
// write-through proxy, so a snapshot is taken; "__builtins__" is only ever removed from a copy.
Ref locals_for_record(PyFrameObject* frame) {
  Ref locals = py::frame_locals_copy(frame);
  bool owned_copy = false;
  if (!PyDict_Check(locals.get())) {
    locals = py::call(reinterpret_cast<PyObject*>(&PyDict_Type), {locals.get()});
    owned_copy = true;
  }
  PyObject* builtins = PyDict_GetItemWithError(locals.get(), py::names().__builtins__);
  if (builtins == nullptr) {
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::Broken("locals.get(\"__builtins__\") should not raise.");
    }
    return locals;
  }
  if (!owned_copy) {
    PyObject* copy = PyDict_Copy(locals.get());
    if (copy == nullptr) {
      PyErr_Clear();
      throw py::Broken("copying the frame's locals should not fail");
    }
    locals = Ref::steal(copy);
  }
  if (PyDict_DelItem(locals.get(), py::names().__builtins__) < 0) {
    PyErr_Clear();
    throw py::Broken("removing __builtins__ from a copy should not fail");
  }
  return locals;
}

// The frame's id, where the thread's map keeps it (its entry is only ever written by this
// thread's next call of a frame at the same address); null for a return whose call was not
// recorded.
const std::string* frame_id_for(const EventContext& context, ThreadSlot& slot,
                                clock::WallTime time) {
  const void* address = context.frame;
  if (context.event == Event::Call) {
    std::string& frame_id = slot.frame_ids[address];
    ulid::write_id("frm_", frame_id, time);
    return &frame_id;
  }
  auto found = slot.frame_ids.find(address);
  if (found == slot.frame_ids.end()) return nullptr;
  return &found->second;
}

// A buffer that held the dump of a huge value ("full" values) is not kept for the next event.
void release_if_huge(msgpack::Bytes& buffer) {
  constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;
  if (buffer.capacity() > kKeptCapacity) msgpack::Bytes().swap(buffer);
}

// The record's "arg" and "locals" values, dumped into the slot's buffers, at their place in the
// trace where the dumper takes one.
void dump_values(EventContext& context, ThreadSlot& slot, PyObject* locals,
                 const std::string* frame_id) {
  const dump::Dumper dumper = context.state.settings.dumper;
  if (!dump::in_trace(dumper)) {
    dump::dump_value(context.arg, dumper, nullptr, slot.arg_dump);
    dump::dump_value(locals, dumper, nullptr, slot.locals_dump);
    return;
  }
  Ref memo = context.state.value_memo();
  PyObject* event = event_object(context.event);
  const py::Names& names = py::names();
  const dump::Place arg_place{memo.get(), frame_id, event, names.arg};
  const dump::Place locals_place{memo.get(), frame_id, event, names.locals};
  dump::dump_value(context.arg, dumper, &arg_place, slot.arg_dump);
  dump::dump_value(locals, dumper, &locals_place, slot.locals_dump);
}

// A resumed generator's or coroutine's step names the logical call it belongs to.
void add_step_record(EventContext& context, const std::string& frame_id, clock::WallTime time,
                     const thread_identity::ThreadIdentity& thread) {
  ProfilerState& state = context.state;
  std::optional<Record> step =
      step_record(context.slot.generator_steps, state.budget.trace_number(), context.frame,
                  context.code.get(), context.info.first_instruction, frame_id, thread, time);
  if (step) context.records.push_back({RecordKind::Other, std::move(*step)});
}

// Gathers the frame's data and adds its records to the event's; throws py::Error on the first
// failure.
void process_frame(EventContext& context) {
  // One reading for the record's timestamp and its frame id's time: the moment the event began
  // to be recorded, before the serializer's share of the work.
  const clock::WallTime time = clock::now();
  ProfilerState& state = context.state;
  ThreadSlot& slot = context.slot;
  const thread_identity::ThreadIdentity& thread = cached_thread_info(slot);
  file_and_line::write_filename_with_lineno(context.frame, state.line_number(context.frame),
                                            slot.path);
  // Copied at once: the name's own memory is shared by all threads, and the serializer below can
  // let another thread run.
  std::optional<std::string_view> qualname = qualname::qualname_of(context.frame);
  if (qualname) qualname = std::string_view(slot.qualname.assign(*qualname));
  Ref locals = locals_for_record(context.frame);
  const std::string* frame_id = frame_id_for(context, slot, time);
  // The stack is read in place, and the call site names its caller's id where the stack holds
  // it: nothing changes the stack until the record is written, and reading a line number runs no
  // code of the program.
  std::optional<call_site::CallSiteView> call_site = call_site::user_code_call_site(
      std::span<const call_site::CallFrame>(slot.call_frames), frame_id,
      [](PyFrameObject* frame, void* of) {
        return static_cast<ProfilerState*>(of)->line_number(frame);
      },
      &state);
  dump_values(context, slot, locals.get(), frame_id);

  context.records.push_back(
      {RecordKind::Frame,
       encode_frame_record(
           FrameFields{slot.path, context.info.code_name, qualname, event_name(context.event),
                       frame_id, slot.arg_dump, slot.locals_dump, thread, call_site, time},
           slot.scratch)});
  release_if_huge(slot.arg_dump);
  release_if_huge(slot.locals_dump);
  if (context.event == Event::Call && frame_id != nullptr &&
      is_generator_code(context.code.get())) {
    add_step_record(context, *frame_id, time, thread);
  }
  update_call_frames(slot, context.event, context.frame, frame_id);
}

// Its own push: a failure here leaves the frame's return, already handed over, as it is.
void push_exception_record(ProfilerState& state, const LeftByException& left, PyObject* exception) {
  EventRecords records;
  records.push_back(
      {RecordKind::Other, encode_exception_record(left, exception, cached_thread_info(state))});
  push_frames(state, Event::Return, records);
}

// After the return record of a frame left by an exception: its exception's record now, or once
// the profile hook's caller has learnt the exception.
void note_left_by_exception(EventContext& context) {
  ProfilerState& state = context.state;
  ThreadSlot& slot = state.thread_slot();
  auto found = slot.frame_ids.find(context.frame);
  if (found == slot.frame_ids.end()) return;  // its call was not recorded: nothing to pair with
  LeftByException left{found->second, state.line_number(context.frame), clock::now()};
  if (context.leaving.exception == nullptr) {
    slot.awaited_exception = std::move(left);
    return;
  }
  try {
    push_exception_record(state, left, context.leaving.exception);
  } catch (const py::Error& error) {
    context.log(error);
  }
}

void process_event(EventContext& context) {
  // The lock keeps the plugins' shared state (their frame-id maps, and the trace a marker cuts or
  // saves) to one event at a time. An event that no plugin watches touches no shared state but
  // through the buffers' own locks, so it does not wait for other threads' plugins.
  std::unique_lock<PluginLock> plugin_guard(context.state.plugin_lock, std::defer_lock);
  if (context.processors != nullptr) plugin_guard.lock();
  run_plugins(context);
  bool record = filters::should_record(context.info.path, context.frame);
  if (record && context.state.budget.full()) {
    // The trace has no room left for frame records: their data would only be thrown away. A
    // return still leaves the stack of recorded calls.
    record = false;
    if (context.event == Event::Return) {
      update_call_frames(context.slot, Event::Return, context.frame, nullptr);
    }
  }
  try {
    if (record) process_frame(context);
    push_frames(context.state, context.event, context.records);
  } catch (const py::Error& error) {
    // A frame whose return could not be recorded has returned all the same: left on the stack it
    // would stand as the caller of every later call of its thread.
    if (record && context.event == Event::Return) {
      update_call_frames(context.slot, Event::Return, context.frame, nullptr);
    }
    context.log(error);
    return;
  }
  if (record && context.leaving.by_exception) note_left_by_exception(context);
}

void report_names_not_text(const EventContext& context) {
  try {
    py::text_view(context.co_filename());
    py::text_view(context.co_name());
  } catch (const py::Error& error) {
    context.log(error);
  }
}

void profile_event(PyFrameObject* frame, ProfilerState& state, PyObject* arg, Event event,
                   Leaving leaving) {
  if (!py::is_frame(reinterpret_cast<PyObject*>(frame))) {
    throw py::Broken("Python gives us a PyFrame");
  }
  Ref code = py::frame_code(frame);
  if (!code) throw py::Broken("A frame always has an `f_code`");
  if (!PyUnicode_Check(py::code_filename(code.get()))) {
    throw py::Broken("`co_filename` is always a string");
  }
  if (!PyUnicode_Check(py::code_name(code.get()))) throw py::Broken("`co_name` is always a string");
  CodeInfo info = state.code_info(code.get());
  // Most events are of library code that no plugin watches: they end here, before any lock.
  if (!info.may_matter()) return;
  state.renew_after_fork();
  ThreadSlot& slot = state.thread_slot();
  slot.records.clear();
  EventContext context{frame,           state, arg,  event,       leaving,
                       std::move(code), info,  slot, slot.records};
  if (!info.names_are_text) {
    // A name that is not UTF-8 text (lone surrogates) abandons this event only, reported once.
    report_names_not_text(context);
    return;
  }
  if (info.watched) {
    auto found = state.plugins.find(info.code_name);
    if (found != state.plugins.end()) context.processors = &found->second;
  }
  process_event(context);
}

}  // namespace

void profile(PyFrameObject* frame, ProfilerState& state, PyObject* arg, Event event,
             Leaving leaving) noexcept {
  try {
    profile_event(frame, state, arg, event, leaving);
  } catch (...) {
    report_abandoned_event(py::internal_failure(), reinterpret_cast<PyObject*>(frame));
  }
  if (PyErr_Occurred()) PyErr_Clear();
}

bool awaits_exception(ProfilerState& state) noexcept {
  ThreadSlot* slot = state.existing_thread_slot();
  return slot != nullptr && slot->awaited_exception.has_value();
}

void record_awaited_exception(ProfilerState& state, PyObject* exception) noexcept {
  ThreadSlot* slot = state.existing_thread_slot();
  if (slot == nullptr || !slot->awaited_exception) return;
  LeftByException left = std::move(*slot->awaited_exception);
  slot->awaited_exception.reset();
  try {
    push_exception_record(state, left, exception);
  } catch (...) {
    // The thread's identity was cached by the frame's own record and this record is no test
    // marker, so nothing here can fail but memory: the record is dropped.
  }
  if (PyErr_Occurred()) PyErr_Clear();
}

}  // namespace vexo::profiler
