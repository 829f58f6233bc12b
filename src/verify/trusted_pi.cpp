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

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

#include "platform/sized_thread.hpp"

namespace atanorg {
namespace {

// The stack of each thread the computation runs on. GMP's multiplication
// allocates its scratch space on the stack, up to 32 KB a level: about
// 120 KB in all at the cap; 2 MB leaves ample room whatever the stack limit
// of the process (which `ulimit -s` sets for new threads as well).
constexpr std::size_t STACK_BYTES = std::size_t{2} << 20;

// ---- GMP's memory -----------------------------------------------------------
//
// GMP has no way to report an allocation that fails: its own functions
// print a message and abort, and functions of ours may not return either
// (unwinding or jumping through GMP's C frames is not safe). The functions
// installed here end the process as its program chooses
// (on_pi_memory_failure): atanpi-verify computes pi in a process of its
// own, whose end it reports.

std::atomic<void (*)(std::size_t)> memory_failure{nullptr};

[[noreturn]] void out_of_memory(std::size_t bytes) {
  if (const auto handler = memory_failure.load()) handler(bytes);
  std::abort();
}

void* allocate(std::size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) out_of_memory(bytes);
  return p;
}

void* reallocate(void* old, std::size_t, std::size_t bytes) {
  void* p = std::realloc(old, bytes);
  if (p == nullptr) out_of_memory(bytes);
  return p;
}

void release(void* p, std::size_t) { std::free(p); }

// The most GMP holds at once while computing pi to a number of places, as
// counted by functions like these: 10.1 bytes a place at 1,000,000 places,
// 10.6 at 5,000,040 (the cap), 9.5 at 200,000; with room for the C
// library's bookkeeping.
constexpr std::size_t GMP_BYTES_PER_PLACE = 12;
constexpr std::size_t GMP_BYTES_BESIDE = std::size_t{1} << 20;

// Throws std::bad_alloc unless `bytes` can be had now: allocated and given
// back. A computation that cannot fit fails so at once, rather than after
// GMP has worked for a while with the C library struggling for every block
// (millions of failed mmap calls under ulimit -v).
void check_memory(std::size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  std::free(p);
}

void install_memory_functions() {
  static std::once_flag once;
  std::call_once(once, [] { mp_set_memory_functions(allocate, reallocate, release); });
}

// An mpz_t that is cleared however its scope ends.
struct Integer {
  mpz_t v;
  Integer() { mpz_init(v); }
  ~Integer() { mpz_clear(v); }
  Integer(const Integer&) = delete;
  Integer& operator=(const Integer&) = delete;
};

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

// One of two pieces of work run side by side: on a thread of its own, or
// on the caller's when none can start. An exception it throws (std::bad_alloc
// from a string) is kept for the caller.
template <class Work>
struct Piece {
  Work& work;
  std::exception_ptr error;

  void run() {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
  }
  static void run_on_thread(void* piece) { static_cast<Piece*>(piece)->run(); }
};

// Runs `first` and `second` at once, each on a thread with a stack of
// STACK_BYTES; either runs on this thread instead when its thread cannot
// start (no threads left to this user, no memory for a stack): the result
// is the same, only slower. Rethrows what either threw.
template <class First, class Second>
void run_both(First&& first, Second&& second) {
  Piece<First> a{first, nullptr};
  Piece<Second> b{second, nullptr};
  SizedThread thread_a, thread_b;
  if (!thread_a.start(STACK_BYTES, &Piece<First>::run_on_thread, &a)) a.run();
  if (!thread_b.start(STACK_BYTES, &Piece<Second>::run_on_thread, &b)) b.run();
  thread_a.join();
  thread_b.join();
  if (a.error) std::rethrow_exception(a.error);
  if (b.error) std::rethrow_exception(b.error);
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
  run_both([&] { split(0, m, left, true); }, [&] { split(m, terms, right, false); });

  // The last merge (Q = Q1 Q2, T = T1 Q2 + P1 T2) beside the square root
  // root = floor(sqrt(10005) * 10^digits).
  Integer q, t, root;
  run_both(
      [&] {
        mpz_mul(q.v, left.q, right.q);
        mpz_ui_pow_ui(root.v, 10, 2 * static_cast<unsigned long>(digits));
        mpz_mul_ui(root.v, root.v, 10005);
        mpz_sqrt(root.v, root.v);
      },
      [&] {
        mpz_mul(t.v, left.t, right.q);
        mpz_addmul(t.v, left.p, right.t);
      });

  // Only the ratio Q/T matters: cut both to 64 bits more than the result
  // needs before multiplying and dividing.
  const size_t keep = mpz_sizeinbase(root.v, 2) + 64;
  const size_t t_bits = mpz_sizeinbase(t.v, 2);
  if (t_bits > keep) {
    mpz_fdiv_q_2exp(t.v, t.v, t_bits - keep);
    mpz_fdiv_q_2exp(q.v, q.v, t_bits - keep);
  }
  Integer x;
  mpz_mul(x.v, root.v, q.v);
  mpz_mul_ui(x.v, x.v, 426880);
  mpz_tdiv_q(x.v, x.v, t.v);

  // The upper and lower halves of the digits are converted at once.
  const auto low_width = static_cast<unsigned long>(digits / 2);
  Integer high, low;
  mpz_ui_pow_ui(low.v, 10, low_width);
  mpz_tdiv_qr(high.v, low.v, x.v, low.v);
  std::string high_text, low_text;
  run_both([&] { low_text = decimal_text(low.v, low_width); }, [&] { high_text = decimal_text(high.v); });
  return high_text + low_text;
}

}  // namespace

void on_pi_memory_failure(void (*handler)(std::size_t bytes)) { memory_failure.store(handler); }

std::string trusted_pi_places(long places) {
  if (places <= 0) return {};
  install_memory_functions();
  // The computed value can be off by a unit or so in its last place (the
  // truncated root, Q and T, the series' tail), so the guard places decide
  // the cut unless they read 00..0xx or 99..9xx; then compute again with
  // more of them.
  for (long guard = 24;; guard *= 2) {
    // With the two threads' stacks, mapped only later.
    check_memory(static_cast<std::size_t>(places + guard) * GMP_BYTES_PER_PLACE + GMP_BYTES_BESIDE +
                 2 * STACK_BYTES);
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
