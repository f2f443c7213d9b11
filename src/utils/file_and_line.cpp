#include "utils/file_and_line.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <iterator>

#include "py/convert.hpp"
#include "py/frames.hpp"
#include "py/object.hpp"
#include "utils/address_slot.hpp"
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

// Where the part of `filename` below `cwd` starts: after cwd's components, or at 0 when the name
// is not below it.
std::size_t relative_start(std::string_view filename, std::string_view cwd) {
  if (is_absolute(filename) != is_absolute(cwd)) return 0;
  std::size_t in_cwd = next_component(cwd, 0);
  std::size_t in_file = next_component(filename, 0);
  while (in_cwd < cwd.size()) {
    std::size_t cwd_end = component_end(cwd, in_cwd);
    std::size_t file_end = component_end(filename, in_file);
    if (cwd.substr(in_cwd, cwd_end - in_cwd) != filename.substr(in_file, file_end - in_file)) {
      return 0;
    }
    in_cwd = next_component(cwd, cwd_end);
    in_file = next_component(filename, file_end);
  }
  return in_file;
}

// Where a file name's relative part starts, per file-name object (held, so that its address
// cannot be reused) and current directory: the comparison walks both names component by
// component, and the same few files come back at every event.
class RelativeStarts {
 public:
  std::size_t start(PyObject* name, std::string_view filename, const std::string& directory) {
    const std::uint64_t generation = current_directory::generation();
    Entry& entry = entries_[address_slot::slot_of<kBits>(name)];
    if (entry.name.get() == name && entry.generation == generation) return entry.start;
    const std::size_t start = relative_start(filename, directory);
    py::Ref released = std::move(entry.name);  // released once the entry is whole again
    entry = Entry{py::Ref::share(name), generation, start};
    return start;
  }

 private:
  struct Entry {
    py::Ref name;
    std::uint64_t generation = 0;
    std::size_t start = 0;
  };
  static constexpr unsigned kBits = 8;

  std::array<Entry, std::size_t{1} << kBits> entries_{};
};

// Never destroyed: the names it holds would be released after the interpreter is gone.
RelativeStarts& relative_starts() {
  static RelativeStarts& starts = *new RelativeStarts;
  return starts;
}

// A program that changes directory while traced gets paths relative to where it is now. A
// directory that cannot be read (removed, say) strips nothing. Only called with the interpreter
// lock held.
std::string_view file_part(PyObject* name, std::string_view filename) {
  const std::string* directory = current_directory::get();
  if (directory == nullptr) return filename;
  return filename.substr(relative_starts().start(name, filename, *directory));
}

}  // namespace

std::string relative_to(std::string_view filename, std::string_view cwd) {
  return std::string(filename.substr(relative_start(filename, cwd)));
}

std::string filename_with_lineno(PyFrameObject* frame) {
  return filename_with_lineno(frame, py::frame_lineno(frame));
}

std::string filename_with_lineno(PyFrameObject* frame, int line) {
  std::string text;
  write_filename_with_lineno(frame, line, text);
  return text;
}

void write_filename_with_lineno(PyFrameObject* frame, int line, std::string& text) {
  py::Ref code = py::frame_code(frame);
  PyObject* name = py::code_filename(code.get());
  std::string_view filename = py::text_view(name);
  // Where a frame has no line the attribute answers None, which is refused like any other value
  // that is not a line number; the C accessor gives the same number faster where there is one.
  std::size_t line_number =
      line >= 0 ? static_cast<std::size_t>(line)
                : py::to_word(
                      py::getattr(reinterpret_cast<PyObject*>(frame), py::names().f_lineno).get());

  char digits[24];
  auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), line_number);
  (void)error;  // a machine word always fits
  text.assign(file_part(name, filename));
  text += ':';
  text.append(digits, end);
}

}  // namespace vexo::file_and_line
