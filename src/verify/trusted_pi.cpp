// Pi by the Chudnovsky series with GMP integers.
//
// Chudnovsky: 1/pi = 12 * sum_k (-1)^k (6k)! (13591409 + 545140134 k)
//                          / ((3k)! (k!)^3 640320^(3k+3/2)),
// about 14.18 decimal places per term. Binary splitting over the terms
// [a, b) gives integers P, Q, T with
//   pi = 426880 sqrt(10005) Q(0,N) / T(0,N),
// so floor(pi * 10^D) comes from one integer square root and one division.
// The two halves of the top split, and then the last merge beside the root,
// run on two threads. For the 5,000,040 places of a file at the cap, on an
// otherwise idle two-core machine: 2.4 s, where MPFR's constant and its
// conversion took 7.6 s for the same places (with other work running:
// 4.2 to 4.7 s, of which splitting 2.7 s, root and division 0.75 s and
// decimal conversion 0.8 s, against 9 to 10 s for MPFR).
#include "verify/trusted_pi.hpp"

#include <gmp.h>

#include <cmath>
#include <string_view>
#include <thread>
#include <utility>

namespace atanorg {
namespace {

// 640320^3 / 24 = 26680 * 640320^2, as factors that fit GMP's unsigned
// long, which is 32 bits wide on Windows.
constexpr unsigned long C3_OVER_24_FACTORS[] = {26680, 640320, 640320};
// log10(640320^3 / 1728): decimal places gained per term.
constexpr double PLACES_PER_TERM = 14.181647462725477;

// P, Q and T of the terms [a, b). P is left unset when not needed (the
// rightmost ranges of the whole sum never need it).
struct Split {
  mpz_t p, q, t;
  Split() { mpz_inits(p, q, t, nullptr); }
  ~Split() { mpz_clears(p, q, t, nullptr); }
  Split(const Split&) = delete;
  Split& operator=(const Split&) = delete;
};

void split(unsigned long a, unsigned long b, Split& out, bool need_p) {
  if (b - a == 1) {
    if (a == 0) {
      mpz_set_ui(out.p, 1);
      mpz_set_ui(out.q, 1);
    } else {
      // P = (6a-5)(2a-1)(6a-1), Q = a^3 * 640320^3 / 24.
      mpz_set_ui(out.p, 6 * a - 5);
      mpz_mul_ui(out.p, out.p, 2 * a - 1);
      mpz_mul_ui(out.p, out.p, 6 * a - 1);
      mpz_set_ui(out.q, a);
      mpz_mul_ui(out.q, out.q, a);
      mpz_mul_ui(out.q, out.q, a);
      for (unsigned long factor : C3_OVER_24_FACTORS) mpz_mul_ui(out.q, out.q, factor);
    }
    // T = P * (13591409 + 545140134 a) * (-1)^a.
    mpz_mul_ui(out.t, out.p, 545140134);
    mpz_mul_ui(out.t, out.t, a);
    mpz_addmul_ui(out.t, out.p, 13591409);
    if (a % 2 == 1) mpz_neg(out.t, out.t);
    return;
  }
  const unsigned long m = a + (b - a) / 2;
  Split right;
  split(a, m, out, true);
  split(m, b, right, need_p);
  // T = T(a,m) Q(m,b) + P(a,m) T(m,b); Q = Q(a,m) Q(m,b); P = P(a,m) P(m,b).
  mpz_mul(out.t, out.t, right.q);
  mpz_addmul(out.t, out.p, right.t);
  mpz_mul(out.q, out.q, right.q);
  if (need_p) mpz_mul(out.p, out.p, right.p);
}

// Runs `first` on a second thread and `second` on this one.
template <class First, class Second>
void run_both(First&& first, Second&& second) {
  std::thread worker(std::forward<First>(first));
  second();
  worker.join();
}

// Decimal text of a non-negative x, exactly `width` digits when `width` is
// given (leading zeros kept).
std::string decimal_text(const mpz_t x, size_t width = 0) {
  std::string text(mpz_sizeinbase(x, 10) + 1, '\0');
  mpz_get_str(text.data(), 10, x);
  text.resize(text.find('\0'));
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

// pi * 10^digits, truncated, as decimal text: "3" and `digits` places.
std::string scaled_pi_text(long digits) {
  const auto terms = static_cast<unsigned long>(static_cast<double>(digits) / PLACES_PER_TERM) + 2;
  // Later terms have longer numbers, so the left part takes a few more.
  const unsigned long m = terms / 2 + terms / 32;
  Split left, right;
  run_both([&] { split(m, terms, right, false); }, [&] { split(0, m, left, true); });

  // The last merge (Q = Q1 Q2, T = T1 Q2 + P1 T2) beside the square root
  // root = floor(sqrt(10005) * 10^digits).
  mpz_t q, t, root;
  mpz_inits(q, t, root, nullptr);
  run_both(
      [&] {
        mpz_mul(q, left.q, right.q);
        mpz_ui_pow_ui(root, 10, 2 * static_cast<unsigned long>(digits));
        mpz_mul_ui(root, root, 10005);
        mpz_sqrt(root, root);
      },
      [&] {
        mpz_mul(t, left.t, right.q);
        mpz_addmul(t, left.p, right.t);
      });

  // Only the ratio Q/T matters: cut both to 64 bits more than the result
  // needs before multiplying and dividing.
  const size_t keep = mpz_sizeinbase(root, 2) + 64;
  const size_t t_bits = mpz_sizeinbase(t, 2);
  if (t_bits > keep) {
    mpz_fdiv_q_2exp(t, t, t_bits - keep);
    mpz_fdiv_q_2exp(q, q, t_bits - keep);
  }
  mpz_t x;
  mpz_init(x);
  mpz_mul(x, root, q);
  mpz_mul_ui(x, x, 426880);
  mpz_tdiv_q(x, x, t);

  // The upper and lower halves of the digits are converted at once.
  const auto low_width = static_cast<unsigned long>(digits / 2);
  mpz_t high, low;
  mpz_inits(high, low, nullptr);
  mpz_ui_pow_ui(low, 10, low_width);
  mpz_tdiv_qr(high, low, x, low);
  std::string high_text, low_text;
  run_both([&] { low_text = decimal_text(low, low_width); }, [&] { high_text = decimal_text(high); });
  mpz_clears(q, t, root, x, high, low, nullptr);
  return high_text + low_text;
}

}  // namespace

std::string trusted_pi_places(long places) {
  if (places <= 0) return {};
  // The computed value can be off by a unit or so in its last place (the
  // truncated root, Q and T, the series' tail), so the guard places decide
  // the cut unless they read 00..0xx or 99..9xx; then compute again with
  // more of them.
  for (long guard = 24;; guard *= 2) {
    std::string text = scaled_pi_text(places + guard);
    const auto guard_places = std::string_view(text).substr(1 + places, guard - 2);
    const bool undecided = guard_places.find_first_not_of('0') == std::string_view::npos ||
                           guard_places.find_first_not_of('9') == std::string_view::npos;
    if (!undecided) {
      text.resize(1 + places);
      text.erase(0, 1);  // the 3
      return text;
    }
  }
}

}  // namespace atanorg
