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

// A fragment per module and subpackage of our own package, whose frames stay out of traces even
// when it runs from a checkout rather than from a library folder. Not "/vexo/" alone: a user's
// own folder may bear the name.
const std::vector<PathFinder>& VEXO_FINDERS() {
  static const auto* finders = new std::vector<PathFinder>(build_finders({
      "/vexo/cli/",
      "/vexo/compare.py",
      "/vexo/config.py",
      "/vexo/copying.py",
      "/vexo/db.py",
      "/vexo/django_schema.py",
      "/vexo/export.py",
      "/vexo/family.py",
      "/vexo/filters/",
      "/vexo/generate_tests/",
      "/vexo/git.py",
      "/vexo/html.py",
      "/vexo/__init__.py",
      "/vexo/__main__.py",
      "/vexo/middleware.py",
      "/vexo/plugins.py",
      "/vexo/processes.py",
      "/vexo/profiler.py",
      "/vexo/progress.py",
      "/vexo/prune.py",
      "/vexo/pytest_plugin.py",
      "/vexo/runs.py",
      "/vexo/safe_values.py",
      "/vexo/serialize.py",
      "/vexo/serve.py",
      "/vexo/show.py",
      "/vexo/store/",
      "/vexo/subprocesses.py",
      "/vexo/traceindex.py",
      "/vexo/tracenodes.py",
      "/vexo/unpacking.py",
      "/vexo/utils.py",
      "/vexo/version.py",
      "/vexo/viewer_files.py",
  }));
  return *finders;
}

}  // namespace vexo::filters
