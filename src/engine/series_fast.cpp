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
//   first lane takes the group that left the last lane of the column to its
//   left, with the remainders that column left it.
// - One thread sweeps one column. Several threads share a few columns
//   each: a round of a column can run once the column to its left has
//   handed over the group it needs, and whichever thread is free runs it
//   (column_schedule.cpp). This file supplies the round.
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
#include <vector>

#include "engine/column_schedule.hpp"
#include "engine/fixed_point.hpp"
#include "engine/series.hpp"
#include "engine/series_detail.hpp"
#include "engine/series_kernel.hpp"
#include "engine/worker_pool.hpp"

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

// Per block, for each term g of a group and each group m, a lane's state,
// at [g * stride + slot(m)], where slot(m) = top - m counts down as m goes
// up: in round r lane k holds group r - k, so the lanes' entries are the
// consecutive slots from top - r up, and the groups move up one lane a
// round without being moved in memory. Slots below and above the groups
// are idle lanes' (the pipeline's fill and drain).
//
// The divisors 2j+1 and their reciprocals are the block's, formed once; the
// remainders are each column's. A column keeps every group's remainders
// for the block, so the column to its right takes those of the group that
// enters its first lane from the slot it left them in, however far behind.
std::vector<double> group_state;

// A column's remainders in the group state: of the divisions by b and by
// d, laid out as above.
struct ColumnRemainders {
  double* r2 = nullptr;
  double* r1 = nullptr;
};
ColumnRemainders remainders[config::MAX_COLUMNS];

// The program's threads: one pool, started once, and its schedule.
ColumnSchedule& schedule() {
  static WorkerPool workers;
  static ColumnSchedule columns(workers);
  return columns;
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
  SchedulePlan plan;        // threads, and columns of `lanes` segments
  std::int32_t rows;        // rows per segment
  std::size_t stride;       // slots per term in the group state
  std::int32_t top;         // slot of group 0
  const double* lane_d;     // the divisors d by slot, as above
  const double* lane_rd;    // and their reciprocals
  std::int32_t* acc;        // the words, 1 .. n
  std::int32_t* term;
  std::int32_t n;
};

// The rounds of a block's columns: in its round r lane k holds group r - k,
// so a column's last group leaves its last lane in round groups + lanes - 2.
// Its rounds r < groups take group r into lane 0 from the column to its
// left, which that column's last lane leaves in its round r + lanes - 1.
BlockRounds column_rounds(const Block& blk) {
  BlockRounds rounds;
  rounds.rounds = blk.groups + blk.lanes - 1;
  rounds.handoffs = blk.groups;
  rounds.lag = blk.lanes;
  return rounds;
}

// The mask of the lanes that hold a group in round r: lane k holds group
// r - k.
std::uint32_t round_lane_mask(const Block& blk, std::int32_t r) {
  const std::int32_t low = std::max(0, r - blk.groups + 1), high = std::min(blk.lanes - 1, r);
  const std::uint64_t upto_high = (std::uint64_t{2} << high) - 1, below_low = (std::uint64_t{1} << low) - 1;
  return static_cast<std::uint32_t>(upto_high & ~below_low);
}

// Where segment k starts in a scratch array; its rows are `lanes` apart.
std::size_t segment_start(std::int32_t k, std::int32_t rows, std::int32_t lanes) {
  return std::size_t(k / lanes) * rows * lanes + k % lanes;
}

// Column c's words into the scratch arrays: segment k holds words
// prefix.first + k*rows .., and word (k, r) sits at row r, lane k % lanes
// of column k / lanes. Words past n are zeros; the sums start at zero.
void load_column(const Block& blk, std::int32_t c) {
  for (std::int32_t k = c * blk.lanes; k < (c + 1) * blk.lanes; ++k) {
    double* words = scratch_words + segment_start(k, blk.rows, blk.lanes);
    double* deltas = scratch_deltas + segment_start(k, blk.rows, blk.lanes);
    for (std::int32_t r = 0; r < blk.rows; ++r) {
      const std::int32_t pos = blk.prefix.first + k * blk.rows + r;
      words[r * blk.lanes] = pos <= blk.n ? blk.term[pos - 1] : 0;
      deltas[r * blk.lanes] = 0.0;
    }
  }
}

// Column c's words back into term, and its sums added to acc.
void store_column(const Block& blk, std::int32_t c) {
  for (std::int32_t k = c * blk.lanes; k < (c + 1) * blk.lanes; ++k) {
    const double* words = scratch_words + segment_start(k, blk.rows, blk.lanes);
    const double* deltas = scratch_deltas + segment_start(k, blk.rows, blk.lanes);
    for (std::int32_t r = 0; r < blk.rows; ++r) {
      const std::int32_t pos = blk.prefix.first + k * blk.rows + r;
      if (pos > blk.n) return;
      blk.term[pos - 1] = static_cast<std::int32_t>(words[r * blk.lanes]);
      blk.acc[pos - 1] += static_cast<std::int32_t>(deltas[r * blk.lanes]);
    }
  }
}

