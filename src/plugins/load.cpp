// Fetching plugin descriptions from the package and compiling them into processors.
#include "plugins/processor.hpp"
#include "py/object.hpp"

namespace vexo::plugins {

namespace {

using py::Borrowed;
using py::Ref;

constexpr const char* kKeyLookupFatal = "a string is always a valid dict key";

Ref fetch_descriptions(PyObject* config) {
  Ref plugins_module;
  try {
    plugins_module = py::import("vexo.plugins");  // asked at every registration
  } catch (const py::Error&) {
    throw py::Fatal("vexo.plugins should always be importable");
  }
  PyObject* function = PyObject_GetAttr(plugins_module.get(), py::names().load_plugin_data);
  if (function == nullptr) {
    PyErr_Clear();
    throw py::Fatal("load_plugin_data should exist");
  }
  Ref load_plugin_data = Ref::steal(function);
  PyObject* result = PyObject_CallOneArg(load_plugin_data.get(), config);
  if (result == nullptr) {
    PyErr_Clear();
    throw py::Fatal("load_plugin_data should be callable");
  }
  Ref descriptions = Ref::steal(result);
  if (!PyList_Check(descriptions.get())) throw py::Fatal("load_plugin_data should return a list");
  return descriptions;
}

// An optional key: absent and None both give a null Ref.
Ref optional_item(PyObject* description, PyObject* key) {
  Borrowed value;
  try {
    value = py::dict_lookup(description, key);
  } catch (const py::Error&) {
    throw py::Fatal(kKeyLookupFatal);
  }
  if (!value || value.is_none()) return Ref();
  return Ref::share(value);
}

Ref build_context(PyObject* description, PyObject* config) {
  Ref builder = optional_item(description, py::names().build_context);
  if (!builder) return py::check(PyDict_New());
  Ref context = py::check(PyObject_CallOneArg(builder.get(), config));
  if (!PyDict_Check(context.get())) py::throw_downcast(context.get(), "PyDict");
  return context;
}

PluginProcessor compile_processor(PyObject* description, const Ref& context) {
  const py::Names& names = py::names();
  Ref fragment = py::getitem(description, names.path_fragment);
  if (!PyUnicode_Check(fragment.get())) py::throw_downcast(fragment.get(), "PyString");
  filters::PathFinder path_fragment(py::to_text(fragment.get()));
  std::string call_type = py::to_text(py::getitem(description, names.call_type).get());
  std::string return_type = py::to_text(py::getitem(description, names.return_type).get());

  std::optional<std::string> subtype;
  Borrowed subtype_value;
  try {
    subtype_value = py::dict_lookup(description, names.subtype);
  } catch (const py::Error&) {
    throw py::Fatal(kKeyLookupFatal);
  }
  if (subtype_value) subtype = py::to_text(Ref::share(subtype_value).get());

  Ref call = optional_item(description, names.call);
  Ref process = optional_item(description, names.process);
  std::optional<std::vector<std::string>> events;
  if (Ref events_value = optional_item(description, names.events)) {
    events = py::to_text_list(events_value.get());
  }
  return PluginProcessor{std::move(path_fragment),
                         std::move(call_type),
                         std::move(return_type),
                         std::move(subtype),
                         std::move(events),
                         context,
                         {},
                         std::move(call),
                         std::move(process)};
}

void add_description(PluginTable& table, PyObject* description, PyObject* config) {
  if (!PyDict_Check(description)) py::throw_downcast(description, "PyDict");
  Ref co_names = py::getitem(description, py::names().co_names);
  Ref context = build_context(description, config);
  Ref iterator = py::check(PyObject_GetIter(co_names.get()));
  while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
    std::string code_name = py::to_text(name.get());
    PluginProcessor processor = compile_processor(description, context);
    table[std::move(code_name)].push_back(std::move(processor));
  }
  if (PyErr_Occurred()) py::throw_error();
}

}  // namespace

PluginTable load_plugins(PyObject* config) {
  Ref descriptions = fetch_descriptions(config);
  PluginTable table;
  table.reserve(static_cast<std::size_t>(PyList_GET_SIZE(descriptions.get())));
  const Py_ssize_t length_at_start = PyList_GET_SIZE(descriptions.get());
  for (Py_ssize_t index = 0; index < length_at_start && index < PyList_GET_SIZE(descriptions.get());
       ++index) {
    Ref description = Ref::share(PyList_GET_ITEM(descriptions.get(), index));
    add_description(table, description.get(), config);
  }
  return table;
}

}  // namespace vexo::plugins
