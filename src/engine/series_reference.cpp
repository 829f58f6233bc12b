// The reference evaluation of the arctangent series.
//
// This is the definition of the words the program produces: every faster
// evaluation is tested against it word for word, so it stays plain. All
// arithmetic is IEEE double, in exactly the order written (the engine is
// built with -ffp-contract=off). Every dividend formed here is an integer
// below 2^53, so the products and differences of remainders are exact; only
// the quotients floor(t * rb) and floor(u * rd) use a rounded reciprocal and
// may come out one below the true floor, which the next word absorbs.
#include <algorithm>
#include <cmath>

#include "engine/fixed_point.hpp"
#include "engine/series.hpp"
#include "engine/series_config.hpp"
#include "engine/series_detail.hpp"

namespace atanorg {

static_assert(config::block_sum_bound(config::MAX_BLOCK_PASSES) + ACC_WORD_LIMIT < double(std::int64_t{1} << 31),
              "a run of MAX_BLOCK_PASSES passes could overflow an acc word of ACC_WORD_LIMIT");

const char* series_status_text(SeriesStatus status) {
  switch (status) {
    case SeriesStatus::ok: return "no error";
    case SeriesStatus::too_many_words: return "more words than the capacity of 1000010";
    case SeriesStatus::x_out_of_range: return "x is not an integer from 2 to 300000";
    case SeriesStatus::coef_out_of_range: return "the coefficient is outside -99999 .. 99999";
    case SeriesStatus::acc_out_of_range: return "an accumulator word reached 2^30 in magnitude";
  }
  return "unknown status";
}
static_assert(ARRAY_CAPACITY == 1000010 && MAX_SERIES_X == 300000 && MAX_SERIES_COEF == 99999 &&
                  ACC_WORD_LIMIT == std::int32_t{1} << 30,
              "series_status_text gives the limits");

SeriesStatus check_series_arguments(std::int32_t n, std::int32_t coef, double x) {
  if (n > ARRAY_CAPACITY) return SeriesStatus::too_many_words;
  // (NaN fails every comparison.)
  if (!(x >= 2.0 && x <= MAX_SERIES_X && x == std::floor(x))) return SeriesStatus::x_out_of_range;
  if (coef < -MAX_SERIES_COEF || coef > MAX_SERIES_COEF) return SeriesStatus::coef_out_of_range;
  return SeriesStatus::ok;
}

bool acc_within_limit(const std::int32_t* acc, std::int32_t n) {
  // Or-ing the magnitudes' bits keeps the loop free of branches; the
  // magnitude of -2^31 is 2^31.
  std::uint32_t high = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const auto word = static_cast<std::uint32_t>(acc[i]);
    high |= acc[i] < 0 ? 0U - word : word;
  }
  return high < static_cast<std::uint32_t>(ACC_WORD_LIMIT);
}

std::int32_t series_term_count(std::int32_t n, double x) {
  const double b = x * x;
  const double digits = static_cast<double>(n * word_digits);
  const double digits_per_term = std::log(b) / std::log(10.0);
  return static_cast<std::int32_t>(digits / digits_per_term);
}

PassDivisors pass_divisors(const PassDivisors& base, std::int32_t j) {
  PassDivisors div = base;
  div.d = static_cast<double>(2 * j + 1);
  div.rd = 1.0 / div.d;
  return div;
}

double words_per_pass(double b) { return std::log10(b) / word_digits; }

std::uint64_t expected_work(std::int32_t n, std::int32_t series_terms, double b) {
  if (n <= 0 || series_terms <= 0) return 1;
  const double shrink = words_per_pass(b);
  const double passes = std::min(static_cast<double>(series_terms), n / shrink);
  const double work = passes * n - shrink * passes * passes / 2.0;
  return static_cast<std::uint64_t>(std::max(work, 1.0));
}

void series_first_term(std::int32_t* acc, std::int32_t* term, std::int32_t n,
                       std::int32_t coef, double x) {
  // Word i is stored at index i - 1.
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
}

void series_pass(std::int32_t* acc, std::int32_t* term, std::int32_t first, std::int32_t n,
                 const PassDivisors& div, std::int32_t s, double r2, double r1) {
  for (std::int32_t i = first; i <= n; ++i) {
    double q;
    const double v = word_step(term[i - 1], r2, r1, div, radix, q);
    term[i - 1] = static_cast<std::int32_t>(q);
    acc[i - 1] = static_cast<std::int32_t>(acc[i - 1] + s * v);
  }
}

SeriesStatus atan_accumulate_reference(std::int32_t* acc, std::int32_t* term, std::int32_t n,
                                       std::int32_t coef, double x, SeriesProgress* progress) {
  if (const SeriesStatus status = check_series_arguments(n, coef, x); status != SeriesStatus::ok) return status;
  if (!acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  PassDivisors div;
  div.b = x * x;
  div.rb = 1.0 / div.b;
  const std::int32_t series_terms = series_term_count(n, x);

  // Words past n read as zero.
  auto word_at = [&](std::int32_t i) { return i <= n ? term[i - 1] : 0; };

  if (progress != nullptr) {
    progress->done.store(0);
    // A negative term is held in floor form, with no zero words to skip:
    // every pass sweeps all n words.
    progress->total.store(coef < 0 && n > 0 ? std::uint64_t(series_terms) * std::uint64_t(n)
                                            : expected_work(n, series_terms, div.b));
  }

  series_first_term(acc, term, n, coef, x);
  std::int32_t lead_index = 1;
  for (std::int32_t j = 1; j <= series_terms; ++j) {
    div = pass_divisors(div, j);
    series_pass(acc, term, lead_index, n, div, pass_sign(j), 0.0, 0.0);
    if (progress != nullptr && lead_index <= n) progress->done.fetch_add(std::uint64_t(n - lead_index + 1));
    // The lead index follows the leading zero words, at most two a term.
    if (word_at(lead_index) == 0) {
      ++lead_index;
      if (word_at(lead_index) == 0) ++lead_index;
    }
    // No sum overflows within the next MAX_BLOCK_PASSES passes while every
    // word is below the limit (series_config.hpp).
    if (j % config::MAX_BLOCK_PASSES == 0 && !acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  }
  if (!acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  if (progress != nullptr) progress->total.store(progress->done.load());
  return SeriesStatus::ok;
}

}  // namespace atanorg
