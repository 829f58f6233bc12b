// The column schedule without the series: its plan for a table of sizes,
// and blocks of rounds that only record where and when they ran, under
// threads held up as a busy machine holds them. The words cannot show what
// these tests see: a plan with too many threads, a round run early or
// twice, a caller left bound to one processor, a pool short of threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "engine/column_schedule.hpp"
#include "engine/series_config.hpp"
#include "engine/worker_pool.hpp"
#include "delay_pattern.hpp"

namespace atanorg {
namespace {
using test_support::DelayPattern;

TEST(SchedulePlan, ThreadsAndColumnsForTheWords) {
  struct Case {
    const char* what;
    std::int32_t words, lanes;
    int processors, threads_asked, columns_asked;
    SchedulePlan plan;
  };
  const Case cases[] = {
      // A thread needs 512 rows of `lanes` words, a column 512 rows.
      {"10,000 digits, 8 lanes: too few rows for two", 2003, 8, 2, 0, 0, {1, 1}},
      {"10,000 digits, 1 lane", 2003, 1, 2, 0, 0, {2, 2}},
      {"100,000 digits, 8 lanes", 20003, 8, 2, 0, 0, {2, 4}},
      {"a column's rows, one short", 16383, 8, 2, 0, 0, {2, 2}},
      {"a column's rows", 16384, 8, 2, 0, 0, {2, 4}},
      {"four threads' rows, one short", 8191, 4, 16, 0, 0, {3, 3}},
      {"four threads' rows", 8192, 4, 16, 0, 0, {4, 4}},
      {"1,000,000 digits on two processors", 200003, 8, 2, 0, 0, {2, 8}},
      {"1,000,000 digits on 64 processors", 200003, 8, 64, 0, 0, {48, 48}},
      {"more processors than threads", 500000, 8, 100, 0, 0, {64, 64}},
      {"the cap: at most MAX_COLUMNS", 1000010, 4, 64, 0, 0, {64, 128}},
      {"no words", 0, 8, 4, 0, 0, {1, 1}},
      // Threads and columns asked for (tests, benchmarks) override the rows.
      {"threads asked", 100, 8, 3, 3, 0, {3, 3}},
      {"threads and columns asked", 3001, 8, 2, 2, 4, {2, 8}},
      {"one thread asked, columns asked", 3001, 8, 1, 1, 4, {1, 1}},
      {"more threads asked than the pool started", 3001, 8, 2, 3, 4, {2, 8}},
      {"more than MAX_THREADS asked", 1000, 1, 100, 100, 0, {64, 64}},
  };
  static_assert(config::MIN_ROWS_PER_THREAD == 512 && config::MIN_COLUMN_ROWS == 512 &&
                    config::COLUMNS_PER_THREAD == 4 && config::MAX_COLUMNS == 128 && config::MAX_THREADS == 64,
                "the table's plans");
  for (const Case& c : cases) {
    SeriesSettings settings;
    settings.threads = c.threads_asked;
    settings.columns_per_thread = c.columns_asked;
    const SchedulePlan plan = plan_schedule(c.words, c.lanes, c.processors, settings);
    EXPECT_EQ(plan.threads, c.plan.threads) << c.what;
    EXPECT_EQ(plan.columns, c.plan.columns) << c.what;
  }
}

const DelayPattern DELAY_PATTERNS[] = {
    {"none", 0, 0, std::chrono::microseconds(0)},
    {"the first thread descheduled now and then", 0, 37, std::chrono::microseconds(3000)},
    {"the second thread descheduled now and then", 1, 29, std::chrono::microseconds(3000)},
    {"the second thread slow throughout", 1, 1, std::chrono::microseconds(20)},
    {"the last thread absent at first", -2, 0, std::chrono::microseconds(5000)},
    {"every thread jittery", -1, 11, std::chrono::microseconds(200)},
};

// What a block of recording rounds saw. Each round checks, when it starts,
// that its column has finished exactly the rounds before it and that the
// column to its left has finished the round whose hand-off it takes; the
// schedule's ordering makes those counts visible to it.
class RecordingRounds {
 public:
  RecordingRounds(const SchedulePlan& plan, const BlockRounds& rounds, const DelayPattern& delay)
      : plan_(plan), rounds_(rounds), delay_(delay), ran_by_(plan.columns * rounds.rounds), finished_(plan.columns) {
    for (auto& r : ran_by_) r = -1;
  }

  // The word-steps each round reports: a few rounds fill a progress batch.
  static constexpr std::uint64_t STEPS = config::PROGRESS_BATCH / 3 + 1;

  std::uint64_t operator()(int thread, std::int32_t c, std::int32_t r) {
    hold_up(thread);
    if (thread < 0 || thread >= plan_.threads) ++wrong_thread_;
    if (finished_[c].load() != r) ++out_of_order_;
    if (c > 0 && r < rounds_.handoffs && finished_[c - 1].load() < r + rounds_.lag) ++before_handoff_;
    int nobody = -1;
    if (!ran_by_[c * rounds_.rounds + r].compare_exchange_strong(nobody, thread)) ++twice_;
    finished_[c].store(r + 1);
    return STEPS;
  }

