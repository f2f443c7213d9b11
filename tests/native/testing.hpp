// The test-only module _vexo_testing: reaches the tracer's internals from pytest.
//
// Each file of this folder registers its own functions with a static `Register`, so that areas
// can be added without touching a shared table.
#pragma once

#include <initializer_list>
#include <vector>

#include "py/error.hpp"

namespace vexo::testing {

std::vector<PyMethodDef>& registry();

struct Register {
  Register(std::initializer_list<PyMethodDef> methods) {
    for (const PyMethodDef& method : methods) registry().push_back(method);
  }
};

// Wraps a body so that C++ errors become interpreter exceptions.
template <class Body>
PyObject* run(Body&& body) noexcept {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

}  // namespace vexo::testing
