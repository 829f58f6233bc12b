// Writers of the result file's three parts: the header, the total time and
// the digit rows. They only format; the caller checks the stream's state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace atanorg {

// The first line of every result file, its line end included.
inline constexpr std::string_view RESULT_TITLE_LINE = " ** Pi Computation with the original arctan method ** \n";

// The longest time the console and the file show, in milliseconds:
// 999,999,999.999 s (31 years), nine digits before the point. Only a clock
// gone wrong would measure more. (Up to here "%f" shows every count of
// milliseconds exactly; from 2^33 s on a double's seconds are off by more
// than the half-unit of the sixth decimal.)
inline constexpr std::int64_t MAX_RESULT_MS = 999'999'999'999;

// The seconds shown and written for a measured time of `ms` milliseconds:
// ms / 1000.0, with a negative count taken as 0 and one beyond
// MAX_RESULT_MS as that.
constexpr double result_seconds(std::int64_t ms) {
  return static_cast<double>(std::clamp<std::int64_t>(ms, 0, MAX_RESULT_MS)) / 1000.0;
}

// The time the result file's space is reserved for: the longest that is
// written, so that no run outgrows its reservation.
inline constexpr double RESERVED_SECONDS = result_seconds(MAX_RESULT_MS);

// " ** Pi Computation with the original arctan method ** " and the digit
// count and formula id line.
void write_result_header(std::FILE* file, std::int32_t digits, std::int32_t formula_id);

// The total-time line followed by an empty line.
void write_result_time(std::FILE* file, double seconds);

// " Pi = 3." and the numbered rows of 80 places from words 2 .. n-2 of a
// normalised accumulator (the first guard word completes the last pair
// when the number of fraction words is odd). No line end after the last row.
void write_result_digits(std::FILE* file, const std::int32_t* acc, std::int32_t n);

// The exact size in bytes of the result file the three writers produce for
// `digits` places (a multiple of 5), `formula_id` and a total time of
// `seconds`, so that the file's space can be reserved before the computation.
std::int64_t result_file_size(std::int32_t digits, std::int32_t formula_id, double seconds);

}  // namespace atanorg
