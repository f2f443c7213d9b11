#include "utils/file_and_line.hpp"

#include "py/convert.hpp"
#include "py/frames.hpp"
#include "py/object.hpp"
#include "utils/current_directory.hpp"

namespace vexo::file_and_line {

namespace {

bool is_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

// From `at`, skips separators and "." components, which name nothing: "/srv//app/./" and
// "/srv/app" have the same components.
std::size_t next_component(std::string_view path, std::size_t at) {
  while (at < path.size()) {
    if (path[at] == '/') {
      ++at;
    } else if (path[at] == '.' && (at + 1 == path.size() || path[at + 1] == '/')) {
      ++at;
    } else {
      break;
    }
  }
  return at;
}

std::size_t component_end(std::string_view path, std::size_t at) {
  std::size_t end = path.find('/', at);
  return end == std::string_view::npos ? path.size() : end;
}

// A program that changes directory while traced gets paths relative to where it is now. A
// directory that cannot be read (removed, say) strips nothing.
std::string file_part(std::string_view filename) {
  const std::string* directory = current_directory::get();
  return directory != nullptr ? relative_to(filename, *directory) : std::string(filename);
}

}  // namespace

std::string relative_to(std::string_view filename, std::string_view cwd) {
  if (is_absolute(filename) != is_absolute(cwd)) return std::string(filename);
  std::size_t in_cwd = next_component(cwd, 0);
  std::size_t in_file = next_component(filename, 0);
  while (in_cwd < cwd.size()) {
    std::size_t cwd_end = component_end(cwd, in_cwd);
    std::size_t file_end = component_end(filename, in_file);
    if (cwd.substr(in_cwd, cwd_end - in_cwd) != filename.substr(in_file, file_end - in_file)) {
      return std::string(filename);
    }
    in_cwd = next_component(cwd, cwd_end);
    in_file = next_component(filename, file_end);
  }
  return std::string(filename.substr(in_file));
}

std::string filename_with_lineno(PyFrameObject* frame) {
  return filename_with_lineno(frame, py::frame_lineno(frame));
}

std::string filename_with_lineno(PyFrameObject* frame, int line) {
  py::Ref code = py::frame_code(frame);
  std::string_view filename = py::text_view(py::code_filename(code.get()));
  // Where a frame has no line the attribute answers None, which is refused like any other value
  // that is not a line number; the C accessor gives the same number faster where there is one.
  std::size_t line_number =
      line >= 0 ? static_cast<std::size_t>(line)
                : py::to_word(
                      py::getattr(reinterpret_cast<PyObject*>(frame), py::names().f_lineno).get());

  std::string text = file_part(filename);
  text += ':';
  text += std::to_string(line_number);
  return text;
}

}  // namespace vexo::file_and_line
