// Carry normalisation: brings an accumulator of unnormalised signed word sums
// to canonical base-100000 words (words 2..n in 0..99999, the net carry in
// word 1).
#pragma once

#include <cstdint>

namespace atanorg {

// Normalises acc[0..n). Nothing changes for n <= 1.
void normalize_acc(std::int32_t* acc, std::int32_t n);

}  // namespace atanorg
