// Round kernel of the fast series evaluation, one source for every
// processor: Google Highway compiles this file once per instruction set
// (scalar, SSE4, AVX2, AVX-512 on x86-64; NEON, SVE, SVE2 on aarch64) and
// the engine picks the best one the processor has at run time. On riscv64
// it is compiled a second time, in a unit of its own built for the V
// extension (see RVV_KERNEL below).
//
// Each lane of a vector of doubles sweeps its own word segment (the words
// are stored transposed, see series_kernel.hpp), so one vector operation
// advances every segment of a column. Within the sweep the GROUP terms
// of the group run as a wavefront: term g works on row i - g while term 0
// works on row i, and hands the quotient word it produced (the new
// power-term word) and the running sum of its acc contributions to term
// g + 1 in registers. That keeps 2 x GROUP independent remainder chains in
// flight, so the sweep is bound by the floating-point pipes, not
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
// The segments are held as doubles, so that a row needs no conversions.
// With AVX-512, 16 * arctan(1/5) at 100,000 digits on one core, a
// word-step takes about 1/41 of the reference's time, at 0.86 of the speed
// of its bare operations, the floor (build/series_bench; every engine and
// processor measured, and the conditions, in doc/PERFORMANCE.md).

// Highway re-includes this file once per target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/series_highway.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/highway.h>

#include <algorithm>
#include <iterator>

#include "engine/series_kernel.hpp"

#ifndef ATANPI_SERIES_HIGHWAY_ONCE
#define ATANPI_SERIES_HIGHWAY_ONCE
#ifdef ATANPI_RVV_ENGINE
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace atanorg {

// The engine of each Highway target the kernel is compiled for. Highway
// compiles the fallback, EMU128 (or SCALAR), whatever else it compiles.
struct TargetEngine {
  std::int64_t target;
  SeriesEngine engine;
};
constexpr TargetEngine TARGET_ENGINES[] = {
    {HWY_EMU128, SeriesEngine::scalar}, {HWY_SCALAR, SeriesEngine::scalar}, {HWY_SSE4, SeriesEngine::sse4},
    {HWY_AVX2, SeriesEngine::avx2},     {HWY_AVX3, SeriesEngine::avx3},     {HWY_NEON, SeriesEngine::neon},
    {HWY_SVE, SeriesEngine::sve},       {HWY_SVE2, SeriesEngine::sve2},     {HWY_WASM, SeriesEngine::wasm},
    {HWY_RVV, SeriesEngine::rvv},
};
// The index of a target in TARGET_ENGINES, -1 for none.
constexpr int target_index(std::int64_t target) {
  for (int i = 0; i < int(std::size(TARGET_ENGINES)); ++i) {
    if (TARGET_ENGINES[i].target == target) return i;
  }
  return -1;
}

#ifdef ATANPI_RVV_ENGINE
// riscv64: Highway 1.2 compiles its RVV target only where the whole
// compilation targets the V extension (-march=rv64gcv), and never
// dispatches to it, while Debian's baseline is RV64GC. This source is
// therefore compiled a second time, for the V extension and for that one
// target (ATANPI_RVV_UNIT, src/CMakeLists.txt), and that unit's kernel is
// this constant: nothing of the unit runs before kernel_runs_here has
// found the extension.
extern const RoundKernel RVV_KERNEL;
#endif

}  // namespace atanorg
#endif  // ATANPI_SERIES_HIGHWAY_ONCE

