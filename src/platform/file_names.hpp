// File names as the system matches them: where a path's last part begins,
// and which names lead to the same file. The checker uses it for its rule
// that a file named as a formula's result holds that formula's. One file
// per system: file_names_posix.cpp, file_names_windows.cpp.
#pragma once

#include <string_view>

namespace atanorg {

// True when `c` separates the parts of a path: '/', and on Windows '\'.
bool is_path_separator(char c);

// True when `path` leads to the file `name` (a plain name such as
// "AtanOrg1.txt") of its folder, as the system matches names. On POSIX:
// the part after the last '/' is `name`, byte for byte. On Windows: the
// part after the last '/' or '\' or the drive ("C:"), without its trailing
// dots and spaces and a "::$DATA" suffix (Windows opens the same file
// with or without them), equals `name` but for the case of ASCII letters.
bool path_names_file(std::string_view path, std::string_view name);

}  // namespace atanorg
