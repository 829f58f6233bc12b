// The interface of the round kernels of the fast series evaluation.
//
// Words are held transposed: row r, lane k holds word (segment k, offset r),
// `lanes` words to a row, so one vector load gives the same offset of all
// the segments of a thread. In one round each lane sweeps its segment with
// one group of consecutive series terms (the kernel's group_terms); the lanes work on
// different groups (lane k on the group lane k-1 had in the round before),
// each with its own divisors 2j+1 and its own remainders.
//
// One kernel source (series_highway.cpp) is compiled for every instruction
// set the compiler can target; the lane count is the target's vector width
// in doubles (MAX_LANES at most).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/series.hpp"
#include "engine/series_config.hpp"

namespace atanorg {

inline constexpr int MAX_GROUP_TERMS = config::MAX_GROUP_TERMS;
inline constexpr int MAX_LANES = config::MAX_LANES;
static_assert(MAX_LANES <= 32, "RoundArgs::lane_mask holds a bit for each lane");

struct RoundArgs {
  // rows x lanes power-term words, updated, and sums to be added to the
  // accumulator, as doubles: integers, exact (the words are below 10^5, the
  // sums below 2^31), and so no conversions in the round.
  double* words = nullptr;
  double* deltas = nullptr;
  std::int32_t rows = 0;
  // Per term g and lane k, at [g * term_stride + k]: remainders of the
  // divisions by b and by d at the segment's start, replaced by those at
  // its end.
  double* r2 = nullptr;
  double* r1 = nullptr;
  // Per term and lane, laid out alike: d = 2j+1 and its rounded reciprocal.
  const double* d = nullptr;
  const double* rd = nullptr;
  std::size_t term_stride = 0;
  double radix = 0.0;  // the word base, 10^5
  double b = 0.0;      // x^2
  double rb = 0.0;     // 1 / x^2, rounded
  // Sign of the group's first term; the others alternate.
  double sign = 1.0;
  // Bit k set: lane k holds a group this round. Idle lanes keep their words
  // and add nothing to the sums; their remainders are working space that
  // the round may overwrite (the fast evaluation gives them slots of their
  // own).
  std::uint32_t lane_mask = 0;
};

// One compiled target of the kernel source. The functions may only be
// called where `engine_available(engine)` holds: they are built for the
// target's instruction set.
struct RoundKernel {
  SeriesEngine engine;
  std::int64_t target;     // Highway's bit for the instruction set; 0: any processor
  std::size_t (*lanes)();  // segments per thread, 1 .. MAX_LANES
  int group_terms;         // series terms a round applies: even, 2 .. MAX_GROUP_TERMS
  void (*round)(const RoundArgs& args);
  // The floor benchmark: `steps` word-steps of each of `terms` (one of
  // FLOOR_TERM_COUNTS) independent series terms on every lane, held in
  // registers, with no memory traffic, on words of the given radix. Returns
  // a checksum so that the work cannot be dropped.
  double (*floor_sweep)(std::int64_t steps, int terms, double radix);
};

// Independent terms the floor sweep can run. The fewer stay in the 16
// registers of SSE4 and AVX2; the more hide the latency of a term's chain
// better where there are 32. The floor is the best of them.
inline constexpr int FLOOR_TERM_COUNTS[] = {4, 6, 8, 12, 16};

// The kernels compiled into this program, lowest instruction set first
// (the scalar one always among them).
const std::vector<RoundKernel>& round_kernels();

// Whether the processor has the instructions of the kernel's target.
bool kernel_runs_here(const RoundKernel& kernel);

// The kernel of an engine, or nullptr for the reference or an engine that
// was not compiled.
const RoundKernel* round_kernel(SeriesEngine engine);

// The fast evaluation (series_fast.cpp) with the given kernel, which must
// run on this processor, of arguments that check_series_arguments accepts:
// the words of atan_accumulate_reference.
SeriesStatus atan_accumulate_fast(const RoundKernel& kernel, const SeriesSettings& settings, std::int32_t* acc,
                                  std::int32_t* term, std::int32_t n, std::int32_t coef, double x);

}  // namespace atanorg