#if HWY_TARGET == HWY_WASM
// Highway 1.0.3 leaves out double arithmetic on WebAssembly (HWY_HAVE_FLOAT64
// is 0 there); the kernel's few operations on doubles, from SIMD128's f64x2
// instructions. SIMD128 has no fused multiply-add, so MulAdd and NegMulAdd
// are a product and a sum, each rounded: the kernel uses them only where the
// product and the sum are exact integers, which both forms give alike.
HWY_BEFORE_NAMESPACE();
namespace hwy {
namespace HWY_NAMESPACE {
template <size_t N>
HWY_API Vec128<double, N> Set(Simd<double, N, 0>, double t) {
  return Vec128<double, N>{wasm_f64x2_splat(t)};
}
template <size_t N>
HWY_API Vec128<double, N> operator+(Vec128<double, N> a, Vec128<double, N> b) {
  return Vec128<double, N>{wasm_f64x2_add(a.raw, b.raw)};
}
template <size_t N>
HWY_API Vec128<double, N> operator-(Vec128<double, N> a, Vec128<double, N> b) {
  return Vec128<double, N>{wasm_f64x2_sub(a.raw, b.raw)};
}
template <size_t N>
HWY_API Vec128<double, N> operator*(Vec128<double, N> a, Vec128<double, N> b) {
  return Vec128<double, N>{wasm_f64x2_mul(a.raw, b.raw)};
}
template <size_t N>
HWY_API Vec128<double, N> MulAdd(Vec128<double, N> mul, Vec128<double, N> x, Vec128<double, N> add) {
  return mul * x + add;
}
template <size_t N>
HWY_API Vec128<double, N> NegMulAdd(Vec128<double, N> mul, Vec128<double, N> x, Vec128<double, N> add) {
  return add - mul * x;
}
template <size_t N>
HWY_API Vec128<double, N> Floor(Vec128<double, N> v) {
  return Vec128<double, N>{wasm_f64x2_floor(v.raw)};
}
template <size_t N>
HWY_API Vec128<double, N> SumOfLanes(Simd<double, N, 0>, Vec128<double, N> v) {
  return v + Vec128<double, N>{wasm_i64x2_shuffle(v.raw, v.raw, 1, 0)};
}
}  // namespace HWY_NAMESPACE
}  // namespace hwy
HWY_AFTER_NAMESPACE();
#endif

HWY_BEFORE_NAMESPACE();
namespace atanorg {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes per vector and terms per group, for every instruction set: the full
// vector and 8 terms. With AVX-512, 8 lanes beat 4 (256-bit vectors with 32
// registers) on one core and on two, and groups of 8 terms beat 6, 10, 12
// and 16: from 10 terms up, the group's state no longer fits the 32
// registers (doc/PERFORMANCE.md).
constexpr int GROUP = 8;
static_assert(GROUP % 2 == 0 && GROUP <= MAX_GROUP_TERMS, "groups hold an even count of terms, 16 at most");

using D = hn::CappedTag<double, MAX_LANES>;
// Capped only in name: the largest vector of every target fits (SVE's 2048
// bits too), so the kernel takes every lane Highway gives it. (On SVE
// Highway uses the largest power of two of lanes: 4 of 6 at 384 bits.) RVV
// vectors may have up to 65,536 bits: the kernel takes one vector (LMUL 1),
// all of it up to 2048 bits and MAX_LANES doubles of a longer one.
static_assert(HWY_TARGET == HWY_RVV || HWY_LANES(double) <= MAX_LANES,
              "a vector of this target holds more doubles than MAX_LANES");
using V = hn::Vec<D>;

std::size_t round_lanes() { return hn::Lanes(D()); }

// The engine this compilation of the kernel is, and the Highway target bit
// that says whether a processor runs it (0 for the fallback, which runs
// anywhere).
static_assert(target_index(HWY_TARGET) >= 0,
              "Highway compiles the kernel for a target without an engine: name one in TARGET_ENGINES "
              "(and SeriesEngine), or add the target to HWY_DISABLED_TARGETS in src/CMakeLists.txt");
constexpr SeriesEngine ENGINE = TARGET_ENGINES[target_index(HWY_TARGET)].engine;
constexpr std::int64_t TARGET_BIT = (HWY_TARGET == HWY_EMU128 || HWY_TARGET == HWY_SCALAR) ? 0 : HWY_TARGET;

// One word-step of one term on every lane: word_step of series_detail.hpp
// with the same arguments, b, rb, d and rd being a pass's divisors. Divides
// (r2, w) by b into q and (r1, q) by d into the returned v, updating both
// remainders; the fused multiply-adds form the exact integers that the
// scalar step's separate multiply and add form.
HWY_INLINE V word_step(V w, V& r2, V& r1, V b, V rb, V d, V rd, V radix, V& q) {
  const V t = hn::MulAdd(r2, radix, w);
  q = hn::Floor(hn::Mul(t, rb));
  r2 = hn::NegMulAdd(q, b, t);
  const V u = hn::MulAdd(r1, radix, q);
  const V v = hn::Floor(hn::Mul(u, rd));
  r1 = hn::NegMulAdd(v, d, u);
  return v;
}

// Puts a finished row in memory: the new power-term words q, and the
// contributions c added to the row's sums (subtracted with NEGATIVE, for a
// group whose first term's sign is -1, which saves multiplying by the sign
// every row). With MASKED, lanes outside `active` keep their word and add
// nothing.
template <bool MASKED, bool NEGATIVE>
HWY_INLINE void put_row(double* word_row, double* delta_row, V q, V c, hn::Mask<D> active) {
  const D d;
  if constexpr (MASKED) {
    q = hn::IfThenElse(active, q, hn::LoadU(d, word_row));
    c = hn::IfThenElseZero(active, c);
  }
  hn::StoreU(q, d, word_row);
  const V sums = hn::LoadU(d, delta_row);
  hn::StoreU(NEGATIVE ? hn::Sub(sums, c) : hn::Add(sums, c), d, delta_row);
}

// The vector mask of RoundArgs::lane_mask. LoadMaskBits reads lane i's bit
// as bit i % 8 of byte i / 8 (and at least 8 bytes), so the bytes are taken
// from the low end of the mask, whatever the processor's byte order.
HWY_INLINE hn::Mask<D> lane_mask_of(std::uint32_t lane_mask) {
  std::uint8_t bits[8] = {};
  for (std::size_t i = 0; i < sizeof lane_mask; ++i) bits[i] = static_cast<std::uint8_t>(lane_mask >> (8 * i));
  return hn::LoadMaskBits(D(), bits);
}

// Rounds with fewer rows than terms: the terms one after another, each over
// all rows, with their state in memory.
void round_by_term(const RoundArgs& a) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  const auto active = lane_mask_of(a.lane_mask);
  const V radix_v = hn::Set(d, a.radix), b = hn::Set(d, a.b), rb = hn::Set(d, a.rb);
  for (int g = 0; g < GROUP; ++g) {
    const V sign = hn::Set(d, (g % 2 == 0) ? a.sign : -a.sign);
    const std::size_t state = g * a.term_stride;
    V r2 = hn::LoadU(d, a.r2 + state);
    V r1 = hn::LoadU(d, a.r1 + state);
    const V dv = hn::LoadU(d, a.d + state);
    const V rdv = hn::LoadU(d, a.rd + state);
    for (std::int32_t row = 0; row < a.rows; ++row) {
      double* words = a.words + row * lanes;
      V q;
      const V v = word_step(hn::LoadU(d, words), r2, r1, b, rb, dv, rdv, radix_v, q);
      put_row<true, false>(words, a.deltas + row * lanes, q, hn::Mul(v, sign), active);
    }
    hn::StoreU(r2, d, a.r2 + state);
    hn::StoreU(r1, d, a.r1 + state);
  }
}

