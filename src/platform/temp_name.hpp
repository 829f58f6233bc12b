// How the result file's temporary files are named, on every system: the
// clean-up of dead runs' files relies on it, so every system's files take it
// from here. A temporary file is named "." + the result's name + TEMP_MARKER
// + TEMP_SUFFIX_LENGTH random letters or digits (as mkstemp's). The marker
// keeps the name apart from every other program's: rsync, for one, receives
// into "." + name + "." + six letters or digits, which has a '.' where this
// has its '-'.
#pragma once

#include <cstddef>
#include <string_view>

namespace atanorg {

inline constexpr char TEMP_MARKER[] = ".atanpi-";
inline constexpr std::size_t TEMP_SUFFIX_LENGTH = 6;
// Tries at creating a temporary file before giving up, for the rare case
// that another run's clean-up takes it between creation and lock.
inline constexpr int TEMP_FILE_TRIES = 16;

// Whether `entry`, a directory entry's name, is `prefix` ("." + name +
// TEMP_MARKER) followed by a temporary file's suffix. In the system's
// characters: char on POSIX, wchar_t on Windows.
template <typename Char>
bool is_temp_name(std::basic_string_view<Char> entry, std::basic_string_view<Char> prefix) {
  if (entry.size() != prefix.size() + TEMP_SUFFIX_LENGTH || entry.substr(0, prefix.size()) != prefix) return false;
  for (const Char c : entry.substr(prefix.size())) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  return true;
}

}  // namespace atanorg
