// The process's current directory, asked of the system only when it may have changed.
//
// Every frame record's path is made relative to the current directory, and asking the kernel
// (getcwd) costs more than the rest of the path's work together. The interpreter announces the
// calls that can change the answer through its audit events (a change of directory, a rename or
// removal, a foreign call): while such a call is under way, and after it, the directory is read
// again. A change made behind the interpreter's back (a C extension calling chdir itself, another
// process renaming a directory above) is seen at the next tick of the coarse clock, a few
// milliseconds later at most.
#pragma once

#include <cstdint>
#include <string>

namespace vexo::current_directory {

// Installs the audit hook; until the hook has seen an event (another hook may refuse it), every
// read asks the system. Called once, when the module is made; throws py::Error.
void watch_changes();

// The current directory, or null when it cannot be read (removed, say). Valid until the next
// call; only called with the interpreter lock held.
const std::string* get();

// Changes whenever get() answers differently from the answer before; 0 before the first.
std::uint64_t generation();

}  // namespace vexo::current_directory
