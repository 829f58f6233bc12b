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
// - The remaining words are cut into one segment per vector lane of each
//   thread, stored transposed, and swept in rounds: in each round every
//   lane applies a group of consecutive passes (the kernel's group_terms)
//   to its segment, and the group moves one lane (one segment) on per round, taking its remainders with
//   it. Thread t's first lane takes the group from thread t-1's last lane
//   through a ring of remainder hand-offs, so thread t runs a round behind.
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
#include <thread>

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
// Spins on a hand-off before a waiting thread yields its core.
constexpr int SPINS_BEFORE_YIELD = 1000;
constexpr std::size_t SCRATCH_WORDS = std::size_t{ARRAY_CAPACITY} + MAX_LANES * config::MAX_THREADS;

// Transposed power-term words and accumulated contributions of a block.
alignas(64) std::int32_t scratch_words[SCRATCH_WORDS];
alignas(64) std::int32_t scratch_deltas[SCRATCH_WORDS];

// Remainder hand-off from one thread's last lane to the next thread's first.
struct alignas(64) Handoff {
  alignas(64) std::atomic<std::int32_t> published{0};  // groups written
  alignas(64) std::atomic<std::int32_t> consumed{0};   // groups taken
  alignas(64) double r2[config::RING_SLOTS][MAX_GROUP_TERMS];
  double r1[config::RING_SLOTS][MAX_GROUP_TERMS];
};
Handoff handoffs[config::MAX_THREADS];

WorkerPool& pool() {
  static WorkerPool workers;
  return workers;
}

void pause_briefly(int& spins) {
  if (++spins < SPINS_BEFORE_YIELD) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    std::this_thread::yield();
  }
}

template <class Done>
void wait_for(Done done) {
  int spins = 0;
  while (!done()) pause_briefly(spins);
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
  std::int32_t lanes;       // segments per thread: the kernel's vector lanes
  int group;                // passes per group: the kernel's group_terms
  Prefix prefix;
  PassDivisors base;        // b and rb
  std::int32_t first_pass;  // j of the block's first pass
  std::int32_t groups;      // groups of passes in the block
  std::int32_t threads;     // T
  std::int32_t rows;        // rows per segment
  SeriesProgress* progress;
};

