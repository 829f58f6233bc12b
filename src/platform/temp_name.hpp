// How the result file's temporary files are named, on every system: the
// clean-up of dead runs' files relies on it, so every system's files take it
// from here. A temporary file is named "." + the result's name + TEMP_MARKER
// + its owner + TEMP_SUFFIX_LENGTH random letters or digits (as mkstemp's).
// The marker keeps the name apart from every other program's: rsync, for
// one, receives into "." + name + "." + six letters or digits, which has a
// '.' where this has its '-'. The owner, "HHHHHHHH-PID-", is the run's host
// (HOST_TAG_DIGITS hexadecimal digits of a hash of its name) and process id:
// a second proof, beside the lock, that a file is a dead run's, for where
// locks fail or two hosts share a folder (NFS): only a file of this host
// whose process is gone is one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace atanorg {

inline constexpr char TEMP_MARKER[] = ".atanpi-";
inline constexpr std::size_t TEMP_SUFFIX_LENGTH = 6;
inline constexpr std::size_t HOST_TAG_DIGITS = 8;
// Tries at creating a temporary file before giving up, for the rare case
// that another run's clean-up takes it between creation and lock.
inline constexpr int TEMP_FILE_TRIES = 16;

// The run a temporary file belongs to.
struct TempOwner {
  std::uint32_t host = 0;     // host_tag of the host's name
  std::uint32_t process = 0;  // its process id, never 0
};

// The host's part of the owner: the 32-bit FNV-1a hash of its name.
inline std::uint32_t host_tag(std::string_view host_name) {
  std::uint32_t hash = 2166136261u;
  for (const char c : host_name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// The owner as it stands in the name: "HHHHHHHH-PID-".
inline std::string temp_owner_text(const TempOwner& owner) {
  char text[32];
  std::snprintf(text, sizeof text, "%08lx-%lu-", static_cast<unsigned long>(owner.host),
                static_cast<unsigned long>(owner.process));
  return text;
}

// The owner named by `entry`, a directory entry's name, when it is `prefix`
// ("." + name + TEMP_MARKER) followed by an owner and a temporary file's
// suffix; nothing for every other name. In the system's characters: char on
// POSIX, wchar_t on Windows.
template <typename Char>
std::optional<TempOwner> temp_name_owner(std::basic_string_view<Char> entry, std::basic_string_view<Char> prefix) {
  if (entry.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::basic_string_view<Char> rest = entry.substr(prefix.size());
  const auto digit = [](Char c, unsigned base) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  // A number of `length` digits (0: 1 to 10 digits, no leading zero) and '-'.
  const auto number = [&](unsigned base, std::size_t length, std::uint32_t& value) {
    std::uint64_t n = 0;
    std::size_t used = 0;
    for (; used < rest.size() && digit(rest[used], base) >= 0 && used < (length != 0 ? length : 10); ++used) {
      n = n * base + static_cast<unsigned>(digit(rest[used], base));
    }
    const bool whole = length != 0 ? used == length : used > 0 && rest[0] != '0';
    if (!whole || n > UINT32_MAX || used >= rest.size() || rest[used] != '-') return false;
    value = static_cast<std::uint32_t>(n);
    rest.remove_prefix(used + 1);
    return true;
  };
  TempOwner owner;
  if (!number(16, HOST_TAG_DIGITS, owner.host) || !number(10, 0, owner.process)) return std::nullopt;
  if (rest.size() != TEMP_SUFFIX_LENGTH) return std::nullopt;
  for (const Char c : rest) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return std::nullopt;
  }
  return owner;
}

}  // namespace atanorg
