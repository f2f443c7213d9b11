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

// Our own package, whose frames stay out of traces even when it runs from a checkout rather than
// from a library folder: the fixed fragments first, then one per folder of the package and its
// one top-level module that they leave out. Not "/vexo/" alone: a user's own folder may bear the
// name.
const std::vector<PathFinder>& VEXO_FINDERS() {
  static const auto* finders = new std::vector<PathFinder>(build_finders({
      // The fixed fragments, in their order.
      "/vexo/config.py",
      "/vexo/db.py",
      "/vexo/django_schema.py",
      "/vexo/filters/",
      "/vexo/generate_tests/",
      "/vexo/git.py",
      "/vexo/__init__.py",
      "/vexo/__main__.py",
      "/vexo/middleware.py",
      "/vexo/profiler.py",
      "/vexo/pytest_plugin.py",
      "/vexo/serialize.py",
      "/vexo/utils.py",
      "/vexo/version.py",
      // The package's folders, and the face that the fixed fragments do not name.
      "/vexo/cli/",
      "/vexo/common/",
      "/vexo/explore/",
      "/vexo/integrations/",
      "/vexo/recording/",
      "/vexo/store/",
      "/vexo/trace/",
      "/vexo/values/",
      "/vexo/plugins.py",
  }));
  return *finders;
}

}  // namespace vexo::filters
