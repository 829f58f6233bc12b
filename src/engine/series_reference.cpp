// The reference evaluation of the arctangent series.
//
// This is the definition of the words the program produces: every faster
// evaluation is tested against it word for word, so it stays plain. All
// arithmetic is IEEE double, in exactly the order written (the engine is
// built with -ffp-contract=off). Every dividend formed here is an integer
// below 2^53, so the products and differences of remainders are exact; only
// the quotients floor(t * rb) and floor(u * rd) use a rounded reciprocal and
// may come out one below the true floor, which the next word absorbs.
#include <cmath>

#include "engine/fixed_point.hpp"
#include "engine/series.hpp"

namespace atanpi {

std::int32_t series_term_count(std::int32_t n, double x) {
  const double b = x * x;
  const double digits = static_cast<double>(n * word_digits);
  const double digits_per_term = std::log(b) / std::log(10.0);
  return static_cast<std::int32_t>(digits / digits_per_term);
}

void atan_accumulate_reference(std::int32_t* acc, std::int32_t* term,
                               std::int32_t n, std::int32_t coef, double x) {
  const double b = x * x;
  const double rb = 1.0 / b;
  const std::int32_t series_terms = series_term_count(n, x);

  // Words are numbered from 1 here; word i is stored at index i - 1.
  // Words past n read as zero.
  auto word_at = [&](std::int32_t i) { return i <= n ? term[i - 1] : 0; };

  term[0] = coef;
  for (std::int32_t i = 2; i <= n; ++i) term[i - 1] = 0;

  // c / x, by true division; added with sign +.
  double r = 0.0;
  for (std::int32_t i = 1; i <= n; ++i) {
    const double t = term[i - 1] + r * radix;
    const double q = std::floor(t / x);
    r = t - q * x;
    term[i - 1] = static_cast<std::int32_t>(q);
    acc[i - 1] = acc[i - 1] + term[i - 1];
  }

  std::int32_t lead_index = 1;
  std::int32_t s = -1;
  for (std::int32_t j = 1; j <= series_terms; ++j) {
    double r2 = 0.0;
    double r1 = 0.0;
    const double d = static_cast<double>(2 * j + 1);
    const double rd = 1.0 / d;
    for (std::int32_t i = lead_index; i <= n; ++i) {
      const double t = term[i - 1] + r2 * radix;
      const double q = std::floor(t * rb);
      r2 = t - q * b;
      term[i - 1] = static_cast<std::int32_t>(q);
      const double u = r1 * radix + q;
      const double v = std::floor(u * rd);
      r1 = u - v * d;
      acc[i - 1] = static_cast<std::int32_t>(acc[i - 1] + s * v);
    }
    // The lead index follows the leading zero words, at most two a term.
    if (word_at(lead_index) == 0) {
      ++lead_index;
      if (word_at(lead_index) == 0) ++lead_index;
    }
    s = -s;
  }
}

void atan_accumulate() {
  atan_accumulate_reference(acc, term, word_count, atan_coef, atan_x);
}

}  // namespace atanpi
