#include "plugins/process_event.hpp"

#include <algorithm>

#include "py/object.hpp"
#include "utils/clock.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/thread_identity.hpp"
#include "utils/ulid.hpp"

namespace vexo::plugins {

namespace {

using py::Ref;

constexpr const char* kKeyInvariant = "a string is always a valid dict key";

void set_item(PyObject* dict, PyObject* key, const Ref& value) {
  if (PyDict_SetItem(dict, key, value.get()) < 0) {
    PyErr_Clear();
    throw py::Broken(kKeyInvariant);
  }
}

// collections.abc.Mapping, looked up once per process and kept.
PyObject* mapping_class() {
  static PyObject* mapping = []() -> PyObject* {
    Ref abc = py::import("collections.abc");
    return py::getattr(abc.get(), py::names().Mapping).release();
  }();
  return mapping;
}

bool is_mapping(PyObject* result) {
  if (PyDict_Check(result)) return true;
  try {
    return py::check_status(PyObject_IsInstance(result, mapping_class())) != 0;
  } catch (const py::Error& error) {
    error.restore();
    PyErr_WriteUnraisable(result);
    return false;
  }
}

bool passes_call_test(PluginProcessor& processor, const PluginEvent& event) {
  if (!processor.call) return true;
  Ref result =
      py::call(processor.call.get(), {reinterpret_cast<PyObject*>(event.frame), event.event_name,
                                      event.arg, processor.context.get()});
  return py::to_bool_strict(result.get());
}

bool wants_event(const PluginProcessor& processor, const PluginEvent& event) {
  if (!processor.events) return true;
  std::string_view name = event.is_call ? layout::event::kCall : layout::event::kReturn;
  return std::find(processor.events->begin(), processor.events->end(), name) !=
         processor.events->end();
}

std::string hit_frame_id(PluginProcessor& processor, const PluginEvent& event) {
  const void* address = event.frame;
  if (event.is_call) {
    std::string frame_id = ulid::new_frame_id();
    processor.processor_frame_ids[address] = frame_id;
    return frame_id;
  }
  auto found = processor.processor_frame_ids.find(address);
  if (found != processor.processor_frame_ids.end()) return found->second;
  return ulid::new_frame_id();
}

Ref call_site_value(call_site::CallFrameStack snapshot, const std::string& frame_id) {
  std::optional<call_site::UserCodeCallSite> site =
      call_site::user_code_call_site(std::move(snapshot), frame_id);
  if (!site) return Ref::none();
  Ref value = py::check(PyDict_New());
  set_item(value.get(), py::names().call_frame_id, py::new_text(site->call_frame_id));
  set_item(value.get(), py::names().line_number, py::check(PyLong_FromLong(site->line_number)));
  return value;
}

void merge_process_result(PluginProcessor& processor, const PluginEvent& event, PyObject* data) {
  Ref result =
      py::call(processor.process.get(), {reinterpret_cast<PyObject*>(event.frame), event.event_name,
                                         event.arg, processor.context.get()});
  if (!is_mapping(result.get())) py::throw_downcast(result.get(), "Mapping");
  py::check_status(PyDict_Update(data, result.get()));
}

std::string record_type(PyObject* data) {
  PyObject* type = PyDict_GetItemWithError(data, py::names().type);
  if (type == nullptr) {
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::Fatal("data[\"type\"] should not raise.");
    }
    throw py::Fatal("data[\"type\"] should not be missing.");
  }
  return py::to_text(Ref::share(type).get());
}

}  // namespace

Ref record_head(const std::string& frame_id, const thread_identity::ThreadIdentity& thread,
                call_site::CallFrameStack call_frames, std::string_view type) {
  const py::Names& names = py::names();
  Ref data = py::check(PyDict_New());
  set_item(data.get(), names.frame_id, py::new_text(frame_id));
  set_item(data.get(), names.timestamp, py::check(PyFloat_FromDouble(clock::timestamp())));
  set_item(data.get(), names.thread, py::new_text(thread.name));
  set_item(data.get(), names.thread_native_id, py::check(PyLong_FromSize_t(thread.native_id)));
  set_item(data.get(), names.user_code_call_site,
           call_site_value(std::move(call_frames), frame_id));
  set_item(data.get(), names.type, py::new_text(type));
  return data;
}

std::optional<PluginRecord> process_plugin_event(PluginProcessor& processor,
                                                 const PluginEvent& event) {
  if (!processor.path_fragment.find_in(event.filename)) return std::nullopt;
  if (!passes_call_test(processor, event)) return std::nullopt;
  call_site::CallFrameStack snapshot = event.call_frames();
  if (!wants_event(processor, event)) return std::nullopt;

  std::string frame_id = hit_frame_id(processor, event);
  Ref data = record_head(frame_id, event.thread(), std::move(snapshot),
                         event.is_call ? processor.call_type : processor.return_type);
  if (processor.subtype)
    set_item(data.get(), py::names().subtype, py::new_text(*processor.subtype));
  if (processor.process) merge_process_result(processor, event, data.get());

  std::string type = record_type(data.get());
  msgpack::Bytes record = dump::dump(data.get(), event.dumper);
  return PluginRecord{std::move(type), std::move(record)};
}

}  // namespace vexo::plugins
