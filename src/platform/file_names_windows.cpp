// File names on Windows: '\' and '/' separate the parts of a path, "C:"
// names a drive ("C:AtanOrg2.txt" is AtanOrg2.txt in that drive's current
// folder), a name's trailing dots and spaces are dropped when it is opened
// ("AtanOrg2.txt. " opens AtanOrg2.txt), "::$DATA" names a file's own data,
// and names are matched without regard to case. Case is compared here for
// ASCII letters only, which is enough for the names this is asked about
// (AtanOrgK.txt): beyond ASCII only the dotless i and the long s have an
// ASCII letter (I, S) as their upper case, and neither occurs there.
#include "platform/file_names.hpp"

namespace atanorg {
namespace {

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

constexpr std::string_view DATA_STREAM = "::$DATA";

}  // namespace

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

bool path_names_file(std::string_view path, std::string_view name) {
  const std::size_t separator = path.find_last_of("/\\");
  std::string_view last = path.substr(separator == std::string_view::npos ? 0 : separator + 1);
  // A drive letter without a separator after it: "C:AtanOrg2.txt".
  if (separator == std::string_view::npos && last.size() >= 2 && last[1] == ':' &&
      lower_ascii(last[0]) >= 'a' && lower_ascii(last[0]) <= 'z') {
    last.remove_prefix(2);
  }
  while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.remove_suffix(1);
  if (last.size() > DATA_STREAM.size() &&
      equal_ignoring_case(last.substr(last.size() - DATA_STREAM.size()), DATA_STREAM)) {
    last.remove_suffix(DATA_STREAM.size());
  }
  return equal_ignoring_case(last, name);
}

}  // namespace atanorg