  // Checks what the rounds saw once the block has run.
  void expect_each_round_once_in_order(const SeriesProgress& progress) const {
    EXPECT_EQ(wrong_thread_.load(), 0) << "rounds run by threads outside the plan";
    EXPECT_EQ(out_of_order_.load(), 0) << "rounds run out of their column's order";
    EXPECT_EQ(before_handoff_.load(), 0) << "rounds run before the column to their left handed over";
    EXPECT_EQ(twice_.load(), 0) << "rounds run twice";
    int never = 0;
    for (const auto& r : ran_by_) never += r.load() < 0;
    EXPECT_EQ(never, 0) << "rounds never run";
    EXPECT_EQ(progress.done.load(), STEPS * ran_by_.size()) << "word-steps lost from the progress count";
  }

 private:
  void hold_up(int thread) {
    if (thread < 0 || thread >= config::MAX_THREADS) return;
    delay_.hold_up(thread, plan_.threads, seen_[thread]++);  // each thread counts its own
  }


  SchedulePlan plan_;
  BlockRounds rounds_;
  const DelayPattern& delay_;
  std::vector<std::atomic<int>> ran_by_;  // by column and round: the thread, -1 before it ran
  std::vector<std::atomic<std::int32_t>> finished_;
  std::atomic<int> seen_[config::MAX_THREADS] = {};
  std::atomic<int> wrong_thread_{0}, out_of_order_{0}, before_handoff_{0}, twice_{0};
};

// Runs one block of recording rounds with the given plan (whose threads the
// pool has started) and checks it.
void run_recorded(ColumnSchedule& schedule, const SchedulePlan& plan, const BlockRounds& rounds,
                  const DelayPattern& delay = DELAY_PATTERNS[0]) {
  RecordingRounds recorder(plan, rounds, delay);
  SeriesProgress progress;
  SeriesSettings settings;
  settings.progress = &progress;
  schedule.run(plan, rounds, [&recorder](int t, std::int32_t c, std::int32_t r) { return recorder(t, c, r); },
               settings);
  recorder.expect_each_round_once_in_order(progress);
}

// Every round of every column once, never before its hand-off, whichever
// thread is held up: with a lag of 4 (a vector of 4 lanes) and of 1 (one
// lane, where a column's rounds follow the left one's at once).
TEST(ColumnSchedule, EveryRoundRunsOnceAfterItsHandoff) {
  WorkerPool pool;
  ColumnSchedule schedule(pool);
  for (const BlockRounds rounds : {BlockRounds{27, 24, 4}, BlockRounds{24, 24, 1}}) {
    for (const DelayPattern& delay : DELAY_PATTERNS) {
      for (int threads : {2, 3}) {
        SCOPED_TRACE(testing::Message() << delay.name << ", " << threads << " threads, lag " << rounds.lag);
        SeriesSettings settings;
        settings.threads = threads;
        settings.columns_per_thread = config::COLUMNS_PER_THREAD;
        const SchedulePlan plan = schedule.plan(100000, 4, threads, settings);
        ASSERT_EQ(plan.threads, threads);
        ASSERT_EQ(plan.columns, threads * config::COLUMNS_PER_THREAD);
        run_recorded(schedule, plan, rounds, delay);
      }
    }
  }
  // One thread: the caller alone.
  run_recorded(schedule, SchedulePlan{1, 1}, BlockRounds{27, 24, 4});
}

#if defined(__linux__)
// The caller's affinity mask as the process started, before any test ran
// threads (a caller bound by an earlier test shows too).
const cpu_set_t STARTING_MASK = [] {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  sched_getaffinity(0, sizeof mask, &mask);
  return mask;
}();
#endif

// With as many threads as the affinity mask has processors the workers are
// bound, one to each; the caller must keep its mask, or every later count
// of the processors it may use finds one.
TEST(ColumnSchedule, TheCallerKeepsItsAffinityMask) {
#if defined(__linux__)
  const int processors = CPU_COUNT(&STARTING_MASK);
  if (processors < 2 || processors > config::MAX_THREADS) {
    GTEST_SKIP() << processors << " processors in the affinity mask: no threads to bind";
  }
  WorkerPool pool;
  ColumnSchedule schedule(pool);
  SeriesSettings settings;
  settings.threads = processors;
  const SchedulePlan plan = schedule.plan(100000, 1, processors, settings);
  ASSERT_EQ(plan.threads, processors);
  run_recorded(schedule, plan, BlockRounds{9, 8, 2});
  cpu_set_t mask;
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  EXPECT_TRUE(CPU_EQUAL(&mask, &STARTING_MASK))
      << "the caller's mask now holds " << CPU_COUNT(&mask) << " of " << processors << " processors";
#else
  GTEST_SKIP() << "reads the affinity mask with Linux's sched_getaffinity";
#endif
}

// A system that starts fewer threads than the plan wants (a process limit)
// gives a plan for those started, which then runs every round.
TEST(ColumnSchedule, APoolShortOfThreadsRunsOnThoseStarted) {
  WorkerPool pool(1);  // the caller and one worker
  ColumnSchedule schedule(pool);
  SeriesSettings settings;
  settings.threads = 3;
  const SchedulePlan plan = schedule.plan(100000, 1, 3, settings);
  ASSERT_EQ(plan.threads, 2);
  EXPECT_EQ(plan.columns, plan_schedule(100000, 1, 2, settings).columns);
  run_recorded(schedule, plan, BlockRounds{27, 24, 4});
}

}  // namespace
}  // namespace atanorg
