// The column schedule: which thread runs which round of a block's work.
//
// A block's words are cut into columns; each column runs its rounds in
// order, and its first rounds each take what the column to its left hands
// over. Rounds go to whichever thread is free: a thread runs the ready
// rounds of its own columns first, then those of columns whose thread is
// slow, descheduled or absent, and sleeps when nothing is ready. What a
// round computes is the caller's (series_fast.cpp); the schedule only keeps
// the order its dependencies fix, so every plan and every order of claims
// gives the same words.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "engine/series.hpp"
#include "engine/series_config.hpp"
#include "engine/worker_pool.hpp"

namespace atanorg {

// How a block's work is shared: the threads (thread 0 is the caller) and the
// columns they share, a run of them each.
struct SchedulePlan {
  int threads = 1;
  std::int32_t columns = 1;
};

// The plan for `words` active words cut into columns of `lanes` segments.
// Threads: settings.threads if given, else one per MIN_ROWS_PER_THREAD rows
// of `lanes` words; never more than `processors` (the threads the call may
// run) or MAX_THREADS, at least 1. One thread sweeps one column; several
// get settings.columns_per_thread columns each if given, else as many, 1 to
// COLUMNS_PER_THREAD, as have MIN_COLUMN_ROWS rows, MAX_COLUMNS in all.
SchedulePlan plan_schedule(std::int32_t words, std::int32_t lanes, int processors, const SeriesSettings& settings);

// The rounds of a block: each column runs `rounds` rounds in order; its
// first `handoffs` rounds each take what the column to its left hands over
// `lag` rounds later (round r of column c runs once column c - 1 has done
// r + lag rounds). Column 0 takes nothing.
struct BlockRounds {
  std::int32_t rounds = 0;
  std::int32_t handoffs = 0;
  std::int32_t lag = 1;
};

// One round: round `round` of column `column`, run by thread `thread` of
// the plan. Returns the word-steps it swept, for the progress count.
using RoundFunction = std::function<std::uint64_t(int thread, std::int32_t column, std::int32_t round)>;

// Runs blocks of rounds on the threads of a worker pool. One block at a
// time.
class ColumnSchedule {
 public:
  explicit ColumnSchedule(WorkerPool& pool) : pool_(pool) {}
  ColumnSchedule(const ColumnSchedule&) = delete;
  ColumnSchedule& operator=(const ColumnSchedule&) = delete;

  // plan_schedule, with the pool's threads started: where the system starts
  // fewer than the plan has, the plan for those started.
  SchedulePlan plan(std::int32_t words, std::int32_t lanes, int processors, const SeriesSettings& settings);

  // Runs every round of every column once, in the order above, on the
  // plan's threads (from plan(): the pool has them), and returns when all
  // have run. settings.before_round, if set, is called by a thread before
  // each round it runs; the rounds' word-steps are added to
  // settings.progress, if set, in batches. With as many threads as the
  // affinity mask has processors, each thread but the caller is bound to
  // one of them.
  void run(const SchedulePlan& plan, const BlockRounds& rounds, const RoundFunction& round,
           const SeriesSettings& settings);

 private:
  struct Block;
  bool round_ready(const Block& blk, std::int32_t c) const;
  bool claim(const Block& blk, std::int32_t c);
  std::int32_t claim_round(const Block& blk, int t, bool steal);
  void run_thread(const Block& blk, int t);

  // A column's place in the block.
  struct alignas(64) Column {
    std::atomic<std::int32_t> done{0};  // rounds finished in this block
    std::atomic<bool> claimed{false};   // a thread is running one of its rounds
  };
  // What the threads of a block share besides the columns: columns
  // finished, how many threads sleep, and a count that a finished round
  // bumps while any do, for them to sleep on.
  struct alignas(64) BlockSync {
    std::atomic<std::int32_t> finished{0};
    alignas(64) std::atomic<std::int32_t> sleepers{0};
    alignas(64) std::atomic<std::uint32_t> news{0};
  };

  WorkerPool& pool_;
  Column columns_[config::MAX_COLUMNS];
  BlockSync sync_;
};

}  // namespace atanorg
