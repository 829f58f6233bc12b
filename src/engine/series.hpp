// The arctangent series: adds c * arctan(1/x) into an accumulator.
//
// c/x - c/(3x^3) + c/(5x^5) - ... is evaluated on base-100000 words: the
// power term c/x^(2j+1) is kept in `term` and divided by x^2 in place, and
// in the same sweep divided by 2j+1 and added into `acc` without carries.
// The words left in `acc` and `term` are defined by the straightforward
// evaluation, atan_accumulate_reference; every faster evaluation leaves
// exactly the same words.
#pragma once

#include <cstdint>

namespace atanpi {

// How many series terms after c/x are summed for n words: the integer part
// of 5n / (ln(x^2) / ln 10). Zero or below means none.
std::int32_t series_term_count(std::int32_t n, double x);

// The straightforward evaluation, one series term per sweep over the words.
// acc and term hold at least max(n, 1) words; acc[0..n) holds the sum so far.
void atan_accumulate_reference(std::int32_t* acc, std::int32_t* term,
                               std::int32_t n, std::int32_t coef, double x);

// The program's call: atan_coef * arctan(1/atan_x) into the process-wide
// acc, over word_count words.
void atan_accumulate();

}  // namespace atanpi
