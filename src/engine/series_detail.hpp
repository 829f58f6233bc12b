// Pieces of the series shared by the reference and the fast evaluation.
#pragma once

#include <cmath>
#include <cstdint>

namespace atanorg {

// The divisors of one series pass: x^2 and 2j+1, each with its rounded
// reciprocal (quotients are floor(dividend * reciprocal)).
struct PassDivisors {
  double b = 0.0;
  double rb = 0.0;
  double d = 0.0;
  double rd = 0.0;
};

// The divisors of pass j: base's b and rb, d = 2j+1 and rd = 1/d. The one
// place where every evaluation forms them, so all round them alike.
PassDivisors pass_divisors(const PassDivisors& base, std::int32_t j);

// The sign with which pass j adds its quotients into acc: c/x is added, the
// pass j = 1 (c/(3x^3)) subtracted, and so on alternately.
constexpr std::int32_t pass_sign(std::int32_t j) { return (j % 2 != 0) ? -1 : 1; }

// One word-step of a pass, the arithmetic every evaluation performs on one
// word w of the power term, in words of base `word_base` (radix): the
// dividend r2 * word_base + w divided by b gives the new power-term word q
// and the new remainder r2; the dividend r1 * word_base + q divided by d
// gives the returned quotient v (added into acc with the pass's sign) and
// the new remainder r1. The vector kernels (series_highway.cpp) do the same
// operations in the same order, with fused multiply-adds where the result
// is an exact integer.
inline double word_step(double w, double& r2, double& r1, const PassDivisors& div, double word_base,
                        double& q) {
  const double t = w + r2 * word_base;
  q = std::floor(t * div.rb);
  r2 = t - q * div.b;
  const double u = r1 * word_base + q;
  const double v = std::floor(u * div.rd);
  r1 = u - v * div.d;
  return v;
}

// Whether every word of acc[0..n) is below ACC_WORD_LIMIT in magnitude.
bool acc_within_limit(const std::int32_t* acc, std::int32_t n);

// Words by which the power term shrinks per pass: log10(b) / 5.
double words_per_pass(double b);

// Word-steps (one word of one pass) that an evaluation of n words with the
// given series length is expected to take, for progress: each pass starts
// at the first non-zero word, which moves about log10(b)/5 words per pass.
std::uint64_t expected_work(std::int32_t n, std::int32_t series_terms, double b);

// Sets term to c and divides it by x (true division), adding c/x into acc.
// Sets term[0] even when n <= 0.
void series_first_term(std::int32_t* acc, std::int32_t* term, std::int32_t n,
                       std::int32_t coef, double x);

// One series pass over words first..n (1-based): term /= b in place, and
// s * (term / d) added into acc, starting with the remainders r2 (of the
// division by b) and r1 (of the division by d).
void series_pass(std::int32_t* acc, std::int32_t* term, std::int32_t first, std::int32_t n,
                 const PassDivisors& div, std::int32_t s, double r2, double r1);

}  // namespace atanorg
