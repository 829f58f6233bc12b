// The column schedule of the fast series evaluation.
//
// Each thread has a home range of columns, whose words stay in its caches.
// A round of a column is claimed by one thread at a time; the schedule's
// atomics are sequentially consistent, which keeps a sleeper from missing a
// round: a finishing thread stores the column's progress and releases it,
// then reads `sleepers`; a thread about to sleep increments `sleepers`, then
// looks at every column. One of the two sees the other. Threads that spin
// look at the columns themselves, so a round finished with nobody asleep
// touches no shared line but its column's.
#include "engine/column_schedule.hpp"

#include <algorithm>

#include "platform/platform.hpp"

namespace atanorg {

SchedulePlan plan_schedule(std::int32_t words, std::int32_t lanes, int processors, const SeriesSettings& settings) {
  words = std::max(words, 0);
  SchedulePlan plan;
  const int wanted = settings.threads > 0 ? settings.threads : words / (config::MIN_ROWS_PER_THREAD * lanes);
  plan.threads = std::clamp(std::min(wanted, processors), 1, config::MAX_THREADS);
  if (plan.threads == 1) return plan;
  const std::int32_t per_thread =
      settings.columns_per_thread > 0
          ? settings.columns_per_thread
          : std::clamp(words / (plan.threads * lanes * config::MIN_COLUMN_ROWS), 1, config::COLUMNS_PER_THREAD);
  plan.columns = std::min(plan.threads * per_thread, config::MAX_COLUMNS);
  return plan;
}

SchedulePlan ColumnSchedule::plan(std::int32_t words, std::int32_t lanes, int processors,
                                  const SeriesSettings& settings) {
  SchedulePlan plan = plan_schedule(words, lanes, processors, settings);
  if (plan.threads > 1) {
    const int started = pool_.reserve(plan.threads);
    if (started < plan.threads) plan = plan_schedule(words, lanes, started, settings);
  }
  return plan;
}

struct ColumnSchedule::Block {
  SchedulePlan plan;
  BlockRounds rounds;
  const RoundFunction* round;
  SeriesProgress* progress;
  void (*before_round)(int thread);
};

// Whether column c's next round can run now: the column to its left has
// handed over what it takes.
bool ColumnSchedule::round_ready(const Block& blk, std::int32_t c) const {
  const std::int32_t r = columns_[c].done.load(std::memory_order_seq_cst);
  if (r >= blk.rounds.rounds) return false;
  return c == 0 || r >= blk.rounds.handoffs ||
         columns_[c - 1].done.load(std::memory_order_seq_cst) >= r + blk.rounds.lag;
}

// Claims column c if its next round is ready; false if it is not or
// another thread holds it.
bool ColumnSchedule::claim(const Block& blk, std::int32_t c) {
  if (columns_[c].claimed.load(std::memory_order_seq_cst) || !round_ready(blk, c)) return false;
  if (columns_[c].claimed.exchange(true, std::memory_order_seq_cst)) return false;
  // Another thread may have run the round between the check and the claim.
  if (round_ready(blk, c)) return true;
  columns_[c].claimed.store(false, std::memory_order_seq_cst);
  return false;
}

namespace {

// The first column of thread t's home range (and, for t + 1, the end).
std::int32_t home_begin(const SchedulePlan& plan, int t) { return plan.columns * t / plan.threads; }

bool is_home(const SchedulePlan& plan, int t, std::int32_t c) {
  return c >= home_begin(plan, t) && c < home_begin(plan, t + 1);
}

}  // namespace

// A column whose next round thread t may run, claimed; -1 when none is
// ready. A thread takes the rightmost ready column of its home (so that its
// columns move on together and the next thread's home gets its hand-offs
// soon), and, if `steal`, when none is, the leftmost ready column of any
// other thread, whose owner is slow, descheduled or busy further right.
std::int32_t ColumnSchedule::claim_round(const Block& blk, int t, bool steal) {
  for (std::int32_t c = home_begin(blk.plan, t + 1) - 1; c >= home_begin(blk.plan, t); --c) {
    if (claim(blk, c)) return c;
  }
  for (std::int32_t c = 0; steal && c < blk.plan.columns; ++c) {
    if (!is_home(blk.plan, t, c) && claim(blk, c)) return c;
  }
  return -1;
}

// Thread t's share of a block: rounds of whichever columns are ready until
// every column has run all of its rounds. A thread with nothing ready at
// home spins a while (a neighbour's round is usually about to finish)
// before it takes another thread's column, whose words then move to its
// caches; with nothing ready anywhere it spins, then sleeps until a round
// finishes anywhere. Its word-steps reach the progress count in batches,
// so that the threads do not contend for it every round.
void ColumnSchedule::run_thread(const Block& blk, int t) {
  int idle_spins = 0;  // since this thread last ran a round of its own
  std::uint64_t unreported = 0;
  while (sync_.finished.load(std::memory_order_seq_cst) < blk.plan.columns) {
    const bool steal = idle_spins >= config::ROUND_SPINS_BEFORE_STEAL;
    std::int32_t c = claim_round(blk, t, steal);
    if (c < 0) {
      for (int k = 0; k < config::ROUND_SPINS_BETWEEN_LOOKS; ++k) cpu_relax();
      idle_spins += config::ROUND_SPINS_BETWEEN_LOOKS;
      if (idle_spins < config::ROUND_SPINS_BEFORE_SLEEP) continue;
      // Sleep only if a look at every column, after saying so, finds none
      // ready and the block unfinished: any round finished since bumps
      // `news`.
      const std::uint32_t seen = sync_.news.load(std::memory_order_seq_cst);
      sync_.sleepers.fetch_add(1, std::memory_order_seq_cst);
      c = claim_round(blk, t, true);
      if (c < 0 && sync_.finished.load(std::memory_order_seq_cst) < blk.plan.columns) {
        wait_for_change(sync_.news, seen);
      }
      sync_.sleepers.fetch_sub(1, std::memory_order_seq_cst);
      idle_spins = config::ROUND_SPINS_BEFORE_STEAL;
      if (c < 0) continue;
    }
    // Once it takes other threads' columns, a thread goes on taking them
    // without waiting while its own have nothing ready.
    if (is_home(blk.plan, t, c)) idle_spins = 0;
    if (blk.before_round != nullptr) blk.before_round(t);
    Column& col = columns_[c];
    const std::int32_t r = col.done.load(std::memory_order_relaxed);
    unreported += (*blk.round)(t, c, r);
    col.done.store(r + 1, std::memory_order_seq_cst);
    const bool last = r + 1 == blk.rounds.rounds;
    col.claimed.store(false, std::memory_order_seq_cst);
    if (last) sync_.finished.fetch_add(1, std::memory_order_seq_cst);
    if (sync_.sleepers.load(std::memory_order_seq_cst) > 0) {
      sync_.news.fetch_add(1, std::memory_order_seq_cst);
      wake_waiters(sync_.news);
    }
    if (blk.progress != nullptr && (unreported >= config::PROGRESS_BATCH || last)) {
      blk.progress->done.fetch_add(unreported, std::memory_order_relaxed);
      unreported = 0;
    }
  }
  if (blk.progress != nullptr) blk.progress->done.fetch_add(unreported, std::memory_order_relaxed);
}

void ColumnSchedule::run(const SchedulePlan& plan, const BlockRounds& rounds, const RoundFunction& round,
                         const SeriesSettings& settings) {
  const Block blk{plan, rounds, &round, settings.progress, settings.before_round};
  for (std::int32_t c = 0; c < plan.columns; ++c) {
    columns_[c].done.store(0, std::memory_order_relaxed);
    columns_[c].claimed.store(false, std::memory_order_relaxed);
  }
  sync_.finished.store(0, std::memory_order_relaxed);
  if (plan.threads == 1) {
    run_thread(blk, 0);
    return;
  }
  pool_.run(plan.threads, [&](int t) {
    // The caller stays free: binding it would leave its mask, and every
    // later count of the processors it may use, at one processor.
    if (t > 0) spread_thread(t, plan.threads);
    run_thread(blk, t);
  });
}

}  // namespace atanorg