// One thread's rounds: segments t*L .. t*L+L-1 for L lanes. In round R
// lane k holds group R - t*L - k. Per-term, per-lane values are stored at
// [g * L + k] for term g of the group, as the kernels take them.
void run_thread(const Block& blk, int t) {
  const std::int32_t lanes = blk.lanes;
  const int G = blk.group;
  const std::int32_t lane0 = t * lanes;
  alignas(64) double r2[MAX_GROUP_TERMS * MAX_LANES] = {};
  alignas(64) double r1[MAX_GROUP_TERMS * MAX_LANES] = {};
  alignas(64) double d[MAX_GROUP_TERMS * MAX_LANES];
  alignas(64) double rd[MAX_GROUP_TERMS * MAX_LANES];
  auto at = [lanes](int g, std::int32_t k) { return g * lanes + k; };
  RoundArgs args;
  args.words = scratch_words + std::size_t(lane0) * blk.rows;
  args.deltas = scratch_deltas + std::size_t(lane0) * blk.rows;
  args.rows = blk.rows;
  args.r2 = r2;
  args.r1 = r1;
  args.d = d;
  args.rd = rd;
  args.b = blk.base.b;
  args.rb = blk.base.rb;
  args.radix = radix;
  args.sign = pass_sign(blk.first_pass);
  Handoff* in = t > 0 ? &handoffs[t - 1] : nullptr;
  Handoff* out = t + 1 < blk.threads ? &handoffs[t] : nullptr;
  const std::uint64_t lane_work = std::uint64_t(blk.rows) * G;

  const std::int32_t last_round = lane0 + lanes - 1 + blk.groups - 1;
  for (std::int32_t round = lane0; round <= last_round; ++round) {
    // The groups move up one lane; lane 0 takes the next one.
    for (std::int32_t k = lanes - 1; k > 0; --k) {
      for (int g = 0; g < G; ++g) {
        r2[at(g, k)] = r2[at(g, k - 1)];
        r1[at(g, k)] = r1[at(g, k - 1)];
      }
    }
    std::uint32_t mask = 0;
    for (std::int32_t k = 0; k < lanes; ++k) {
      const std::int32_t group = round - lane0 - k;
      const bool active = group >= 0 && group < blk.groups;
      for (int g = 0; g < G; ++g) {
        if (active) {
          const PassDivisors div = pass_divisors(blk.base, blk.first_pass + group * G + g);
          d[at(g, k)] = div.d;
          rd[at(g, k)] = div.rd;
        } else {
          d[at(g, k)] = IDLE_LANE_DIVISOR;
          rd[at(g, k)] = 1.0 / IDLE_LANE_DIVISOR;
          r2[at(g, k)] = 0.0;
          r1[at(g, k)] = 0.0;
        }
      }
      if (active) mask |= std::uint32_t{1} << k;
    }
    const std::int32_t group0 = round - lane0;
    if (group0 < blk.groups) {
      if (in == nullptr) {
        for (int g = 0; g < G; ++g) {
          const PassDivisors div = pass_divisors(blk.base, blk.first_pass + group0 * G + g);
          r2[at(g, 0)] = entry_r2(blk.prefix, div);
          r1[at(g, 0)] = entry_r1(blk.prefix, div);
        }
      } else {
        wait_for([&] { return in->published.load(std::memory_order_acquire) > group0; });
        const int slot = group0 % config::RING_SLOTS;
        for (int g = 0; g < G; ++g) {
          r2[at(g, 0)] = in->r2[slot][g];
          r1[at(g, 0)] = in->r1[slot][g];
        }
        in->consumed.store(group0 + 1, std::memory_order_release);
      }
    }

    args.lane_mask = mask;
    blk.kernel->round(args);

    const std::int32_t group_out = round - lane0 - (lanes - 1);
    if (out != nullptr && group_out >= 0 && group_out < blk.groups) {
      wait_for([&] { return group_out - out->consumed.load(std::memory_order_acquire) < config::RING_SLOTS; });
      const int slot = group_out % config::RING_SLOTS;
      for (int g = 0; g < G; ++g) {
        out->r2[slot][g] = r2[at(g, lanes - 1)];
        out->r1[slot][g] = r1[at(g, lanes - 1)];
      }
      out->published.store(group_out + 1, std::memory_order_release);
    }
    if (blk.progress != nullptr) {
      blk.progress->done.fetch_add(lane_work * static_cast<unsigned>(__builtin_popcount(mask)),
                                   std::memory_order_relaxed);
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
  const std::int32_t segments = blk.threads * blk.lanes;
  const std::int32_t rows = blk.rows;
  const std::size_t row_stride = std::size_t(blk.lanes);
  // Segment k holds words first + k*rows ..; word (k, r) sits at row r,
  // lane k % lanes of thread k / lanes's part.
  for (std::int32_t k = 0; k < segments; ++k) {
    std::int32_t* base = scratch_words + segment_start(k, rows, blk.lanes);
    std::int32_t* deltas = scratch_deltas + segment_start(k, rows, blk.lanes);
    for (std::int32_t r = 0; r < rows; ++r) {
      const std::int32_t pos = first + k * rows + r;
      base[r * row_stride] = pos <= n ? term[pos - 1] : 0;
      deltas[r * row_stride] = 0;
    }
  }
  for (int t = 0; t + 1 < blk.threads; ++t) {
    handoffs[t].published.store(0, std::memory_order_relaxed);
    handoffs[t].consumed.store(0, std::memory_order_relaxed);
  }
  if (blk.threads == 1) {
    run_thread(blk, 0);
  } else {
    pool().run(blk.threads, [&](int t) { run_thread(blk, t); });
  }
  for (std::int32_t k = 0; k < segments; ++k) {
    const std::int32_t* base = scratch_words + segment_start(k, rows, blk.lanes);
    const std::int32_t* deltas = scratch_deltas + segment_start(k, rows, blk.lanes);
    for (std::int32_t r = 0; r < rows; ++r) {
      const std::int32_t pos = first + k * rows + r;
      if (pos > n) break;
      term[pos - 1] = base[r * row_stride];
      acc[pos - 1] += deltas[r * row_stride];
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
    const std::int32_t segments = threads * lanes;
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
