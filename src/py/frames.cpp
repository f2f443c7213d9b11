#include "py/frames.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "py/error.hpp"
#include "py/names.hpp"

namespace vexo::py {

namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
// The leading fields of a frame object, as these interpreters lay them out. The struct is
// internal: f_lineno is nonzero when the frame reports a line of its own, and from 3.13 on
// f_extra_locals holds the names a program set through f_locals that are not variables.
struct FrameObjectHead {
  PyObject_HEAD
  PyFrameObject* f_back;
  void* f_frame;
  PyObject* f_trace;
  int f_lineno;
#if PY_VERSION_HEX >= 0x030D0000
  char f_trace_lines;
  char f_trace_opcodes;
  PyObject* f_extra_locals;
#endif
};
#endif

// Where the variables of a function frame are read in place: the interpreter's frame record is
// laid out as below, and the build holds the interpreter lock (not a free-threaded one).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VEXO_READS_FRAME_RECORD 1
// The leading fields of the interpreter's own frame record, up to its local variables.
#if PY_VERSION_HEX < 0x030C0000
struct InterpreterFrame {
  PyObject* f_func;
  PyObject* f_globals;
  PyObject* f_builtins;
  PyObject* f_locals;
  PyCodeObject* f_code;
  PyFrameObject* frame_obj;
  void* previous;
  void* prev_instr;
  int stacktop;
  bool is_entry;
  char owner;
  PyObject* localsplus[1];
};
#else
struct InterpreterFrame {
  PyCodeObject* f_code;  // f_executable from 3.13, the code object on a function's frame
  void* previous;
  PyObject* f_funcobj;
  PyObject* f_globals;
  PyObject* f_builtins;
  PyObject* f_locals;
  PyFrameObject* frame_obj;
  void* prev_instr;
  int stacktop;
  std::uint16_t return_offset;
  char owner;
  PyObject* localsplus[1];
};
#endif

// Kinds of the code's variables (one byte each in co_localspluskinds).
constexpr unsigned char kHidden = 0x10;  // bound only inside an inlined comprehension (3.12)
constexpr unsigned char kCell = 0x40;
constexpr unsigned char kFree = 0x80;
#endif

#if PY_VERSION_HEX < 0x030D0000
bool is_local_name(PyObject* key, PyObject* names) {
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (PyTuple_GET_ITEM(names, index) == key) return true;
  }
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (PyUnicode_Compare(PyTuple_GET_ITEM(names, index), key) == 0) return true;
  }
  return false;
}

// Whether the dict the frame already keeps (from a locals() call of the program, or a debugger)
// holds nothing but the code's own variables, whose values are then read from where they live.
// A name put there by other means shows only in that dict.
bool holds_only_variables(PyObject* own, std::initializer_list<PyObject*> names) {
  if (own == nullptr) return true;
  if (!PyDict_CheckExact(own)) return false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(own, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    bool found = false;
    for (PyObject* group : names) found = found || is_local_name(key, group);
    if (!found) return false;
  }
  return true;
}

#if PY_VERSION_HEX < 0x030B0000
// A cell's content; false when the slot does not hold a cell (the variables are then not laid out
// as this code expects, and the interpreter's own reading is used).
bool cell_content(PyObject* slot, PyObject*& value) {
  if (slot == nullptr || !PyCell_Check(slot)) return false;
  value = PyCell_GET(slot);
  return true;
}
#endif
#endif

#if defined(VEXO_READS_FRAME_RECORD)
// Whether f_locals shows nothing but the code's own variables. Up to 3.12 it shows the dict the
// frame keeps; from 3.13 on, after the variables, the names set through f_locals that are not
// variables (a debugger's), which are left to the interpreter's own reading.
bool shows_only_variables(PyFrameObject* frame, const InterpreterFrame* record) {
#if PY_VERSION_HEX >= 0x030D0000
  (void)record;
  PyObject* extra = reinterpret_cast<FrameObjectHead*>(frame)->f_extra_locals;
  return extra == nullptr || (PyDict_CheckExact(extra) && PyDict_GET_SIZE(extra) == 0);
#else
  (void)frame;
  return holds_only_variables(record->f_locals, {record->f_code->co_localsplusnames});
#endif
}
#endif

