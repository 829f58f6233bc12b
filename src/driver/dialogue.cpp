// Saturating integer input; scanf's "%d" has undefined behaviour on overflow.
#include "driver/dialogue.hpp"

#include <cctype>
#include <limits>

namespace atanorg {

std::optional<std::int32_t> read_int(std::FILE* in) {
  int ch = std::fgetc(in);
  while (ch != EOF && std::isspace(ch)) ch = std::fgetc(in);
  bool negative = false;
  if (ch == '+' || ch == '-') {
    negative = ch == '-';
    ch = std::fgetc(in);
  }
  if (ch == EOF || !std::isdigit(ch)) {
    if (ch != EOF) std::ungetc(ch, in);
    return std::nullopt;
  }
  // Magnitude saturates just past the 32-bit range, so digits keep coming
  // without overflow.
  constexpr std::int64_t LIMIT = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; ch != EOF && std::isdigit(ch); ch = std::fgetc(in)) {
    magnitude = magnitude * 10 + (ch - '0');
    if (magnitude > LIMIT) magnitude = LIMIT;
  }
  if (ch != EOF) std::ungetc(ch, in);
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

}  // namespace atanorg
