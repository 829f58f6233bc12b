// File names on POSIX systems: '/' separates the parts of a path, and a
// name is its bytes, case and trailing dots included.
#include "platform/file_names.hpp"

namespace atanorg {

bool is_path_separator(char c) { return c == '/'; }

bool path_names_file(std::string_view path, std::string_view name) {
  const std::size_t slash = path.rfind('/');
  return path.substr(slash == std::string_view::npos ? 0 : slash + 1) == name;
}

}  // namespace atanorg
