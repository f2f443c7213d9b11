// Building the profiler state from the package's profiler object and its configuration.
#include "profiler/state.hpp"
#include "py/object.hpp"
#include "utils/clock.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

namespace {

using py::Borrowed;
using py::Ref;

// A configuration key read with the dict's own lookup; absence is no error.
Borrowed config_get(PyObject* config, PyObject* key, const char* fatal_message) {
  try {
    return py::dict_lookup(config, key);
  } catch (const py::Error&) {
    throw py::Fatal(fatal_message);
  }
}

// filters[item] as path finders; a failing item access counts as an empty list.
std::vector<filters::PathFinder> read_finders(PyObject* filters, PyObject* item) {
  PyObject* value = PyObject_GetItem(filters, item);
  if (value == nullptr) {
    PyErr_Clear();
    return {};
  }
  Ref owned = Ref::steal(value);
  return filters::build_finders(py::to_text_list(owned.get()));
}

// The strict bool rule, where a value that does not convert counts as false.
bool lenient_flag(Borrowed value) {
  if (!value) return false;
  try {
    return py::to_bool_strict(value.get());
  } catch (const py::Error&) {
    return false;
  }
}

// A text setting, where a value that is not a text counts as empty.
std::string lenient_text(const Ref& value) {
  if (!value || !PyUnicode_Check(value.get())) return {};
  try {
    return py::to_text(value.get());
  } catch (const py::Error&) {
    return {};
  }
}

std::size_t main_thread_native_id() {
  Ref threading = py::import("threading");
  Ref main_thread = py::call(py::getattr(threading.get(), py::names().main_thread).get(), {});
  return py::to_word(py::getattr(main_thread.get(), py::names().native_id).get());
}

}  // namespace

std::unique_ptr<ProfilerState> ProfilerState::new_from_python(PyObject* profiler) {
  const py::Names& names = py::names();
  Settings settings;

  Ref config = py::getattr(profiler, names.config);
  if (!PyDict_Check(config.get())) py::throw_downcast(config.get(), "PyDict");

  Borrowed filters =
      config_get(config.get(), names.filters, "config.get(\"filters\" should not raise.");
  if (filters) {
    Ref held = Ref::share(filters);
    settings.include_frames = read_finders(held.get(), names.include_frames);
    settings.ignore_frames = read_finders(held.get(), names.ignore_frames);
  }

  settings.main_thread_id = main_thread_native_id();

  Borrowed timeout = config_get(config.get(), names.sqlite_busy_timeout,
                                "config.get(\"sqlite_busy_timeout\" should not raise.");
  if (timeout) settings.sqlite_busy_timeout = py::to_word(Ref::share(timeout).get());

  // Not a key of the package's settings: a program that embeds the tracer may choose a smaller
  // budget for its traces (the default is safe to store).
  Borrowed max_trace_bytes = config_get(config.get(), names.max_trace_bytes,
                                        "config.get(\"max_trace_bytes\" should not raise.");
  if (max_trace_bytes) settings.max_trace_bytes = py::to_word(Ref::share(max_trace_bytes).get());

  settings.threading = lenient_flag(Ref::share(
      config_get(config.get(), names.threading, "config.get(\"threading\" should not raise.")));
  bool lightweight = lenient_flag(Ref::share(config_get(
      config.get(), names.lightweight_repr, "config.get(\"lightweight_repr\" should not raise.")));
  Borrowed values =
      config_get(config.get(), names.values, "config.get(\"values\" should not raise.");
  settings.dumper = dump::dumper_for(lenient_text(Ref::share(values)), lightweight);

  plugins::PluginTable plugins = plugins::load_plugins(config.get());

  Ref db_path = py::check(PyObject_Str(py::getattr(profiler, names.db_path).get()));
  settings.db_path = py::to_text(db_path.get());
  settings.one_trace_per_test =
      py::to_bool_strict(py::getattr(profiler, names.one_trace_per_test).get());
  std::string trace_id = py::to_text(py::getattr(profiler, names.trace_id).get());
  settings.source = py::to_text(py::getattr(profiler, names.source).get());
  settings.timestamp = clock::timestamp();

  return std::make_unique<ProfilerState>(std::move(settings), std::move(trace_id),
                                         std::move(plugins));
}

std::unique_ptr<ProfilerState> ProfilerState::new_like(const ProfilerState& model,
                                                       std::string source) {
  Settings settings = model.settings;
  settings.source = std::move(source);
  settings.timestamp = clock::timestamp();
  // The processors' contexts are shared, as a profiler's processors share them; their frame ids
  // are each trace's own.
  plugins::PluginTable plugins = model.plugins;
  for (auto& [name, processors] : plugins) {
    for (plugins::PluginProcessor& processor : processors) processor.processor_frame_ids.clear();
  }
  return std::make_unique<ProfilerState>(std::move(settings), ulid::new_trace_id(),
                                         std::move(plugins), model.code_cache_);
}

}  // namespace vexo::profiler
