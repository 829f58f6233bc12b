// Fixed-point word arrays: their layout and the constants of the layout.
//
// A number is a run of base-100000 words in signed 32-bit integers; word 1
// (index 0) is the integer part and word i carries decimal places
// 5(i-2)+1 ... 5(i-1). The engine's routines take the arrays and the word
// count as arguments; the program's own two arrays, `acc` and `term`, exist
// once, at full capacity, in the driver (src/driver/run.cpp). Positions
// past the word count are never written and read as zero.
#pragma once

#include <cstdint>

namespace atanorg {

// Capacity of `acc` and `term`: 1,000,007 fraction words plus the integer
// word and two guard words.
inline constexpr std::int32_t ARRAY_CAPACITY = 1000010;
// Largest request in fraction words (5,000,035 digits).
inline constexpr std::int32_t MAX_FRACTION_WORDS = 1000007;

// Decimal digits per word; the word base as a double, 10^word_digits (what
// the power function gives for pow(10.0, 5.0), exactly); and its reciprocal
// rounded to a double (not exact), with which the normalisation forms its
// carries.
inline constexpr std::int32_t word_digits = 5;
inline constexpr double radix = 100000.0;
inline constexpr double inv_radix = 1.0 / radix;

}  // namespace atanorg
