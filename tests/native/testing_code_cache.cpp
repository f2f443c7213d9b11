// The per-code-object cache of the event path, reached from pytest.
#include <vector>

#include "filters/path_finder.hpp"
#include "profiler/code_cache.hpp"
#include "py/convert.hpp"
#include "py/object.hpp"
#include "testing.hpp"

namespace vexo::testing {

namespace {

py::Ref answer(const profiler::CodeInfo* info) {
  if (info == nullptr) return py::Ref::none();
  return py::Ref::share(info->may_matter() ? Py_True : Py_False);
}

// code_cache_answers(codes, ignore_fragments, rounds) -> (first, again, after_clear): what
// find() says of each code before its first lookup, after every code has been looked up `rounds`
// times over, and after a clear. Each is a list of None (unknown) or may_matter().
PyObject* code_cache_answers(PyObject*, PyObject* args) {
  return run([&] {
    PyObject* codes = nullptr;
    PyObject* fragments = nullptr;
    int rounds = 1;
    if (!PyArg_ParseTuple(args, "O!Oi", &PyList_Type, &codes, &fragments, &rounds)) {
      py::throw_error();
    }
    std::vector<filters::PathFinder> include;
    std::vector<filters::PathFinder> ignore;
    for (const std::string& fragment : py::to_text_list(fragments)) ignore.emplace_back(fragment);
    plugins::PluginTable plugins;
    profiler::CodeCache cache;
    const Py_ssize_t count = PyList_GET_SIZE(codes);
    py::Ref first = py::check(PyList_New(count));
    py::Ref again = py::check(PyList_New(count));
    py::Ref after_clear = py::check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* code = PyList_GET_ITEM(codes, i);
      if (!PyCode_Check(code)) py::throw_downcast(code, "PyCode");
      PyList_SET_ITEM(first.get(), i, answer(cache.find(code)).release());
      cache.lookup(code, include, ignore, plugins);
    }
    for (int round = 1; round < rounds; ++round) {
      for (Py_ssize_t i = count - 1; i >= 0; --i) {
        cache.lookup(PyList_GET_ITEM(codes, i), include, ignore, plugins);
      }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyList_SET_ITEM(again.get(), i, answer(cache.find(PyList_GET_ITEM(codes, i))).release());
    }
    cache.clear();
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* code = PyList_GET_ITEM(codes, i);
      PyList_SET_ITEM(after_clear.get(), i, answer(cache.find(code)).release());
    }
    return py::check(PyTuple_Pack(3, first.get(), again.get(), after_clear.get()));
  });
}

const Register registered{
    {"code_cache_answers", code_cache_answers, METH_VARARGS, nullptr},
};

}  // namespace

}  // namespace vexo::testing
