#include "utils/msgpack_writer.hpp"

#include "py/error.hpp"

namespace vexo::msgpack::put {

void too_long() { throw py::Broken("Writing to memory, not I/O"); }

}  // namespace vexo::msgpack::put
