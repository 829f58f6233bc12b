// The interface of the round kernels of the fast series evaluation.
//
// Words are held transposed: row r, lane k holds word (segment k, offset r),
// 4 words to a row, so one vector load gives the same offset of four
// segments. In one round each lane sweeps its segment with one group of
// GROUP_TERMS consecutive series terms; the lanes work on different groups
// (lane k on the group lane k-1 had in the round before), each with its own
// divisors 2j+1 and its own remainders.
#pragma once

#include <cstdint>

#include "engine/series_config.hpp"

namespace atanpi {

inline constexpr int GROUP_TERMS = config::GROUP_TERMS;
inline constexpr int LANES = config::LANES;

struct RoundArgs {
  std::int32_t* words = nullptr;   // rows x LANES power-term words, updated
  std::int32_t* deltas = nullptr;  // rows x LANES sums added to the accumulator
  std::int32_t rows = 0;
  // Per term and lane: remainders of the divisions by b and by d at the
  // segment's start, replaced by those at its end.
  double (*r2)[LANES] = nullptr;
  double (*r1)[LANES] = nullptr;
  // Per term and lane: d = 2j+1 and its rounded reciprocal.
  const double (*d)[LANES] = nullptr;
  const double (*rd)[LANES] = nullptr;
  double b = 0.0;   // x^2
  double rb = 0.0;  // 1 / x^2, rounded
  // Sign of the group's first term; the others alternate.
  double sign = 1.0;
  // Bit k set: lane k holds a group this round. Idle lanes change nothing.
  unsigned lane_mask = 0xF;
};

using RoundKernel = void (*)(const RoundArgs&);

// Plain C++: the terms one after another, the four lanes side by side.
void series_round_portable(const RoundArgs& args);

// AVX2 and FMA: the terms of a group in one sweep, each a row behind the
// one before. Only to be called where the processor has AVX2 and FMA.
void series_round_avx2(const RoundArgs& args);

}  // namespace atanpi
