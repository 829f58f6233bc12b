// The fast evaluation of the arctangent series.
//
// The words are the reference's; only the order of work differs:
//
// - Leading words that a pass provably leaves as they are are not swept.
//   For a positive power term those are the leading zero words (zero words
//   with zero remainders give zero quotients). A negative power term is
//   held in floor form, -1 followed by 99999s; such a word, entered with the
//   remainders b-1 and d-1, gives itself back with the same remainders,
//   which is checked for every divisor with the pass's own arithmetic. Its
//   contributions -s and 99999s to acc cancel over every two passes, and are
//   added in closed form.
// - The remaining words are cut into segments, stored transposed, a
//   column of them (one per vector lane) at a time, and swept in rounds: in
//   each round every lane of a column applies a group of consecutive passes
//   (the kernel's group_terms) to its segment, and the group moves one lane
//   (one segment) on per round, taking its remainders with it. A column's
//   first lane takes the group from the last lane of the column to its left
//   through a ring of remainder hand-offs.
// - One thread sweeps one column. Several threads share four columns each:
//   a round of a column can run once the column to its left has handed over
//   the group it needs, and whichever thread is free runs it, a thread's
//   own columns first. A slow, descheduled or absent thread so holds up
//   only the column it is in; the ring lets the columns to its left run
//   ahead meanwhile, and the others take over its remaining columns.
// - The segments stay fixed for a block of groups; then the pipeline drains,
//   the words go back to term and acc, and the next block cuts its segments
//   past the words that have become inactive.
// - Passes left over after the last whole group run one at a time.
//
// acc receives each block's contributions as one sum per word. While every
// acc word is below ACC_WORD_LIMIT after each block, neither these sums nor
// the reference's pass-by-pass additions overflow (series_config.hpp), so
// the words are the same; a word past the limit ends the call.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#include "engine/fixed_point.hpp"
#include "engine/series.hpp"
#include "engine/series_detail.hpp"
#include "engine/series_kernel.hpp"
#include "engine/worker_pool.hpp"
#include "platform/platform.hpp"

