#include "profiler/generator_steps.hpp"

#include <string_view>
#include <utility>

#include "profiler/frame_record.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"
#include "utils/document_layout.hpp"
#include "utils/msgpack_put.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#include <opcode.h>  // RESUME; last, as it defines many short names
#endif

namespace vexo::profiler {

namespace {

namespace put = msgpack::put;
using py::Ref;

constexpr int kGeneratorFlags = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;

Ref generator_of(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return Ref::steal(PyFrame_GetGenerator(frame));
#else
  return frame->f_gen != nullptr ? Ref::share(frame->f_gen) : Ref();
#endif
}

// Whether the frame is entered for the first time, not resumed: at its first entry a generator's
// frame has run no instruction (3.10) or stands at its first RESUME (3.11 on); a resumption stands
// past a yield or an await.
bool is_first_entry(PyFrameObject* frame, int start_offset) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyFrame_GetLasti(frame) <= start_offset;
#else
  (void)start_offset;
  return frame->f_lasti < 0;
#endif
}

// The running loop's current task: asked of the accelerator from 3.12 on, read from its map of
// current tasks by loop before (only for a loop hashed by identity, so that no code of the
// program runs). Null where there is none. Interned names: a coroutine's first step asks this.
Ref current_task(PyObject* module) {
  const py::Names& names = py::names();
  if (Ref current = Ref::steal(PyObject_GetAttr(module, names.current_task))) {
    return Ref::steal(PyObject_CallNoArgs(current.get()));  // no running loop: an error
  }
  PyErr_Clear();
  Ref running_loop = Ref::steal(PyObject_GetAttr(module, names._get_running_loop));
  Ref tasks = Ref::steal(PyObject_GetAttr(module, names._current_tasks));
  Ref loop = running_loop ? Ref::steal(PyObject_CallNoArgs(running_loop.get())) : Ref();
  if (!loop || !tasks || !PyDict_Check(tasks.get()) ||
      Py_TYPE(loop.get())->tp_hash != PyBaseObject_Type.tp_hash) {
    return Ref();
  }
  PyObject* task = PyDict_GetItemWithError(tasks.get(), loop.get());
  return task != nullptr ? Ref::share(task) : Ref();
}

// The name of the asyncio task whose own coroutine this is, read only from the C accelerator's
// task type: a subclass or another event loop's task could run the program's code when asked.
std::optional<std::string> task_name(PyObject* coroutine) {
  const py::Names& names = py::names();
  // Taken from sys.modules, never imported: a program without asyncio has no task.
  PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), names._asyncio);
  if (module == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref task_type = Ref::steal(PyObject_GetAttr(module, names.Task));
  Ref task = task_type ? current_task(module) : Ref();
  if (!task || Py_TYPE(task.get()) != reinterpret_cast<PyTypeObject*>(task_type.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref coro = Ref::steal(PyObject_CallMethodNoArgs(task.get(), names.get_coro));
  Ref name = coro.get() == coroutine
                 ? Ref::steal(PyObject_CallMethodNoArgs(task.get(), names.get_name))
                 : Ref();
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text);
}

Record encode_step_record(const std::string& frame_id, const LogicalCall& call,
                          const std::optional<std::string>& task,
                          const thread_identity::ThreadIdentity& thread, clock::WallTime time) {
  Record record(256 + frame_id.size() + call.first_frame_id.size() + (task ? task->size() : 0) +
                thread.name.size());
  std::uint8_t* at = record.data();
  at = put::map_header(at, 8);
  at = put::fixstr<layout::record_type::kStep>(put::fixstr<layout::record::kType>(at));
  at = put::str(put::fixstr<layout::record::kFrameId>(at), frame_id);
  at = put::str(put::fixstr<layout::record::kFirstFrameId>(at), call.first_frame_id);
  at = put::uint(put::fixstr<layout::record::kStep>(at), call.steps);
  at = put::fixstr<layout::record::kTask>(at);
  at = task ? put::str(at, *task) : put::nil(at);
  return finished(std::move(record), put_time_and_thread(at, time, thread));
}

}  // namespace

bool is_generator_code(PyObject* code) noexcept {
  return (reinterpret_cast<PyCodeObject*>(code)->co_flags & kGeneratorFlags) != 0;
}

int generator_start_offset(PyObject* code) noexcept {
  if (!PyCode_Check(code) || !is_generator_code(code)) return -1;
#if PY_VERSION_HEX >= 0x030B0000
  Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code)));
  if (!bytecode || !PyBytes_Check(bytecode.get())) {
    PyErr_Clear();
    return -1;
  }
  const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytecode.get()));
  const Py_ssize_t size = PyBytes_GET_SIZE(bytecode.get());
  for (Py_ssize_t offset = 0; offset + 1 < size; offset += 2) {  // (opcode, argument) units
    if (units[offset] == RESUME) return static_cast<int>(offset);
  }
#endif
  return -1;
}

std::optional<Record> step_record(GeneratorSteps& steps, std::uint64_t trace, PyFrameObject* frame,
                                  PyObject* code, int start_offset, const std::string& frame_id,
                                  const thread_identity::ThreadIdentity& thread,
                                  clock::WallTime time) {
  if (steps.trace != trace) {
    steps.calls.clear();
    steps.trace = trace;
  }
  Ref generator = generator_of(frame);
  if (!generator) return std::nullopt;
  LogicalCall& call = steps.calls[generator.get()];
  if (!is_first_entry(frame, start_offset) && call.code == code && call.steps > 0) {
    ++call.steps;
    return encode_step_record(frame_id, call, std::nullopt, thread, time);
  }
  // Its first step, or the first recorded one of a generator started before tracing began.
  call = LogicalCall{code, frame_id, 1};
  if ((reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_COROUTINE) == 0) return std::nullopt;
  std::optional<std::string> task = task_name(generator.get());
  if (!task) return std::nullopt;
  return encode_step_record(frame_id, call, task, thread, time);
}

}  // namespace vexo::profiler
