#include "lib/module_functions.hpp"

#include "py/error.hpp"
#include "py/names.hpp"

namespace vexo::lib {

namespace {

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_vexo", nullptr, -1, module_methods};

}  // namespace

PyObject* create_module() noexcept {
  return py::guard<PyObject*>(nullptr, []() -> PyObject* {
    py::names();
    return PyModule_Create(&module_definition);
  });
}

}  // namespace vexo::lib