// Expands M(g) for g = 0 .. 15, or M(g, g-1, OP) for g = 1 .. 15 with OP the
// sign of term g's contribution (Sub for odd g, Add for even), highest
// first. Terms at or past GROUP are compiled out where they are used.
#define ATANPI_EACH_TERM(M) \
  M(0) M(1) M(2) M(3) M(4) M(5) M(6) M(7) M(8) M(9) M(10) M(11) M(12) M(13) M(14) M(15)
#define ATANPI_EACH_LATER_TERM_DOWN(M, ...)                                                      \
  M(15, 14, Sub, __VA_ARGS__) M(14, 13, Add, __VA_ARGS__) M(13, 12, Sub, __VA_ARGS__)            \
  M(12, 11, Add, __VA_ARGS__) M(11, 10, Sub, __VA_ARGS__) M(10, 9, Add, __VA_ARGS__)             \
  M(9, 8, Sub, __VA_ARGS__) M(8, 7, Add, __VA_ARGS__) M(7, 6, Sub, __VA_ARGS__)                  \
  M(6, 5, Add, __VA_ARGS__) M(5, 4, Sub, __VA_ARGS__) M(4, 3, Add, __VA_ARGS__)                  \
  M(3, 2, Sub, __VA_ARGS__) M(2, 1, Add, __VA_ARGS__) M(1, 0, Sub, __VA_ARGS__)

// The wavefront: term g's remainders r2_g, r1_g and divisors d_g, rd_g;
// what term g hands to term g+1: its quotient word q_g and the sum p_g of
// the contributions of terms 0 .. g for the row.
// NEGATIVE: the group's first term has the sign -1 (a.sign).
template <bool MASKED, bool NEGATIVE>
HWY_NOINLINE void round_wavefront(const RoundArgs& a) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  const auto active = lane_mask_of(a.lane_mask);
  const V radix_v = hn::Set(d, a.radix), b = hn::Set(d, a.b), rb = hn::Set(d, a.rb);
  const V zero = hn::Zero(d);
  // In a local: the stores through the word pointers could otherwise alias
  // it and have it reloaded every row.
  const std::int32_t rows = a.rows;
  double* const words = a.words;
  double* const deltas = a.deltas;

  // Terms past GROUP keep zeros; the compiler drops them.
