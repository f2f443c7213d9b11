#include "filters/builtin_finders.hpp"

namespace vexo::filters {

// The sets are deliberately leaked: hooks of threads that outlive static destruction still read
// them.

const PathFinder& FROZEN_FINDER() {
  static const auto* finder = new PathFinder("<frozen ");
  return *finder;
}

const PathFinder& EXEC_FINDER() {
  static const auto* finder = new PathFinder("<string>");
  return *finder;
}

const std::vector<PathFinder>& LIBRARY_FINDERS() {
  static const auto* finders =
      new std::vector<PathFinder>(build_finders({"lib/python", "/site-packages/"}));
  return *finders;
}

const std::vector<PathFinder>& VEXO_FINDERS() {
  static const auto* finders = new std::vector<PathFinder>(build_finders({
      "/vexo/config.py",
      "/vexo/db.py",
      "/vexo/django_schema.py",
      "/vexo/filters/",
      "/vexo/generate_tests/",
      "/vexo/git.py",
      "/vexo/__init__.py",
      "/vexo/__main__.py",
      "/vexo/middleware.py",
      "/vexo/processes.py",
      "/vexo/profiler.py",
      "/vexo/pytest_plugin.py",
      "/vexo/runs.py",
      "/vexo/serialize.py",
      "/vexo/store/",
      "/vexo/subprocesses.py",
      "/vexo/utils.py",
      "/vexo/version.py",
  }));
  return *finders;
}

}  // namespace vexo::filters
