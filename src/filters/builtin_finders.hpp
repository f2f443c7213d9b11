// The fragments that mark frames as not the user's own code, shared by every profiler.
//
// Each set is built on first use (concurrent first users wait for the one construction) and lives
// until the process ends, so any thread may search it without further synchronisation.
#pragma once

#include <vector>

#include "filters/path_finder.hpp"

namespace vexo::filters {

// Modules that the interpreter runs from its frozen copies: "<frozen importlib._bootstrap>".
const PathFinder& FROZEN_FINDER();
// Code compiled from a string.
const PathFinder& EXEC_FINDER();
// The standard library and installed packages.
const std::vector<PathFinder>& LIBRARY_FINDERS();
// The companion package's own modules.
const std::vector<PathFinder>& VEXO_FINDERS();

}  // namespace vexo::filters
