/* The cheapest profile hook there can be: it returns at once. Its cost per event is the floor
 * that any tracer installed through PyEval_SetProfile pays before doing any work of its own. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int noop(PyObject* self, PyFrameObject* frame, int what, PyObject* arg) {
  (void)self;
  (void)frame;
  (void)what;
  (void)arg;
  return 0;
}

static PyObject* install(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  PyEval_SetProfile(noop, NULL);
  Py_RETURN_NONE;
}

static PyObject* uninstall(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  PyEval_SetProfile(NULL, NULL);
  Py_RETURN_NONE;
}

/* Handed to threading.setprofile: a thread started later calls it on its first event, and it
 * replaces itself by the C hook for the rest of that thread, as a tracer does for its threads. */
static PyObject* install_in_thread(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  (void)args;
  (void)nargs;
  return install(module, NULL);
}

static PyMethodDef methods[] = {
    {"install", install, METH_NOARGS, "Makes the no-op hook the calling thread's profile hook."},
    {"uninstall", uninstall, METH_NOARGS, "Removes the calling thread's profile hook."},
    {"install_in_thread", (PyCFunction)(void (*)(void))install_in_thread, METH_FASTCALL,
     "install() as a profile function (frame, event, arg) for threading.setprofile."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bench_floor", "A profile hook that does nothing.", -1, methods,
};

PyMODINIT_FUNC PyInit__bench_floor(void) { return PyModule_Create(&module); }
