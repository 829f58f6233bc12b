// Tunables of the fast series evaluation, with the reasons for their values.
#pragma once

#include <cstdint>

namespace atanorg::config {

// Series terms evaluated together in one sweep over a segment (a "group"),
// at most: each kernel sets its own count (8 for every instruction set
// today, see series_highway.cpp). Each term is a chain of dependent operations about
// 14 cycles long per word; with 8 terms in flight, each a word behind the
// one before, the floating-point pipes rather than the chains set the pace.
// Counts are even, so that every group of a block starts with the same sign.
inline constexpr int MAX_GROUP_TERMS = 16;

// Word segments per thread: one per lane of the kernel's vector of
// doubles, so the lane count is the instruction set's: 1 (scalar), 2 (SSE4,
// NEON), 4 (AVX2), 8 (AVX-512), and for SVE the vector's length in doubles
// as Highway uses it, rounded down to a power of two: 2 to 32 (128 to 2048
// bits; 4 at 384, where Highway leaves a third of the vector idle). 32 is
// SVE's largest vector; a round's lane mask has a bit for each lane.
inline constexpr int MAX_LANES = 32;

// Most threads the engine will run.
inline constexpr int MAX_THREADS = 64;

// Columns per thread when several threads share a block. A column is a
// vector's lanes of segments; threads take rounds of whichever column is
// ready, their own first, so that a slow, descheduled or absent thread
// holds up only the column it is in, and the others take over its other
// columns. At most MAX_COLUMNS (which sizes the scratch storage): from 33
// threads up, fewer a thread.
inline constexpr std::int32_t COLUMNS_PER_THREAD = 4;
inline constexpr std::int32_t MAX_COLUMNS = 128;
// Fewer columns a thread where they would have fewer rows than this: a
// round's set-up and hand-offs, and the fill and drain of each column,
// then cost more than the slack gains (measured at 100,000 digits on two
// threads: 4 columns of 312 rows lost up to a tenth against one thread's
// pipeline).
inline constexpr std::int32_t MIN_COLUMN_ROWS = 512;

// Pause instructions (about 17 ns each on the Xeon below) that a thread
// waiting for a round spins. With no ready round of its own it spins
// ROUND_SPINS_BEFORE_STEAL before it takes another thread's column, about
// one round's time at 300,000 digits: a column taken moves its words to the
// taker's caches, which costs more than waiting for a neighbour that is
// about to finish. With nothing ready anywhere it sleeps
// (std::atomic::wait) once it has spun ROUND_SPINS_BEFORE_SLEEP in all,
// until another thread finishes a round. While it spins it looks at the
// columns every ROUND_SPINS_BETWEEN_LOOKS pauses. Measured on the 2-core
// Xeon (family 6 model 207), 16 * arctan(1/5) at 300,000 digits on two
// threads: taking columns at once lost 2 to 4% to the moves.
inline constexpr int ROUND_SPINS_BEFORE_STEAL = 1000;
inline constexpr int ROUND_SPINS_BEFORE_SLEEP = 4000;
inline constexpr int ROUND_SPINS_BETWEEN_LOOKS = 64;

// Pauses that a worker of the pool spins waiting for the next job (block),
// and the caller for the workers' end of one, before sleeping: about 85 us,
// more than the serial work between two blocks, and little time taken from
// other work on a crowded machine. Waking a sleeping thread took about
// 0.15 ms on the 2-core virtual machine measured.
inline constexpr int JOB_SPINS_BEFORE_SLEEP = 5000;

// Word-steps a thread sweeps before it adds them to the shared progress
// count (and at the end of its columns): about half a millisecond's work,
// so that the threads do not contend for the count every round.
inline constexpr std::uint64_t PROGRESS_BATCH = std::uint64_t{1} << 22;

// Groups per block. A block keeps its segments fixed; between blocks the
// pipeline drains (lanes idle for segments - 1 rounds) and the segments are
// cut anew past the words that have become inactive. The count balances
// these two losses: about sqrt((segments - 1) * n / (group terms * words
// lost per term)), at least this many groups and at most MAX_BLOCK_PASSES
// passes.
inline constexpr std::int32_t MIN_BLOCK_GROUPS = 16;
inline constexpr std::int32_t MAX_BLOCK_PASSES = 16384;

// The 32-bit sums. A block's contributions to one acc word are summed in a
// 32-bit word and then added to it; the reference adds them pass by pass.
// None of these sums may overflow, and none does while every acc word is
// below ACC_WORD_LIMIT (series.hpp) at the start of each run of at most
// MAX_BLOCK_PASSES passes: the engines check that, and this bounds what such
// a run adds to one word.
//
// A pass's contribution to word i >= 2 is v = floor(u * rd), u = r1 * radix
// + q, with q the new power-term word and r1 the remainder of the division
// by d = 2j+1 (2 <= x <= MAX_SERIES_X, radix = 10^5). u is far below 2^52,
// so v is floor(u / d), or one below where u is a multiple of d, which
// leaves r1 = d: r1 stays within 0 .. d. A power-term word q is at most
// WORD_BOUND = 1.67 * radix: the remainder r2 of the division by b = x^2 is
// at most b + 1 (series.hpp), so q <= (w + (b + 1) * radix) / b + 1 for the
// word w before it, at most (radix * b + radix + 1) / (b - 1) + 1 over all
// words, largest for b = 4. Hence v <= radix + WORD_BOUND / d; and v >= -2,
// since a word is -2 at least. Word 1 adds at most |coef| / (3 x^3) + 1 a
// pass (series.hpp bounds coef). The passes alternate in sign, so a run of
// passes adds, in magnitude, at most the sum over its pairs of the pair's
// largest v less the smallest, plus one unpaired pass, plus the first term
// (a word, below radix): largest for the run that starts at j = 1.
constexpr double WORD_BOUND = 166668.0;
constexpr double block_sum_bound(std::int32_t passes) {
  const double radix = 100000.0;
  double bound = radix;                                            // the first term c/x
  for (std::int32_t j = 1; j + 1 <= passes; j += 2) bound += radix + WORD_BOUND / (2 * j + 1) + 2;
  return bound + radix + WORD_BOUND / 3 + 2;                       // an unpaired pass
}
// About 8.2 * 10^8 for MAX_BLOCK_PASSES (checked against ACC_WORD_LIMIT in
// series_reference.cpp).

// With the thread count left to the engine, each thread gets at least this
// many rows of a vector's words (a quarter of them in each of its columns);
// smaller evaluations use fewer threads, as hand-offs would cost more than
// the work they share.
inline constexpr std::int32_t MIN_ROWS_PER_THREAD = 512;

}  // namespace atanorg::config
