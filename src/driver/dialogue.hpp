// Reading the two typed numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace atanorg {

// Reads one decimal integer as "%d" does: leading white space, an optional
// sign and at least one digit; the first character after the digits stays
// in the stream. A value outside the 32-bit range reads as the nearest
// 32-bit value. Returns nothing when no integer is found (end of input, or
// any other character first).
std::optional<std::int32_t> read_int(std::FILE* in);

}  // namespace atanorg