namespace atanorg {
namespace {

constexpr std::int32_t COMPLEMENT_WORD = 99999;
// The divisor d given to a lane that holds no group in a round. The kernel
// computes on every lane and discards an idle lane's results; a real
// divisor (the smallest 2j+1 of any pass) with zero remainders keeps that
// work ordinary floating-point arithmetic.
constexpr double IDLE_LANE_DIVISOR = 3.0;
constexpr std::size_t SCRATCH_WORDS = std::size_t{ARRAY_CAPACITY} + MAX_LANES * config::MAX_COLUMNS;

// Transposed power-term words and accumulated contributions of a block.
alignas(64) double scratch_words[SCRATCH_WORDS];
alignas(64) double scratch_deltas[SCRATCH_WORDS];

// One column of a block: `lanes` segments side by side, swept one round at
// a time by whichever thread claims it. Its lane-0 group comes from the
// column to its left, and its last lane's group goes to the column to its
// right through `out`, a ring of remainder hand-offs.
struct alignas(64) Column {
  std::atomic<std::int32_t> done{0};  // rounds finished in this block
  std::atomic<bool> claimed{false};   // a thread is running one of its rounds
  // Per term g and lane k at [g * lanes + k]: the remainders the lanes'
  // groups carry from round to round, as the kernels take them.
  alignas(64) double r2[MAX_GROUP_TERMS * MAX_LANES];
  double r1[MAX_GROUP_TERMS * MAX_LANES];
  // Group m's remainders leaving the last lane, at slot m % RING_SLOTS.
  double out_r2[config::RING_SLOTS][MAX_GROUP_TERMS];
  double out_r1[config::RING_SLOTS][MAX_GROUP_TERMS];
};
Column columns[config::MAX_COLUMNS];

// The divisors 2j+1 of a block's passes and their reciprocals, formed once
// a block rather than once a round in every lane.
double pass_d[config::MAX_BLOCK_PASSES];
double pass_rd[config::MAX_BLOCK_PASSES];

// What the threads of a block share besides the columns: columns finished,
// a count bumped after every round so that waiting threads see news, and
// how many threads sleep on it.
struct alignas(64) BlockSync {
  std::atomic<std::int32_t> finished{0};
  alignas(64) std::atomic<std::uint32_t> news{0};
  alignas(64) std::atomic<std::int32_t> sleepers{0};
};
BlockSync sync;

WorkerPool& pool() {
  static WorkerPool workers;
  return workers;
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

enum class PrefixKind { none, zeros, complement };

// The leading words no pass changes, and the first word a pass must visit.
struct Prefix {
  PrefixKind kind = PrefixKind::none;
  std::int32_t first = 1;  // 1-based; n + 1 when no word is left
};

Prefix find_prefix(const std::int32_t* term, std::int32_t n) {
  Prefix p;
  if (term[0] == 0) {
    p.kind = PrefixKind::zeros;
    while (p.first <= n && term[p.first - 1] == 0) ++p.first;
  } else if (term[0] == -1) {
    p.kind = PrefixKind::complement;
    p.first = 2;
    while (p.first <= n && term[p.first - 1] == COMPLEMENT_WORD) ++p.first;
  }
  return p;
}

// Whether a complement word, entered with the remainders b-1 and d-1 that
// word 1 leaves, comes out of the pass unchanged with the same remainders:
// the pass's own arithmetic on one word. Word 1 itself always does: -1 with
// zero remainders gives floor(-rb) = floor(-rd) = -1, as 0 < rb, rd < 1, and
// the exact remainders b-1 and d-1. A complement word does for the formulas'
// x, but not for x = 243,820 and some larger x (one in eleven up to
// MAX_SERIES_X), where t * rb rounds up to radix for t = b * radix - 1.
bool complement_word_stays(const PassDivisors& div) {
  double r2 = div.b - 1.0, r1 = div.d - 1.0, q;
  const double v = word_step(COMPLEMENT_WORD, r2, r1, div, radix, q);
  return q == COMPLEMENT_WORD && v == COMPLEMENT_WORD && r2 == div.b - 1.0 && r1 == div.d - 1.0;
}

// Narrows a complement prefix to word 1 unless its complement words provably
// stay fixed for the passes first_pass .. first_pass + passes - 1.
void confirm_complement(Prefix& p, const PassDivisors& base, std::int32_t first_pass, std::int32_t passes) {
  if (p.kind != PrefixKind::complement) return;
  for (std::int32_t j = first_pass; j < first_pass + passes && p.first > 2; ++j) {
    if (!complement_word_stays(pass_divisors(base, j))) p.first = 2;
  }
}

// The skipped words' share of acc: each pass adds s * (-1) to word 1 and
// s * 99999 to the other complement words.
void add_prefix_contributions(std::int32_t* acc, const Prefix& p, std::int32_t first_pass, std::int32_t passes,
                              std::int32_t n) {
  if (p.kind != PrefixKind::complement) return;
  std::int32_t sign_sum = 0;  // sum of s = (-1)^j over the passes
  for (std::int32_t j = first_pass; j < first_pass + passes; ++j) sign_sum += pass_sign(j);
  if (sign_sum == 0) return;
  acc[0] -= sign_sum;
  const std::int32_t last = std::min(p.first - 1, n);
  for (std::int32_t i = 2; i <= last; ++i) acc[i - 1] += sign_sum * COMPLEMENT_WORD;
}

// Remainders with which a pass enters the first active word.
double entry_r2(const Prefix& p, const PassDivisors& div) {
  return p.kind == PrefixKind::complement ? div.b - 1.0 : 0.0;
}
double entry_r1(const Prefix& p, const PassDivisors& div) {
  return p.kind == PrefixKind::complement ? div.d - 1.0 : 0.0;
}

struct Block {
  const RoundKernel* kernel = nullptr;
  std::int32_t lanes;       // segments per column: the kernel's vector lanes
  int group;                // passes per group: the kernel's group_terms
  Prefix prefix;
  PassDivisors base;        // b and rb
  std::int32_t first_pass;  // j of the block's first pass
  std::int32_t groups;      // groups of passes in the block
  std::int32_t threads;     // threads sharing the columns
  std::int32_t columns;     // columns, `lanes` segments each
  std::int32_t rows;        // rows per segment
  SeriesProgress* progress;
  void (*before_round)(int thread);
};

// Rounds a column runs in a block: in its round r lane k holds group
// r - k, so the last group leaves the last lane in round groups + lanes - 2.
std::int32_t column_rounds(const Block& blk) { return blk.groups + blk.lanes - 1; }

// Whether column c's next round can run now: the column to its left has
// handed over the group that enters lane 0 (it left that column's last
// lane in its round r + lanes - 1), and the column to its right has taken
// the group that the ring slot about to be written held.
bool round_ready(const Block& blk, std::int32_t c) {
  const std::int32_t r = columns[c].done.load(std::memory_order_acquire);
  if (r >= column_rounds(blk)) return false;
  if (c > 0 && r < blk.groups && columns[c - 1].done.load(std::memory_order_acquire) < r + blk.lanes) return false;
  const std::int32_t group_out = r - (blk.lanes - 1);
  return c + 1 >= blk.columns || group_out < config::RING_SLOTS ||
         columns[c + 1].done.load(std::memory_order_acquire) > group_out - config::RING_SLOTS;
}

// Column c's next round, by a thread that has claimed the column. Its
// lanes' groups move up one lane; lane 0 takes the next group.
void run_round(const Block& blk, std::int32_t c) {
  Column& col = columns[c];
  const std::int32_t lanes = blk.lanes;
  const int G = blk.group;
  const std::int32_t r = col.done.load(std::memory_order_relaxed);
  alignas(64) double d[MAX_GROUP_TERMS * MAX_LANES];
  alignas(64) double rd[MAX_GROUP_TERMS * MAX_LANES];
  auto at = [lanes](int g, std::int32_t k) { return g * lanes + k; };

  for (std::int32_t k = lanes - 1; k > 0; --k) {
    for (int g = 0; g < G; ++g) {
      col.r2[at(g, k)] = col.r2[at(g, k - 1)];
      col.r1[at(g, k)] = col.r1[at(g, k - 1)];
    }
  }
  std::uint32_t mask = 0;
  for (std::int32_t k = 0; k < lanes; ++k) {
    const std::int32_t group = r - k;
    const bool active = group >= 0 && group < blk.groups;
    for (int g = 0; g < G; ++g) {
      if (active) {
        d[at(g, k)] = pass_d[group * G + g];
        rd[at(g, k)] = pass_rd[group * G + g];
      } else {
        d[at(g, k)] = IDLE_LANE_DIVISOR;
        rd[at(g, k)] = 1.0 / IDLE_LANE_DIVISOR;
        col.r2[at(g, k)] = 0.0;
        col.r1[at(g, k)] = 0.0;
      }
    }
    if (active) mask |= std::uint32_t{1} << k;
  }
  if (r < blk.groups) {
    const int slot = r % config::RING_SLOTS;
    for (int g = 0; g < G; ++g) {
      if (c == 0) {
        PassDivisors div = blk.base;
        div.d = pass_d[r * G + g];
        div.rd = pass_rd[r * G + g];
        col.r2[at(g, 0)] = entry_r2(blk.prefix, div);
        col.r1[at(g, 0)] = entry_r1(blk.prefix, div);
      } else {
        col.r2[at(g, 0)] = columns[c - 1].out_r2[slot][g];
        col.r1[at(g, 0)] = columns[c - 1].out_r1[slot][g];
      }
    }
  }

  RoundArgs args;
  args.words = scratch_words + std::size_t(c) * lanes * blk.rows;
  args.deltas = scratch_deltas + std::size_t(c) * lanes * blk.rows;
  args.rows = blk.rows;
  args.r2 = col.r2;
  args.r1 = col.r1;
  args.d = d;
  args.rd = rd;
  args.radix = radix;
  args.b = blk.base.b;
  args.rb = blk.base.rb;
  args.sign = pass_sign(blk.first_pass);
  args.lane_mask = mask;
  blk.kernel->round(args);

  const std::int32_t group_out = r - (lanes - 1);
  if (c + 1 < blk.columns && group_out >= 0 && group_out < blk.groups) {
    const int slot = group_out % config::RING_SLOTS;
    for (int g = 0; g < G; ++g) {
      col.out_r2[slot][g] = col.r2[at(g, lanes - 1)];
      col.out_r1[slot][g] = col.r1[at(g, lanes - 1)];
    }
  }
  if (blk.progress != nullptr) {
    blk.progress->done.fetch_add(std::uint64_t(blk.rows) * G * static_cast<unsigned>(__builtin_popcount(mask)),
                                 std::memory_order_relaxed);
  }
  col.done.store(r + 1, std::memory_order_release);
}

// Claims column c if its next round is ready; false if it is not or
// another thread holds it.
bool claim(const Block& blk, std::int32_t c) {
  if (columns[c].claimed.load(std::memory_order_relaxed) || !round_ready(blk, c)) return false;
  if (columns[c].claimed.exchange(true, std::memory_order_acquire)) return false;
  // Another thread may have run the round between the check and the claim.
  if (round_ready(blk, c)) return true;
  columns[c].claimed.store(false, std::memory_order_release);
  return false;
}

// Whether column c is in thread t's home range.
bool is_home(const Block& blk, int t, std::int32_t c) {
  return c >= blk.columns * t / blk.threads && c < blk.columns * (t + 1) / blk.threads;
}

// A column whose next round thread t may run, claimed; -1 when none is
// ready. Each thread has a home range of columns, whose words stay in its
// caches: it takes the rightmost ready one there (so that its columns move
// on together and the next thread's home gets its groups soon), and, if
// `steal`, when none is, the leftmost ready column of any other thread,
// whose owner is slow, descheduled or busy further right.
std::int32_t claim_round(const Block& blk, int t, bool steal) {
  const std::int32_t home_begin = blk.columns * t / blk.threads;
  const std::int32_t home_end = blk.columns * (t + 1) / blk.threads;
  for (std::int32_t c = home_end - 1; c >= home_begin; --c) {
    if (claim(blk, c)) return c;
  }
  for (std::int32_t c = 0; steal && c < blk.columns; ++c) {
    if (!is_home(blk, t, c) && claim(blk, c)) return c;
  }
  return -1;
}

// Thread t's share of a block: rounds of whichever columns are ready until
// every column has run all of its rounds. A thread with nothing ready at
// home spins a while (a neighbour's round is usually about to finish)
// before it takes another thread's column, whose words then move to its
// caches; with nothing ready anywhere it spins, then sleeps until a round
// finishes anywhere.
void run_thread(const Block& blk, int t) {
  const std::int32_t rounds = column_rounds(blk);
  int idle_spins = 0;  // since this thread last ran a round of its own
  for (;;) {
    // News first: a round that finishes the block after this look at
    // `finished` changes `news`, so the wait below cannot miss it.
    const std::uint32_t seen = sync.news.load(std::memory_order_seq_cst);
    if (sync.finished.load(std::memory_order_seq_cst) == blk.columns) break;
    const bool steal = idle_spins >= config::SPINS_BEFORE_STEAL;
    const std::int32_t c = claim_round(blk, t, steal);
    if (c >= 0) {
      // Once it takes other threads' columns, a thread goes on taking them
      // without waiting while its own have nothing ready.
      if (is_home(blk, t, c)) idle_spins = 0;
      if (blk.before_round != nullptr) blk.before_round(t);
      run_round(blk, c);
      const bool last = columns[c].done.load(std::memory_order_relaxed) == rounds;
      columns[c].claimed.store(false, std::memory_order_release);
      if (last) sync.finished.fetch_add(1, std::memory_order_seq_cst);
      sync.news.fetch_add(1, std::memory_order_seq_cst);
      if (sync.sleepers.load(std::memory_order_seq_cst) > 0) wake_waiters(sync.news);
      continue;
    }
    const int limit = steal ? config::SPINS_BEFORE_SLEEP : config::SPINS_BEFORE_STEAL - idle_spins;
    int spins = 0;
    while (sync.news.load(std::memory_order_acquire) == seen && spins < limit) {
      cpu_relax();
      ++spins;
    }
    idle_spins += spins;
    // Sleep only after a look at every column found none ready, and
    // nothing changed since.
    if (steal && spins == limit) {
      sync.sleepers.fetch_add(1, std::memory_order_seq_cst);
      if (sync.news.load(std::memory_order_seq_cst) == seen) wait_for_change(sync.news, seen);
      sync.sleepers.fetch_sub(1, std::memory_order_relaxed);
    }
  }
}

// Where segment k starts in a scratch array; its rows are `lanes` apart.
std::size_t segment_start(std::int32_t k, std::int32_t rows, std::int32_t lanes) {
  return std::size_t(k / lanes) * rows * lanes + k % lanes;
}

// Applies blk.groups * blk.group passes to words prefix.first .. n.
void run_block(const Block& blk, std::int32_t* acc, std::int32_t* term, std::int32_t n) {
  const std::int32_t first = blk.prefix.first;
  const std::int32_t segments = blk.columns * blk.lanes;
  const std::int32_t rows = blk.rows;
  const std::size_t row_stride = std::size_t(blk.lanes);
  // Segment k holds words first + k*rows ..; word (k, r) sits at row r,
  // lane k % lanes of column k / lanes.
  for (std::int32_t k = 0; k < segments; ++k) {
    double* base = scratch_words + segment_start(k, rows, blk.lanes);
    double* deltas = scratch_deltas + segment_start(k, rows, blk.lanes);
    for (std::int32_t r = 0; r < rows; ++r) {
      const std::int32_t pos = first + k * rows + r;
      base[r * row_stride] = pos <= n ? term[pos - 1] : 0;
      deltas[r * row_stride] = 0.0;
    }
  }
  for (std::int32_t p = 0; p < blk.groups * blk.group; ++p) {
    const PassDivisors div = pass_divisors(blk.base, blk.first_pass + p);
    pass_d[p] = div.d;
    pass_rd[p] = div.rd;
  }
  for (std::int32_t c = 0; c < blk.columns; ++c) {
    std::fill_n(columns[c].r2, MAX_GROUP_TERMS * MAX_LANES, 0.0);
    std::fill_n(columns[c].r1, MAX_GROUP_TERMS * MAX_LANES, 0.0);
    columns[c].done.store(0, std::memory_order_relaxed);
    columns[c].claimed.store(false, std::memory_order_relaxed);
  }
  sync.finished.store(0, std::memory_order_relaxed);
  if (blk.threads == 1) {
    run_thread(blk, 0);
  } else {
    pool().run(blk.threads, [&](int t) {
      if (t > 0) spread_thread(t, blk.threads);
      run_thread(blk, t);
    });
  }
  for (std::int32_t k = 0; k < segments; ++k) {
    const double* base = scratch_words + segment_start(k, rows, blk.lanes);
    const double* deltas = scratch_deltas + segment_start(k, rows, blk.lanes);
    for (std::int32_t r = 0; r < rows; ++r) {
      const std::int32_t pos = first + k * rows + r;
      if (pos > n) break;
      term[pos - 1] = static_cast<std::int32_t>(base[r * row_stride]);
      acc[pos - 1] += static_cast<std::int32_t>(deltas[r * row_stride]);
    }
  }
}

std::int32_t block_groups(std::int32_t n, std::int32_t segments, int group, double shrink) {
  const double best = std::sqrt((segments - 1.0) * n / (group * shrink));
  const double most = config::MAX_BLOCK_PASSES / group;
  return static_cast<std::int32_t>(std::clamp(best, std::min(double(config::MIN_BLOCK_GROUPS), most), most));
}

int threads_for(const SeriesSettings& settings, std::int32_t active_words, std::int32_t lanes) {
  int threads = settings.threads;
  if (threads <= 0) {
    threads = available_cores();
    const std::int32_t rows_each = config::MIN_ROWS_PER_THREAD * lanes;
    threads = std::max(1, std::min(threads, active_words / rows_each));
  }
  threads = std::min(threads, config::MAX_THREADS);
  return threads > 1 ? pool().reserve(threads) : 1;
}

}  // namespace

SeriesStatus atan_accumulate_fast(const RoundKernel& kernel, const SeriesSettings& settings, std::int32_t* acc,
                                  std::int32_t* term, std::int32_t n, std::int32_t coef, double x) {
  const auto lanes = static_cast<std::int32_t>(kernel.lanes());
  const int G = kernel.group_terms;
  PassDivisors base;
  base.b = x * x;
  base.rb = 1.0 / base.b;
  const std::int32_t series_terms = series_term_count(n, x);
  const double shrink = words_per_pass(base.b);
  SeriesProgress* progress = settings.progress;
  if (progress != nullptr) {
    progress->done.store(0, std::memory_order_relaxed);
    progress->total.store(expected_work(n, series_terms, base.b), std::memory_order_relaxed);
  }

  series_first_term(acc, term, n, coef, x);
  std::int32_t j = 1;
  while (j <= series_terms) {
    Prefix prefix = find_prefix(term, n);
    const std::int32_t active = n - prefix.first + 1;
    const int threads = threads_for(settings, std::max(active, 0), lanes);
    // One thread sweeps one column; several share a few columns each, of at
    // least MIN_COLUMN_ROWS rows.
    const std::int32_t per_thread =
        settings.columns_per_thread > 0
            ? settings.columns_per_thread
            : std::clamp(std::max(active, 0) / (threads * lanes * config::MIN_COLUMN_ROWS), 1,
                         config::COLUMNS_PER_THREAD);
    const std::int32_t columns = threads == 1 ? 1 : std::min(threads * per_thread, config::MAX_COLUMNS);
    const std::int32_t segments = columns * lanes;
    const std::int32_t groups =
        std::min((series_terms - j + 1) / G, block_groups(n, segments, G, shrink));
    const std::int32_t passes = groups > 0 ? groups * G : series_terms - j + 1;

    confirm_complement(prefix, base, j, passes);
    add_prefix_contributions(acc, prefix, j, passes, n);
    if (prefix.first <= n) {
      if (groups > 0) {
        Block blk;
        blk.kernel = &kernel;
        blk.lanes = lanes;
        blk.group = G;
        blk.prefix = prefix;
        blk.base = base;
        blk.first_pass = j;
        blk.groups = groups;
        blk.threads = threads;
        blk.columns = columns;
        blk.before_round = settings.before_round;
        blk.rows = (n - prefix.first + 1 + segments - 1) / segments;
        blk.progress = progress;
        run_block(blk, acc, term, n);
      } else {
        // Fewer than a group's passes left: one at a time.
        for (std::int32_t k = j; k < j + passes; ++k) {
          const PassDivisors div = pass_divisors(base, k);
          series_pass(acc, term, prefix.first, n, div, pass_sign(k), entry_r2(prefix, div),
                      entry_r1(prefix, div));
        }
      }
    }
    j += passes;
    // At most MAX_BLOCK_PASSES passes a block: see series_config.hpp.
    if (!acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  }
  if (!acc_within_limit(acc, n)) return SeriesStatus::acc_out_of_range;
  // The count is what was swept; the total, an estimate, becomes it.
  if (progress != nullptr) progress->total.store(progress->done.load(std::memory_order_relaxed));
  return SeriesStatus::ok;
}

}  // namespace atanorg
