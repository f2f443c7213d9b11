#include "testing.hpp"

namespace vexo::testing {

std::vector<PyMethodDef>& registry() {
  static std::vector<PyMethodDef> methods;
  return methods;
}

}  // namespace vexo::testing

PyMODINIT_FUNC PyInit__vexo_testing() {
  static std::vector<PyMethodDef> table;
  table = vexo::testing::registry();
  table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_vexo_testing",
                                   "Test-only access to the tracer's internals.", -1, table.data()};
  return PyModule_Create(&definition);
}