#define ATANPI_TERM_STATE(g)                                                   \
  V r2_##g = zero, r1_##g = zero, d_##g = zero, rd_##g = zero, q_##g = zero, p_##g = zero; \
  if constexpr ((g) < GROUP) {                                                 \
    r2_##g = hn::LoadU(d, a.r2 + (g) * a.term_stride);                         \
    r1_##g = hn::LoadU(d, a.r1 + (g) * a.term_stride);                         \
    d_##g = hn::LoadU(d, a.d + (g) * a.term_stride);                           \
    rd_##g = hn::LoadU(d, a.rd + (g) * a.term_stride);                         \
  }
  ATANPI_EACH_TERM(ATANPI_TERM_STATE)
#undef ATANPI_TERM_STATE

  // Term g at step i works on row i - g. Term 0 takes the word from memory;
  // term g > 0 takes term g-1's word and sum (handed over a step earlier),
  // and the last term puts word and sum in memory.
#define ATANPI_TERM_LATER(g, prev, OP, i, LO, HI)                                            \
  if constexpr ((g) < GROUP) {                                                               \
    if ((g) >= (LO) && (g) <= (HI)) {                                                        \
      V q;                                                                                   \
      const V v = word_step(q_##prev, r2_##g, r1_##g, b, rb, d_##g, rd_##g, radix_v, q);     \
      if constexpr ((g) < GROUP - 1) {                                                       \
        q_##g = q;                                                                           \
        p_##g = hn::OP(p_##prev, v);                                                         \
      } else {                                                                               \
        const std::size_t row = std::size_t((i) - (g)) * lanes;                              \
        put_row<MASKED, NEGATIVE>(words + row, deltas + row, q, hn::OP(p_##prev, v), active);      \
      }                                                                                      \
    }                                                                                        \
  }
  // Step i: terms HI down to LO (descending, so that each term takes its
  // hand-off before the term below replaces it).
#define ATANPI_STEP(i, LO, HI)                                                     \
  {                                                                                \
    ATANPI_EACH_LATER_TERM_DOWN(ATANPI_TERM_LATER, i, LO, HI)                      \
    if ((LO) == 0) {                                                               \
      const V w = hn::LoadU(d, words + std::size_t(i) * lanes);                    \
      p_0 = word_step(w, r2_0, r1_0, b, rb, d_0, rd_0, radix_v, q_0);              \
    }                                                                              \
  }
  // Fill: at step i < GROUP - 1 only terms 0 .. i have reached the segment.
#define ATANPI_FILL(i) \
  if constexpr ((i) < GROUP - 1) ATANPI_STEP(i, 0, i)
  ATANPI_EACH_TERM(ATANPI_FILL)
#undef ATANPI_FILL
  for (std::int32_t i = GROUP - 1; i < rows; ++i) ATANPI_STEP(i, 0, GROUP - 1)
  // Drain: at step rows - 1 + e only terms e .. GROUP-1 are still in it.
  const std::int32_t last = rows - 1;
#define ATANPI_DRAIN(e) \
  if constexpr ((e) > 0 && (e) < GROUP) ATANPI_STEP(last + (e), e, GROUP - 1)
  ATANPI_EACH_TERM(ATANPI_DRAIN)
#undef ATANPI_DRAIN
#undef ATANPI_STEP
#undef ATANPI_TERM_LATER

#define ATANPI_STORE_TERM(g)                     \
  if constexpr ((g) < GROUP) {                   \
    hn::StoreU(r2_##g, d, a.r2 + (g) * a.term_stride); \
    hn::StoreU(r1_##g, d, a.r1 + (g) * a.term_stride); \
  }
  ATANPI_EACH_TERM(ATANPI_STORE_TERM)
#undef ATANPI_STORE_TERM
}

void series_round(const RoundArgs& a) {
  // The wavefront needs every term to enter and leave the segment in turn.
  const std::uint32_t all = static_cast<std::uint32_t>((std::uint64_t{1} << round_lanes()) - 1);
  if (a.rows < GROUP) {
    round_by_term(a);
  } else if ((a.lane_mask & all) == all) {
    a.sign < 0 ? round_wavefront<false, true>(a) : round_wavefront<false, false>(a);
  } else {
    a.sign < 0 ? round_wavefront<true, true>(a) : round_wavefront<true, false>(a);
  }
}

// The floor: TERMS independent terms, each running the word-step of the
// series on its own remainders, with constant inputs and no memory.
template <int TERMS>
HWY_NOINLINE double floor_sweep_of(std::int64_t steps, double radix) {
  const D d;
  const V radix_v = hn::Set(d, radix);
  // x = 5 and a divisor 2j+1 from the middle of its series.
  const V b = hn::Set(d, 25.0), rb = hn::Set(d, 1.0 / 25.0);
  const V dv = hn::Set(d, 100001.0), rdv = hn::Set(d, 1.0 / 100001.0);
  const V w = hn::Set(d, 31415.0);
  const V zero = hn::Zero(d);
#define ATANPI_FLOOR_STATE(g) V r2_##g = hn::Set(d, double(g)), r1_##g = r2_##g, p_##g = zero, q_##g;
  ATANPI_EACH_TERM(ATANPI_FLOOR_STATE)
#undef ATANPI_FLOOR_STATE
#define ATANPI_FLOOR_TERM(g) \
  if constexpr ((g) < TERMS) p_##g = hn::Add(p_##g, word_step(w, r2_##g, r1_##g, b, rb, dv, rdv, radix_v, q_##g));
  for (std::int64_t s = 0; s < steps; ++s) {
    ATANPI_EACH_TERM(ATANPI_FLOOR_TERM)
  }
#undef ATANPI_FLOOR_TERM
  V sum = zero;
#define ATANPI_FLOOR_SUM(g) sum = hn::Add(sum, p_##g);
  ATANPI_EACH_TERM(ATANPI_FLOOR_SUM)
#undef ATANPI_FLOOR_SUM
  return hn::GetLane(hn::SumOfLanes(d, sum));
}

double floor_sweep(std::int64_t steps, int terms, double radix) {
  switch (terms) {
    case 4: return floor_sweep_of<4>(steps, radix);
    case 6: return floor_sweep_of<6>(steps, radix);
    case 8: return floor_sweep_of<8>(steps, radix);
    case 12: return floor_sweep_of<12>(steps, radix);
    default: return floor_sweep_of<16>(steps, radix);
  }
}

#undef ATANPI_EACH_LATER_TERM_DOWN
#undef ATANPI_EACH_TERM

// This target's kernel, for round_kernels().
constexpr RoundKernel KERNEL{ENGINE, TARGET_BIT, &round_lanes, GROUP, &series_round, &floor_sweep};

}  // namespace HWY_NAMESPACE
}  // namespace atanorg
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace atanorg {

#ifdef ATANPI_RVV_UNIT
constinit const RoundKernel RVV_KERNEL = HWY_STATIC_DISPATCH(KERNEL);
#else
const std::vector<RoundKernel>& round_kernels() {
  static const std::vector<RoundKernel> kernels = [] {
#ifdef HWY_CHOOSE_TARGET_LIST
    // Highway's list of this architecture's targets (nullptr for those not
    // compiled) and its fallback, which may be one of them again.
    const RoundKernel* const compiled[] = {HWY_CHOOSE_TARGET_LIST(KERNEL), HWY_CHOOSE_FALLBACK(KERNEL)};
#else
    // An architecture Highway has no list of targets for (s390x before
    // Highway 1.2): it compiles the one static target, the fallback.
    const RoundKernel* const compiled[] = {&HWY_STATIC_DISPATCH(KERNEL)};
#endif
    std::vector<RoundKernel> list;
    for (const RoundKernel* kernel : compiled) {
      if (kernel == nullptr) continue;
      const auto same = [&](const RoundKernel& k) { return k.engine == kernel->engine; };
      if (std::none_of(list.begin(), list.end(), same)) list.push_back(*kernel);
    }
#ifdef ATANPI_RVV_ENGINE
    list.push_back(RVV_KERNEL);
#endif
    // SeriesEngine lists the instruction sets from the lowest up.
    std::sort(list.begin(), list.end(),
              [](const RoundKernel& a, const RoundKernel& b) { return a.engine < b.engine; });
    return list;
  }();
  return kernels;
}

bool kernel_runs_here(const RoundKernel& kernel) {
#if HWY_ARCH_WASM
  // No run-time dispatch on WebAssembly: a host without the module's
  // instructions (SIMD128) refuses the whole module, so every kernel it has
  // runs.
  (void)kernel;
  return true;
#else
#ifdef ATANPI_RVV_ENGINE
  // Highway has no run-time check of RVV: Linux reports the V extension
  // in the auxiliary vector's hardware capabilities.
  if (kernel.target == HWY_RVV) return (getauxval(AT_HWCAP) & COMPAT_HWCAP_ISA_V) != 0;
#endif
  return kernel.target == 0 || (hwy::SupportedTargets() & kernel.target) != 0;
#endif
}
#endif  // ATANPI_RVV_UNIT

}  // namespace atanorg
#endif  // HWY_ONCE