// Round r of column c, by the thread the schedule gave it. Lane 0 takes
// the next group, with the remainders the column to its left left it. The
// first round loads the column's words and the last stores them, so that
// each thread moves the words of the columns it starts and ends, in
// parallel with the others. Returns the word-steps swept.
std::uint64_t run_round(const Block& blk, std::int32_t c, std::int32_t r) {
  const ColumnRemainders& col = remainders[c];
  const std::size_t lane0 = std::size_t(blk.top - r);
  if (c > 0 && r < blk.groups) {
    const ColumnRemainders& left = remainders[c - 1];
    for (int g = 0; g < blk.group; ++g) {
      col.r2[g * blk.stride + lane0] = left.r2[g * blk.stride + lane0];
      col.r1[g * blk.stride + lane0] = left.r1[g * blk.stride + lane0];
    }
  }
  if (r == 0) load_column(blk, c);
  const std::uint32_t mask = round_lane_mask(blk, r);
  RoundArgs args;
  args.words = scratch_words + std::size_t(c) * blk.lanes * blk.rows;
  args.deltas = scratch_deltas + std::size_t(c) * blk.lanes * blk.rows;
  args.rows = blk.rows;
  args.r2 = col.r2 + lane0;
  args.r1 = col.r1 + lane0;
  args.d = blk.lane_d + lane0;
  args.rd = blk.lane_rd + lane0;
  args.term_stride = blk.stride;
  args.radix = radix;
  args.b = blk.base.b;
  args.rb = blk.base.rb;
  args.sign = pass_sign(blk.first_pass);
  args.lane_mask = mask;
  blk.kernel->round(args);
  if (r + 1 == column_rounds(blk).rounds) store_column(blk, c);
  return std::uint64_t(blk.rows) * blk.group * static_cast<unsigned>(__builtin_popcount(mask));
}

// Applies blk.groups * blk.group passes to words prefix.first .. n.
void run_block(Block& blk, const SeriesSettings& settings) {
  // The group state: divisors, then each column's remainders. Idle slots
  // get a real divisor with zero remainders, which keeps an idle lane's
  // work ordinary arithmetic; column 0's groups enter with the remainders
  // the skipped words leave, the other columns' groups are copied in as
  // they arrive.
  const int G = blk.group;
  blk.stride = std::size_t(blk.groups) + 2 * std::size_t(blk.lanes) - 2;
  blk.top = blk.groups + blk.lanes - 2;
  const std::int32_t columns = blk.plan.columns;
  const std::size_t per_term = G * blk.stride;
  if (group_state.size() < (2 + 2 * std::size_t(columns)) * per_term) {
    group_state.resize((2 + 2 * std::size_t(columns)) * per_term);
  }
  double* const lane_d = group_state.data();
  double* const lane_rd = lane_d + per_term;
  for (std::int32_t c = 0; c < columns; ++c) {
    remainders[c].r2 = lane_rd + (1 + 2 * std::size_t(c)) * per_term;
    remainders[c].r1 = remainders[c].r2 + per_term;
  }
  // The idle slots: lanes - 1 below the groups' and as many above.
  const std::size_t idle = std::size_t(blk.lanes) - 1;
  for (int g = 0; g < G; ++g) {
    for (const std::size_t from : {std::size_t{0}, blk.stride - idle}) {
      const std::size_t at = g * blk.stride + from;
      std::fill_n(lane_d + at, idle, IDLE_LANE_DIVISOR);
      std::fill_n(lane_rd + at, idle, 1.0 / IDLE_LANE_DIVISOR);
      for (std::int32_t c = 0; c < columns; ++c) {
        std::fill_n(remainders[c].r2 + at, idle, 0.0);
        std::fill_n(remainders[c].r1 + at, idle, 0.0);
      }
    }
  }
  for (std::int32_t m = 0; m < blk.groups; ++m) {
    const std::size_t slot = std::size_t(blk.top - m);
    for (int g = 0; g < G; ++g) {
      const PassDivisors div = pass_divisors(blk.base, blk.first_pass + m * G + g);
      lane_d[g * blk.stride + slot] = div.d;
      lane_rd[g * blk.stride + slot] = div.rd;
      remainders[0].r2[g * blk.stride + slot] = entry_r2(blk.prefix, div);
      remainders[0].r1[g * blk.stride + slot] = entry_r1(blk.prefix, div);
    }
  }
  blk.lane_d = lane_d;
  blk.lane_rd = lane_rd;
  schedule().run(blk.plan, column_rounds(blk),
                 [&blk](int, std::int32_t c, std::int32_t r) { return run_round(blk, c, r); }, settings);
}

std::int32_t block_groups(std::int32_t n, std::int32_t segments, int group, double shrink) {
  const double best = std::sqrt((segments - 1.0) * n / (group * shrink));
  const double most = config::MAX_BLOCK_PASSES / group;
  return static_cast<std::int32_t>(std::clamp(best, std::min(double(config::MIN_BLOCK_GROUPS), most), most));
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
  // Reading the affinity mask and the control group's quota takes system
  // calls and file reads: once a call, not once a block.
  const int cores = settings.threads > 0 ? settings.threads : available_cores();
  std::int32_t j = 1;
  while (j <= series_terms) {
    Prefix prefix = find_prefix(term, n);
    const std::int32_t active = n - prefix.first + 1;
    const SchedulePlan plan = schedule().plan(active, lanes, cores, settings);
    const std::int32_t segments = plan.columns * lanes;
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
        blk.plan = plan;
        blk.rows = (n - prefix.first + 1 + segments - 1) / segments;
        blk.acc = acc;
        blk.term = term;
        blk.n = n;
        run_block(blk, settings);
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
