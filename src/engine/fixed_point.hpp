// Fixed-point word arrays and the run's numeric parameters.
//
// A number is a run of base-100000 words in signed 32-bit integers; word 1
// (index 0) is the integer part and word i carries decimal places
// 5(i-2)+1 ... 5(i-1). The accumulator `acc` and the power term `term` exist
// once, at full capacity, for the whole process.
//
// The routines here and in series.hpp take pointers and a word count so that
// tests and benchmarks can run them on arrays of their own; the program runs
// them on the process-wide arrays below. Positions past the word count are
// never written and read as zero.
#pragma once

#include <cstdint>

namespace atanorg {

// Capacity of `acc` and `term`: 1,000,007 fraction words plus the integer
// word and two guard words.
inline constexpr std::int32_t ARRAY_CAPACITY = 1000010;
// Largest request in fraction words (5,000,035 digits).
inline constexpr std::int32_t MAX_FRACTION_WORDS = 1000007;

// Numeric parameters: decimal digits per word, the word base as a double and
// its rounded reciprocal. Initialised to their values; the driver sets them
// again at the start of a run.
extern std::int32_t word_digits;
extern double radix;
extern double inv_radix;

// Words in use: requested fraction words + 3. At most ARRAY_CAPACITY; zero
// or below means no word is in use.
extern std::int32_t word_count;

// The term being evaluated: atan_coef * arctan(1 / atan_x).
extern std::int32_t atan_coef;
extern double atan_x;

// The two word arrays (ARRAY_CAPACITY words each, zero-filled at start).
extern std::int32_t acc[];
extern std::int32_t term[];

// word_digits = 5, radix = 10^5, inv_radix = 1 / radix.
void set_numeric_parameters();

}  // namespace atanorg
