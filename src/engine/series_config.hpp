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
// NEON), 4 (AVX2), 8 (AVX-512, and SVE at 512 bits), up to this cap for
// wider scalable vectors.
inline constexpr int MAX_LANES = 16;

// Most threads the engine will run; also sizes the scratch storage.
inline constexpr int MAX_THREADS = 64;

// Columns per thread when several threads share a block. A column is a
// vector's lanes of segments; threads take rounds of whichever column is
// ready, their own first, so that a slow, descheduled or absent thread
// holds up only the column it is in, and the others take over its other
// columns.
inline constexpr std::int32_t COLUMNS_PER_THREAD = 4;
inline constexpr std::int32_t MAX_COLUMNS = 128;

// Remainder hand-offs a column may run ahead of the column to its right:
// the slack that lets the threads upstream go on while a thread downstream
// is held up. A thread's round over its columns takes about 60 us at
// 300,000 digits on two threads, so 256 of them outlast a scheduler's time
// slice of a few milliseconds.
inline constexpr int RING_SLOTS = 256;

// Times a thread with no ready round checks for news before it sleeps
// (std::atomic::wait) until another thread finishes a round: about 20 us
// of pause instructions, less than most rounds take.
inline constexpr int SPINS_BEFORE_SLEEP = 500;

// Groups per block. A block keeps its segments fixed; between blocks the
// pipeline drains (lanes idle for segments - 1 rounds) and the segments are
// cut anew past the words that have become inactive. The count balances
// these two losses: about sqrt((segments - 1) * n / (group terms * words
// lost per term)), at least this many groups and at most MAX_BLOCK_PASSES
// passes.
inline constexpr std::int32_t MIN_BLOCK_GROUPS = 16;
inline constexpr std::int32_t MAX_BLOCK_PASSES = 16384;

// A block's contributions to one acc word are summed in a 32-bit word. A
// quotient word of the division by 2j+1 is below 2.4 * 10^5 (its remainder
// stays below twice the divisor) and the passes alternate in sign, so a
// block adds less than MAX_BLOCK_PASSES / 2 * 2.4 * 10^5 in magnitude: the
// bound below keeps every such sum in range whatever the digits.
static_assert(std::int64_t{MAX_BLOCK_PASSES} / 2 * 240000 + 240000 < (std::int64_t{1} << 31));

// With the thread count left to the engine, each thread gets at least this
// many rows per segment; smaller evaluations use fewer
// threads, as hand-offs would cost more than the work they share.
inline constexpr std::int32_t MIN_ROWS_PER_THREAD = 512;

}  // namespace atanorg::config
