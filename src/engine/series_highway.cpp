// Round kernel of the fast series evaluation, one source for every
// processor: Google Highway compiles this file once per instruction set
// (scalar, SSE4, AVX2, AVX-512 on x86-64; NEON, SVE, SVE2 on aarch64) and
// the engine picks the best one the processor has at run time.
//
// Each lane of a vector of doubles sweeps its own word segment (the words
// are stored transposed, see series_kernel.hpp), so one vector operation
// advances every segment of the thread. Within the sweep the GROUP_TERMS
// terms of the group run as a wavefront: term g works on row i - g while
// term 0 works on row i, and hands the quotient word it produced (the new
// power-term word) and the running sum of its acc contributions to term
// g + 1 in registers. That keeps 2 x GROUP_TERMS independent remainder
// chains in flight, so the sweep is bound by the floating-point pipes, not
// by the ~14-cycle latency of one chain.
//
// Per word-step the arithmetic is the reference's, operation for operation:
// the fused multiply-adds only form exact integers below 2^53 (r * radix +
// word, and dividend - quotient * divisor), so they give what the
// reference's separate multiply and add give; the quotients stay a
// multiplication by the rounded reciprocal followed by Floor.
//
// The per-term state lives in named variables, not arrays: SVE vectors are
// sizeless and cannot be array elements or struct members.
//
// Measured with build/series_bench on a 2-core AMD Zen 4 (EPYC) machine,
// 16 * arctan(1/5), one core: see the README's per-engine table.

// Highway re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/series_highway.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/highway.h>

#include <cstring>

#include "engine/fixed_point.hpp"
#include "engine/series_kernel.hpp"

