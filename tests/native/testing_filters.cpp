// The frame filter, the path finders and qualified names, reached from pytest.
#include <optional>
#include <string>
#include <string_view>

#include "filters/builtin_finders.hpp"
#include "filters/frame_filter.hpp"
#include "py/frames.hpp"
#include "py/object.hpp"
#include "testing.hpp"
#include "utils/qualname.hpp"

namespace vexo::testing {

namespace {

PyFrameObject* frame_arg(PyObject* object) {
  if (!py::is_frame(object)) py::throw_downcast(object, "PyFrame");
  return reinterpret_cast<PyFrameObject*>(object);
}

// The bytes of a bytes object, or the UTF-8 of a str.
std::string bytes_arg(PyObject* object) {
  if (PyBytes_Check(object)) {
    return std::string(PyBytes_AS_STRING(object),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  }
  return py::to_text(object);
}

py::Ref bool_ref(bool value) { return py::Ref::share(value ? Py_True : Py_False); }

py::Ref optional_text(const std::optional<std::string>& text) {
  return text ? py::new_text(*text) : py::Ref::none();
}

py::Ref fragment_list(const std::vector<filters::PathFinder>& finders) {
  py::Ref list = py::check(PyList_New(0));
  for (const filters::PathFinder& finder : finders) {
    py::Ref text = py::new_text(finder.fragment());
    py::check_status(PyList_Append(list.get(), text.get()));
  }
  return list;
}

void set_answer(PyObject* dict, const char* key, bool value) {
  py::check_status(PyDict_SetItemString(dict, key, value ? Py_True : Py_False));
}

PyObject* path_finder_find(PyObject*, PyObject* args) {
  return run([&] {
    PyObject* fragment = nullptr;
    PyObject* haystack = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &fragment, &haystack)) py::throw_error();
    filters::PathFinder finder(bytes_arg(fragment));
    return bool_ref(finder.find_in(bytes_arg(haystack)));
  });
}

PyObject* builtin_finders(PyObject*, PyObject*) {
  return run([&] {
    py::Ref sets = py::check(PyDict_New());
    py::check_status(PyDict_SetItemString(sets.get(), "FROZEN_FINDER",
                                          fragment_list({filters::FROZEN_FINDER()}).get()));
    py::check_status(PyDict_SetItemString(sets.get(), "EXEC_FINDER",
                                          fragment_list({filters::EXEC_FINDER()}).get()));
    py::check_status(PyDict_SetItemString(sets.get(), "LIBRARY_FINDERS",
                                          fragment_list(filters::LIBRARY_FINDERS()).get()));
    py::check_status(PyDict_SetItemString(sets.get(), "VEXO_FINDERS",
                                          fragment_list(filters::VEXO_FINDERS()).get()));
    return sets;
  });
}

// filter_answers(frame, filename, include_frames, ignore_frames) -> dict of the eight answers and
// "record".
PyObject* filter_answers(PyObject*, PyObject* args) {
  return run([&] {
    PyObject* frame = nullptr;
    PyObject* filename = nullptr;
    PyObject* include = nullptr;
    PyObject* ignore = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO", &frame, &filename, &include, &ignore)) py::throw_error();
    std::vector<filters::PathFinder> include_frames =
        filters::build_finders(py::to_text_list(include));
    std::vector<filters::PathFinder> ignore_frames =
        filters::build_finders(py::to_text_list(ignore));
    filters::FilterAnswers answers =
        filters::evaluate(frame_arg(frame), py::text_view(filename), include_frames, ignore_frames);
    py::Ref dict = py::check(PyDict_New());
    set_answer(dict.get(), "include", answers.include);
    set_answer(dict.get(), "library", answers.library);
    set_answer(dict.get(), "frozen", answers.frozen);
    set_answer(dict.get(), "vexo", answers.vexo);
    set_answer(dict.get(), "exec", answers.exec);
    set_answer(dict.get(), "pytest_expression", answers.pytest_expression);
    set_answer(dict.get(), "attrs", answers.attrs);
    set_answer(dict.get(), "ignore", answers.ignore);
    set_answer(dict.get(), "record", answers.record());
    return dict;
  });
}

PyObject* attrs_filter(PyObject*, PyObject* frame) {
  return run([&] { return bool_ref(filters::attrs_filter(frame_arg(frame))); });
}

PyObject* get_qualname(PyObject*, PyObject* frame) {
  return run([&] { return optional_text(qualname::get_qualname(frame_arg(frame))); });
}

PyObject* search_qualname(PyObject*, PyObject* frame) {
  return run([&] { return optional_text(qualname::search_qualname(frame_arg(frame))); });
}

PyObject* get_qualname_inner(PyObject*, PyObject* args) {
  return run([&] {
    PyObject* frame = nullptr;
    PyObject* co_name = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &frame, &co_name)) py::throw_error();
    return optional_text(qualname::get_qualname_inner(frame_arg(frame), co_name));
  });
}

const Register registration{
    {"path_finder_find", path_finder_find, METH_VARARGS,
     "Whether the fragment occurs in the haystack (str or bytes each)."},
    {"builtin_finders", builtin_finders, METH_NOARGS, "The built-in fragment sets, by name."},
    {"filter_answers", filter_answers, METH_VARARGS,
     "The frame filter's answers for a frame and a file name."},
    {"attrs_filter", attrs_filter, METH_O, "Whether attrs' machinery called the frame."},
    {"get_qualname", get_qualname, METH_O, "The frame's qualified name, or None."},
    {"search_qualname", search_qualname, METH_O,
     "The qualified name found without co_qualname, or None."},
    {"get_qualname_inner", get_qualname_inner, METH_VARARGS,
     "The qualified name of the function named co_name, looked up around the frame."},
};

}  // namespace

}  // namespace vexo::testing
