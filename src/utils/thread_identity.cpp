#include "utils/thread_identity.hpp"

#include "py/convert.hpp"
#include "py/object.hpp"

namespace vexo::thread_identity {

ThreadIdentity current_thread() {
  py::Ref current_thread = py::import_attribute("threading", py::names().current_thread);
  py::Ref thread = py::call(current_thread.get(), {});
  py::Ref name = py::getattr(thread.get(), py::names().name);
  std::string name_text = py::to_text(name.get());
  py::Ref native_id = py::getattr(thread.get(), py::names().native_id);
  return ThreadIdentity{std::move(name_text), py::to_word(native_id.get())};
}

}  // namespace vexo::thread_identity