HWY_BEFORE_NAMESPACE();
namespace atanpi {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes per vector: 4 on AVX-512 as on AVX2 (measured faster than 8 on
// Zen 4, whose 512-bit operations take two 256-bit passes: 8 lanes only
// double the segments to fill and drain), the full vector elsewhere.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#ifndef ATANPI_AVX3_LANES
#define ATANPI_AVX3_LANES 4
#endif
constexpr std::size_t WANTED_LANES = ATANPI_AVX3_LANES;
#else
constexpr std::size_t WANTED_LANES = MAX_LANES;
#endif
using D = hn::CappedTag<double, WANTED_LANES>;
using DI = hn::Rebind<std::int32_t, D>;
using V = hn::Vec<D>;

std::size_t round_lanes() { return hn::Lanes(D()); }

// One word-step of one term: divides (r2, w) by b into q and (r1, q) by d
// into the returned v, updating both remainders.
HWY_INLINE V word_step(V w, V& r2, V& r1, V d, V rd, V radix, V b, V rb, V& q) {
  const V t = hn::MulAdd(r2, radix, w);
  q = hn::Floor(hn::Mul(t, rb));
  r2 = hn::NegMulAdd(q, b, t);
  const V u = hn::MulAdd(r1, radix, q);
  const V v = hn::Floor(hn::Mul(u, rd));
  r1 = hn::NegMulAdd(v, d, u);
  return v;
}

std::uint64_t lane_bits(std::uint32_t mask) { return mask; }

// Rounds with fewer rows than terms: the terms one after another, each over
// all rows, with their state in memory.
void round_by_term(const RoundArgs& a) {
  const D d;
  const DI di;
  const std::size_t n = hn::Lanes(d);
  std::uint8_t bits[8];
  const std::uint64_t mask_bits = lane_bits(a.lane_mask);
  std::memcpy(bits, &mask_bits, sizeof bits);
  const auto active = hn::LoadMaskBits(di, bits);
  const V radix_v = hn::Set(d, radix), b = hn::Set(d, a.b), rb = hn::Set(d, a.rb);
  for (int g = 0; g < GROUP_TERMS; ++g) {
    const V sign = hn::Set(d, (g % 2 == 0) ? a.sign : -a.sign);
    V r2 = hn::LoadU(d, a.r2 + g * n);
    V r1 = hn::LoadU(d, a.r1 + g * n);
    const V dv = hn::LoadU(d, a.d + g * n);
    const V rdv = hn::LoadU(d, a.rd + g * n);
    for (std::int32_t row = 0; row < a.rows; ++row) {
      std::int32_t* words = a.words + row * n;
      std::int32_t* deltas = a.deltas + row * n;
      const auto old_words = hn::LoadU(di, words);
      V q;
      const V v = word_step(hn::PromoteTo(d, old_words), r2, r1, dv, rdv, radix_v, b, rb, q);
      hn::StoreU(hn::IfThenElse(active, hn::DemoteTo(di, q), old_words), di, words);
      const auto delta = hn::IfThenElseZero(active, hn::DemoteTo(di, hn::Mul(v, sign)));
      hn::StoreU(hn::Add(hn::LoadU(di, deltas), delta), di, deltas);
    }
    hn::StoreU(r2, d, a.r2 + g * n);
    hn::StoreU(r1, d, a.r1 + g * n);
  }
}

// The wavefront for GROUP_TERMS = 8: term g's remainders r2_g, r1_g and
// divisors d_g, rd_g; what term g hands to term g+1: q_g and p_g.
static_assert(GROUP_TERMS == 8, "the wavefront below is written out for 8 terms");

template <bool MASKED>
HWY_NOINLINE void round_wavefront(const RoundArgs& a) {
  const D d;
  const DI di;
  const std::size_t n = hn::Lanes(d);
  std::uint8_t bits[8];
  const std::uint64_t mask_bits = lane_bits(a.lane_mask);
  std::memcpy(bits, &mask_bits, sizeof bits);
  const auto active = hn::LoadMaskBits(di, bits);
  const V radix_v = hn::Set(d, radix), b = hn::Set(d, a.b), rb = hn::Set(d, a.rb);
  const V sign = hn::Set(d, a.sign);
  std::int32_t* const words = a.words;
  std::int32_t* const deltas = a.deltas;

#define ATANPI_LOAD_TERM(g)                   \
  V r2_##g = hn::LoadU(d, a.r2 + (g) * n);    \
  V r1_##g = hn::LoadU(d, a.r1 + (g) * n);    \
  const V d_##g = hn::LoadU(d, a.d + (g) * n); \
  const V rd_##g = hn::LoadU(d, a.rd + (g) * n);
  ATANPI_LOAD_TERM(0)
  ATANPI_LOAD_TERM(1)
  ATANPI_LOAD_TERM(2)
  ATANPI_LOAD_TERM(3)
  ATANPI_LOAD_TERM(4)
  ATANPI_LOAD_TERM(5)
  ATANPI_LOAD_TERM(6)
  ATANPI_LOAD_TERM(7)
#undef ATANPI_LOAD_TERM
  V q_0 = hn::Zero(d), q_1 = q_0, q_2 = q_0, q_3 = q_0, q_4 = q_0, q_5 = q_0, q_6 = q_0;
  V p_0 = q_0, p_1 = q_0, p_2 = q_0, p_3 = q_0, p_4 = q_0, p_5 = q_0, p_6 = q_0;

  // Term 0 at row i: takes the word from memory.
#define ATANPI_TERM_FIRST(i)                                                            \
  {                                                                                     \
    const V w = hn::PromoteTo(d, hn::LoadU(di, words + std::size_t(i) * n));             \
    p_0 = word_step(w, r2_0, r1_0, d_0, rd_0, radix_v, b, rb, q_0);                     \
  }
  // Term g at row i - g: takes term g-1's word and sum; contributions
  // alternate in sign within the group (OP is Add or Sub).
#define ATANPI_TERM_MIDDLE(g, prev, OP)                                          \
  {                                                                              \
    const V v = word_step(q_##prev, r2_##g, r1_##g, d_##g, rd_##g, radix_v, b, rb, q_##g); \
    p_##g = hn::OP(p_##prev, v);                                                 \
  }
  // Term 7 at row i - 7: the row is done, word and sum go to memory.
#define ATANPI_TERM_LAST(i)                                                            \
  {                                                                                    \
    V q;                                                                               \
    const V v = word_step(q_6, r2_7, r1_7, d_7, rd_7, radix_v, b, rb, q);               \
    std::int32_t* word_row = words + std::size_t((i) - 7) * n;                         \
    std::int32_t* delta_row = deltas + std::size_t((i) - 7) * n;                       \
    auto qi = hn::DemoteTo(di, q);                                                     \
    auto pi = hn::DemoteTo(di, hn::Mul(hn::Sub(p_6, v), sign));                        \
    if constexpr (MASKED) {                                                            \
      qi = hn::IfThenElse(active, qi, hn::LoadU(di, word_row));                        \
      pi = hn::IfThenElseZero(active, pi);                                             \
    }                                                                                  \
    hn::StoreU(qi, di, word_row);                                                      \
    hn::StoreU(hn::Add(hn::LoadU(di, delta_row), pi), di, delta_row);                  \
  }
  // Step i: terms HI down to LO (descending, so that each term takes its
  // hand-off before the term below replaces it). The bounds are constants:
  // the compiler drops the terms outside them.
#define ATANPI_STEP(i, LO, HI)                                        \
  {                                                                   \
    if (7 >= (LO) && 7 <= (HI)) ATANPI_TERM_LAST(i)                   \
    if (6 >= (LO) && 6 <= (HI)) ATANPI_TERM_MIDDLE(6, 5, Add)         \
    if (5 >= (LO) && 5 <= (HI)) ATANPI_TERM_MIDDLE(5, 4, Sub)         \
    if (4 >= (LO) && 4 <= (HI)) ATANPI_TERM_MIDDLE(4, 3, Add)         \
    if (3 >= (LO) && 3 <= (HI)) ATANPI_TERM_MIDDLE(3, 2, Sub)         \
    if (2 >= (LO) && 2 <= (HI)) ATANPI_TERM_MIDDLE(2, 1, Add)         \
    if (1 >= (LO) && 1 <= (HI)) ATANPI_TERM_MIDDLE(1, 0, Sub)         \
    if (0 >= (LO) && 0 <= (HI)) ATANPI_TERM_FIRST(i)                  \
  }

  // Fill: at step i only terms 0 .. i have reached the segment.
  ATANPI_STEP(0, 0, 0)
  ATANPI_STEP(1, 0, 1)
  ATANPI_STEP(2, 0, 2)
  ATANPI_STEP(3, 0, 3)
  ATANPI_STEP(4, 0, 4)
  ATANPI_STEP(5, 0, 5)
  ATANPI_STEP(6, 0, 6)
  for (std::int32_t i = 7; i < a.rows; ++i) ATANPI_STEP(i, 0, 7)
  // Drain: at step rows - 1 + e only terms e .. 7 are still in it.
  const std::int32_t last = a.rows - 1;
  ATANPI_STEP(last + 1, 1, 7)
  ATANPI_STEP(last + 2, 2, 7)
  ATANPI_STEP(last + 3, 3, 7)
  ATANPI_STEP(last + 4, 4, 7)
  ATANPI_STEP(last + 5, 5, 7)
  ATANPI_STEP(last + 6, 6, 7)
  ATANPI_STEP(last + 7, 7, 7)
#undef ATANPI_STEP
#undef ATANPI_TERM_LAST
#undef ATANPI_TERM_MIDDLE
#undef ATANPI_TERM_FIRST

#define ATANPI_STORE_TERM(g)                \
  hn::StoreU(r2_##g, d, a.r2 + (g) * n);    \
  hn::StoreU(r1_##g, d, a.r1 + (g) * n);
  ATANPI_STORE_TERM(0)
  ATANPI_STORE_TERM(1)
  ATANPI_STORE_TERM(2)
  ATANPI_STORE_TERM(3)
  ATANPI_STORE_TERM(4)
  ATANPI_STORE_TERM(5)
  ATANPI_STORE_TERM(6)
  ATANPI_STORE_TERM(7)
#undef ATANPI_STORE_TERM
}

void series_round(const RoundArgs& a) {
  // The wavefront needs every term to enter and leave the segment in turn.
  const std::uint32_t all = (std::uint64_t{1} << round_lanes()) - 1;
  if (a.rows < GROUP_TERMS) {
    round_by_term(a);
  } else if ((a.lane_mask & all) == all) {
    round_wavefront<false>(a);
  } else {
    round_wavefront<true>(a);
  }
}

// The floor: TERMS independent terms, each running the word-step of the
// series on its own remainders, with constant inputs and no memory.
template <int TERMS>
HWY_NOINLINE double floor_sweep_of(std::int64_t steps) {
  const D d;
  const V radix_v = hn::Set(d, radix);
  // x = 5 and a divisor 2j+1 from the middle of its series.
  const V b = hn::Set(d, 25.0), rb = hn::Set(d, 1.0 / 25.0);
  const V dv = hn::Set(d, 100001.0), rdv = hn::Set(d, 1.0 / 100001.0);
  const V w = hn::Set(d, 31415.0);
#define ATANPI_FLOOR_STATE(g) \
  V r2_##g = hn::Set(d, double(g)), r1_##g = hn::Set(d, double(g)), p_##g = hn::Zero(d), q_##g;
  ATANPI_FLOOR_STATE(0)
  ATANPI_FLOOR_STATE(1)
  ATANPI_FLOOR_STATE(2)
  ATANPI_FLOOR_STATE(3)
  ATANPI_FLOOR_STATE(4)
  ATANPI_FLOOR_STATE(5)
  ATANPI_FLOOR_STATE(6)
  ATANPI_FLOOR_STATE(7)
#undef ATANPI_FLOOR_STATE
#define ATANPI_FLOOR_TERM(g) \
  if constexpr (g < TERMS) p_##g = hn::Add(p_##g, word_step(w, r2_##g, r1_##g, dv, rdv, radix_v, b, rb, q_##g));
  for (std::int64_t s = 0; s < steps; ++s) {
    ATANPI_FLOOR_TERM(0)
    ATANPI_FLOOR_TERM(1)
    ATANPI_FLOOR_TERM(2)
    ATANPI_FLOOR_TERM(3)
    ATANPI_FLOOR_TERM(4)
    ATANPI_FLOOR_TERM(5)
    ATANPI_FLOOR_TERM(6)
    ATANPI_FLOOR_TERM(7)
  }
#undef ATANPI_FLOOR_TERM
  const V sum = hn::Add(hn::Add(hn::Add(p_0, p_1), hn::Add(p_2, p_3)), hn::Add(hn::Add(p_4, p_5), hn::Add(p_6, p_7)));
  return hn::GetLane(hn::SumOfLanes(d, sum));
}

double floor_sweep(std::int64_t steps, int terms) {
  switch (terms) {
    case 4: return floor_sweep_of<4>(steps);
    case 6: return floor_sweep_of<6>(steps);
    default: return floor_sweep_of<8>(steps);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace atanpi
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace atanpi {
std::size_t hand_lanes();
void series_round_avx2_hand(const RoundArgs& args);

#define ATANPI_KERNEL(ENGINE, NS) \
  RoundKernel{ENGINE, &NS::round_lanes, &NS::series_round, &NS::floor_sweep},

const std::vector<RoundKernel>& round_kernels() {
  static const std::vector<RoundKernel> kernels = {
#if HWY_TARGETS & HWY_EMU128
      ATANPI_KERNEL(SeriesEngine::scalar, N_EMU128)
#elif HWY_TARGETS & HWY_SCALAR
      ATANPI_KERNEL(SeriesEngine::scalar, N_SCALAR)
#endif
#if HWY_TARGETS & HWY_SSE4
      ATANPI_KERNEL(SeriesEngine::sse4, N_SSE4)
#endif
#if HWY_TARGETS & HWY_AVX2
      ATANPI_KERNEL(SeriesEngine::avx2, N_AVX2)
      // The hand-written AVX2 kernel, kept beside the portable one until
      // both are compared.
      RoundKernel{SeriesEngine::avx2hand, &hand_lanes, &series_round_avx2_hand, &N_AVX2::floor_sweep},
#endif
#if HWY_TARGETS & HWY_AVX3
      ATANPI_KERNEL(SeriesEngine::avx3, N_AVX3)
#endif
#if HWY_TARGETS & HWY_NEON
      ATANPI_KERNEL(SeriesEngine::neon, N_NEON)
#endif
#if HWY_TARGETS & HWY_SVE
      ATANPI_KERNEL(SeriesEngine::sve, N_SVE)
#endif
#if HWY_TARGETS & HWY_SVE2
      ATANPI_KERNEL(SeriesEngine::sve2, N_SVE2)
#endif
  };
  return kernels;
}
#undef ATANPI_KERNEL

bool kernel_runs_here(const RoundKernel& kernel) {
  std::int64_t target = 0;
  switch (kernel.engine) {
    case SeriesEngine::scalar: return true;
#if HWY_ARCH_X86
    case SeriesEngine::sse4: target = HWY_SSE4; break;
    case SeriesEngine::avx2: target = HWY_AVX2; break;
    case SeriesEngine::avx2hand: target = HWY_AVX2; break;
    case SeriesEngine::avx3: target = HWY_AVX3; break;
#endif
#if HWY_ARCH_ARM
    case SeriesEngine::neon: target = HWY_NEON; break;
    case SeriesEngine::sve: target = HWY_SVE; break;
    case SeriesEngine::sve2: target = HWY_SVE2; break;
#endif
    default: return false;
  }
  return (hwy::SupportedTargets() & target) != 0;
}

}  // namespace atanpi
#endif  // HWY_ONCE