// A function frame's variables as a new dict, in the order f_locals would list them on its first
// reading; a null Ref when the frame is not a function's or its variables are not as expected.
Ref fresh_locals(PyFrameObject* frame) {
#if defined(VEXO_READS_FRAME_RECORD)
  auto* record = static_cast<InterpreterFrame*>(reinterpret_cast<FrameObjectHead*>(frame)->f_frame);
  PyCodeObject* code = record->f_code;
  // The record's layout is the interpreter's own business: one that does not name the frame's
  // code is not what this reading expects, and f_locals is used instead.
  if (!frame_code(frame).is(reinterpret_cast<PyObject*>(code))) return Ref();
  if ((code->co_flags & CO_OPTIMIZED) == 0 || record->stacktop == 0) return Ref();
  if (!shows_only_variables(frame, record)) return Ref();
  PyObject* names = code->co_localsplusnames;
  const auto* kinds =
      reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code->co_localspluskinds));
  Ref locals = check(PyDict_New());
  for (int index = 0; index < code->co_nlocalsplus; ++index) {
    PyObject* value = record->localsplus[index];
    const unsigned char kind = kinds[index];
    if (value != nullptr && (kind & (kCell | kFree)) != 0) {
      if (!PyCell_Check(value)) return Ref();  // an argument whose cell is not made yet
      value = PyCell_GET(value);
    } else if (value == nullptr && (kind & kFree) != 0) {
      return Ref();  // free variables not copied in yet
    }
    if (value == nullptr) continue;
    if ((kind & kHidden) != 0) return Ref();
    check_status(PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(names, index), value));
  }
  return locals;
#elif PY_VERSION_HEX < 0x030B0000
  PyCodeObject* code = frame->f_code;
  if ((code->co_flags & CO_OPTIMIZED) == 0) return Ref();
  if (!holds_only_variables(frame->f_locals,
                            {code->co_varnames, code->co_cellvars, code->co_freevars})) {
    return Ref();
  }
  Ref locals = check(PyDict_New());
  PyObject** slot = frame->f_localsplus;
  const Py_ssize_t plain =
      std::min<Py_ssize_t>(PyTuple_GET_SIZE(code->co_varnames), code->co_nlocals);
  for (Py_ssize_t index = 0; index < plain; ++index) {
    if (slot[index] != nullptr) {
      check_status(
          PyDict_SetItem(locals.get(), PyTuple_GET_ITEM(code->co_varnames, index), slot[index]));
    }
  }
  slot += code->co_nlocals;
  for (PyObject* names : {code->co_cellvars, code->co_freevars}) {
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(names); ++index, ++slot) {
      PyObject* value = nullptr;
      if (!cell_content(*slot, value)) return Ref();
      PyObject* name = PyTuple_GET_ITEM(names, index);
      if (value != nullptr) {
        check_status(PyDict_SetItem(locals.get(), name, value));
      } else if (PyDict_DelItem(locals.get(), name) < 0) {
        PyErr_Clear();  // an unbound cell of a name that had no value either
      }
    }
  }
  return locals;
#else
  (void)frame;
  return Ref();
#endif
}

}  // namespace

int frame_line_offset(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
  if (reinterpret_cast<const FrameObjectHead*>(frame)->f_lineno != 0) return -1;
  return PyFrame_GetLasti(frame);
#elif PY_VERSION_HEX < 0x030B0000
  if (frame->f_trace != nullptr || frame->f_lasti < 0) return -1;
  return frame->f_lasti * 2;
#else
  (void)frame;
  return -1;
#endif
}

Ref frame_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return check(PyFrame_GetLocals(frame));
#else
  return check(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals));
#endif
}

Ref frame_locals_copy(PyFrameObject* frame) {
  if (Ref locals = fresh_locals(frame)) return locals;
  return frame_locals(frame);
}

Ref frame_globals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return check(PyFrame_GetGlobals(frame));
#else
  return check(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_globals));
#endif
}

}  // namespace vexo::py
