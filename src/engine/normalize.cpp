// Carry normalisation in two sweeps from the least significant word up.
//
// The carry sweep divides by the rounded reciprocal of the radix, so for an
// exact negative multiple of the radix (about half of them, e.g. -300000) the
// carry comes out one too low and the word is left equal to the radix; the
// fix-up sweep then moves that word, and any word still negative, back into
// 0..99999.
#include "engine/normalize.hpp"

#include <cmath>

#include "engine/fixed_point.hpp"

namespace atanorg {

void normalize_acc(std::int32_t* acc, std::int32_t n) {
  // Word i is stored at index i - 1.
  for (std::int32_t i = n; i >= 2; --i) {
    const double a = acc[i - 1];
    const double c = std::floor(a * inv_radix);
    acc[i - 2] = static_cast<std::int32_t>(acc[i - 2] + c);
    acc[i - 1] = static_cast<std::int32_t>(a - c * radix);
  }
  for (std::int32_t i = n; i >= 2; --i) {
    if (acc[i - 1] >= radix) {
      acc[i - 1] = static_cast<std::int32_t>(acc[i - 1] - radix);
      acc[i - 2] = acc[i - 2] + 1;
    }
    if (acc[i - 1] < 0) {
      acc[i - 1] = static_cast<std::int32_t>(acc[i - 1] + radix);
      acc[i - 2] = acc[i - 2] - 1;
    }
  }
}

}  // namespace atanorg
