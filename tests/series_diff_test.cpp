// Differential tests: the fast evaluation, at every thread count, must leave
// exactly the reference's words in acc and term. The schedule's cases (word
// counts at the boundaries of rows, segments, groups and blocks, random
// terms, large word counts, threads stressed and delayed) run with the
// scalar kernel; every kernel runs the cases whose paths depend on it: word
// counts around its lanes and group, and the complement words that change.
// The kernels' rounds are tested on their own in kernel_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__aarch64__)
#include <sys/prctl.h>
#endif

#include "driver/formula_table.hpp"
#include "engine/series.hpp"
#include "engine/fixed_point.hpp"
#include "engine/series_config.hpp"
#include "engine/series_detail.hpp"
#include "engine/series_kernel.hpp"
#include "delay_pattern.hpp"

namespace atanorg {

// Test names and failure messages show the engine by name.
void PrintTo(SeriesEngine engine, std::ostream* os) { *os << engine_name(engine); }

namespace {
using test_support::DelayPattern;

struct Words {
  std::vector<std::int32_t> acc;
  std::vector<std::int32_t> term;
  SeriesStatus status = SeriesStatus::ok;
};

// acc starts from a non-zero pattern so that additions, not just stores, are
// compared.
Words evaluate(const SeriesSettings& settings, std::int32_t n, std::int32_t coef, double x) {
  const std::size_t size = static_cast<std::size_t>(std::max(n, 1));
  Words w{std::vector<std::int32_t>(size), std::vector<std::int32_t>(size, 7)};
  for (std::size_t i = 0; i < size; ++i) w.acc[i] = static_cast<std::int32_t>((i * 7919) % 200001) - 100000;
  w.status = atan_accumulate(settings, w.acc.data(), w.term.data(), n, coef, x);
  return w;
}

// Index of the first differing word, or -1.
std::ptrdiff_t first_difference(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b) {
  const auto m = std::mismatch(a.begin(), a.end(), b.begin());
  return m.first == a.end() ? -1 : m.first - a.begin();
}

struct Variant {
  SeriesEngine engine;
  int threads;
};

std::string describe(const Variant& v) {
  return std::string(engine_name(v.engine)) + " threads=" + (v.threads ? std::to_string(v.threads) : "auto");
}

// One engine against the reference, at every thread count from 1 to the
// cores (at least 2) and with the count left to the engine.
class SeriesDifferential : public ::testing::TestWithParam<SeriesEngine> {
 protected:
  void SetUp() override {
    if (!engine_available(GetParam())) GTEST_SKIP() << engine_name(GetParam()) << " does not run on this processor";
    lanes_ = static_cast<std::int32_t>(round_kernel(GetParam())->lanes());
    group_ = round_kernel(GetParam())->group_terms;
  }

  std::vector<Variant> variants(int min_threads = 1) const {
    std::vector<Variant> v;
    for (int t = min_threads; t <= std::max(2, available_cores()); ++t) v.push_back({GetParam(), t});
    if (min_threads <= 1) v.push_back({GetParam(), 0});
    return v;
  }

  void expect_same_as_reference(std::int32_t n, std::int32_t coef, double x, int min_threads = 1) const {
    const Words ref = evaluate(SeriesSettings{SeriesEngine::reference, 1, nullptr}, n, coef, x);
    ASSERT_EQ(ref.status, SeriesStatus::ok) << "reference n=" << n << " c=" << coef << " x=" << x;
    for (const Variant& v : variants(min_threads)) {
      const Words got = evaluate(SeriesSettings{v.engine, v.threads, nullptr}, n, coef, x);
      EXPECT_EQ(got.status, SeriesStatus::ok) << describe(v) << " n=" << n << " c=" << coef << " x=" << x;
      const auto acc_at = first_difference(ref.acc, got.acc);
      const auto term_at = first_difference(ref.term, got.term);
      EXPECT_EQ(acc_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": acc word "
                            << acc_at << " differs";
      EXPECT_EQ(term_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": term word "
                             << term_at << " differs";
    }
  }

  // Word counts around the boundaries of rows, segments (the kernel's lanes
  // for one and two threads) and groups (the kernel's terms a round): rounds
  // term by term and as a wavefront, with a block's first and last rounds
  // masking lanes.
  std::vector<std::int32_t> lane_and_group_counts() const {
    std::vector<std::int32_t> counts;
    const std::int32_t G = group_;
    for (std::int32_t rows : {1, G - 1, G, G + 1, 2 * G, 3 * G + 1}) {
      for (std::int32_t segments : {lanes_, 2 * lanes_}) {
        for (std::int32_t d : {-1, 0, 1}) counts.push_back(rows * segments + d + 1);
      }
    }
    return counts;
  }

  // Those and the counts of no, few and several blocks' words (many blocks:
  // LargeWordCounts).
  std::vector<std::int32_t> boundary_counts() const {
    std::vector<std::int32_t> counts = lane_and_group_counts();
    for (std::int32_t n = -2; n <= 10; ++n) counts.push_back(n);
    for (std::int32_t n : {101, 257, 1000, 1001}) counts.push_back(n);
    return counts;
  }

  std::int32_t lanes_ = 1;
  std::int32_t group_ = 2;
};

// A short set of terms (a positive and a negative power term, and the
// largest x of the formulas) for every kernel.
TEST_P(SeriesDifferential, WordCountsAroundLanesAndGroups) {
  for (const FormulaTerm t : {FormulaTerm{16, 5}, FormulaTerm{-4, 239}, FormulaTerm{48, 110443}}) {
    for (std::int32_t n : lane_and_group_counts()) expect_same_as_reference(n, t.coef, t.x);
  }
}

// For x = 243,820, the first such x, and some larger ones (about one in
// eleven up to MAX_SERIES_X, among them these) a complement word 99999 does
// not come out of a pass unchanged (t * rb rounds up to radix for
// t = b * radix - 1), whatever the pass. Where c/x starts -1, 99999
// (|c| / x below 10^-5), the fast evaluation must then sweep word 2 too.
// (After a pass such words are no longer 99999s, so later blocks never
// start with them.)
TEST_P(SeriesDifferential, ComplementWordsThatChangeAreSwept) {
  for (const std::int32_t x : {243820, 260689, 292727, 299424}) {
    for (const std::int32_t c : {-1, -2}) expect_same_as_reference(700, c, x);
  }
  expect_same_as_reference(2000, -4, 283561);
}

// The schedule's cases, with the scalar kernel. The schedule is the same
// for every kernel but for the lanes, whose word counts every kernel's
// cases above cover, and the scalar kernel is the same on every processor:
// one lane, so that a word count gives the most columns to hand groups
// between and to claim, and the quickest kernel under an emulator (under
// qemu, the SVE kernels' cases above take 15 times as long as its own).
class SeriesSchedule : public SeriesDifferential {};

TEST_P(SeriesSchedule, FormulaTermsAtBoundaryWordCounts) {
  for (const auto& row : formula_terms) {
    for (const FormulaTerm& t : row) {
      if (t.coef == 0) continue;
      for (std::int32_t n : boundary_counts()) expect_same_as_reference(n, t.coef, t.x);
    }
  }
}

TEST_P(SeriesSchedule, RandomTerms) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<std::int32_t> xs(5, MAX_SERIES_X), cs(-300, 300), ns(0, 1500);
  for (int i = 0; i < 60; ++i) {
    std::int32_t c = cs(rng);
    if (c == 0) c = 1;
    // Small x as often as large: the series is longest there.
    const std::int32_t x = (i % 2) ? xs(rng) : 5 + static_cast<std::int32_t>(rng() % 60);
    expect_same_as_reference(ns(rng), c, x);
  }
}

TEST_P(SeriesSchedule, LargeWordCounts) {
  // A few thousand words: many blocks, and every lane and thread busy.
  expect_same_as_reference(6001, 16, 5);
  expect_same_as_reference(6001, -4, 239);
  expect_same_as_reference(4096, 48, 110443);
  expect_same_as_reference(5003, -48, 682);
}

// Threaded runs repeated many times: hand-off races show up as rare
// differences.
TEST_P(SeriesSchedule, ThreadStress) {
  for (int i = 0; i < 40; ++i) {
    expect_same_as_reference(700 + 37 * i, (i % 2) ? -20 : 176, (i % 3) ? 239 : 57, 2);
  }
}

// Threads held up at chosen rounds, as a busy or uneven machine holds them:
// the other threads take over their columns, the order of work changes, and
// the words must not.
const DelayPattern DELAY_PATTERNS[] = {
    {"the first thread descheduled now and then", 0, 797, std::chrono::microseconds(3000)},
    {"the second thread descheduled now and then", 1, 701, std::chrono::microseconds(3000)},
    {"the second thread slow throughout", 1, 1, std::chrono::microseconds(20)},
    {"the last thread absent at first", -2, 0, std::chrono::microseconds(5000)},
    {"every thread jittery", -1, 61, std::chrono::microseconds(200)},
};
std::atomic<const DelayPattern*> delay_pattern{nullptr};
std::atomic<int> delay_threads{0};
std::atomic<int> rounds_seen[config::MAX_THREADS];

void hold_up(int thread) {
  delay_pattern.load()->hold_up(thread, delay_threads.load(), rounds_seen[thread].fetch_add(1));
}

TEST_P(SeriesSchedule, DelayedThreads) {
  // Blocks of tens to hundreds of groups, so that delayed columns fall far behind.
  const std::int32_t n = 3001;
  for (const FormulaTerm t : {FormulaTerm{16, 5}, FormulaTerm{-4, 239}}) {
    const Words ref = evaluate(SeriesSettings{SeriesEngine::reference, 1, nullptr}, n, t.coef, t.x);
    for (const DelayPattern& pattern : DELAY_PATTERNS) {
      for (int threads : {2, 3}) {
        SCOPED_TRACE(testing::Message() << pattern.name << ", " << threads << " threads, c=" << t.coef
                                        << " x=" << t.x);
        delay_pattern = &pattern;
        delay_threads = threads;
        for (auto& r : rounds_seen) r = 0;
        SeriesSettings delayed{GetParam(), threads, nullptr};
        delayed.before_round = hold_up;
        delayed.columns_per_thread = config::COLUMNS_PER_THREAD;
        const Words got = evaluate(delayed, n, t.coef, t.x);
        EXPECT_EQ(first_difference(ref.acc, got.acc), -1);
        EXPECT_EQ(first_difference(ref.term, got.term), -1);
        // The hook ran (which thread ran the rounds is the schedule's choice).
        int rounds = 0;
        for (const auto& r : rounds_seen) rounds += r.load();
        EXPECT_GT(rounds, 0);
      }
    }
  }
}

std::vector<SeriesEngine> fast_engines() {
  std::vector<SeriesEngine> engines = compiled_engines();
  engines.erase(std::remove(engines.begin(), engines.end(), SeriesEngine::reference), engines.end());
  return engines;
}

std::string engine_test_name(const ::testing::TestParamInfo<SeriesEngine>& info) {
  return engine_name(info.param);
}

// Every engine built into the program, whether or not this processor runs
// it (those it cannot run are skipped), with the engine's name in the
// test's name.
INSTANTIATE_TEST_SUITE_P(Engines, SeriesDifferential, ::testing::ValuesIn(fast_engines()), engine_test_name);
INSTANTIATE_TEST_SUITE_P(Schedule, SeriesSchedule, ::testing::Values(SeriesEngine::scalar), engine_test_name);

// The engines come in order of instruction set, and the program takes the
// last one the processor runs.
TEST(SeriesEngines, NamesAndChoice) {
  const std::vector<SeriesEngine> engines = compiled_engines();
  ASSERT_GE(engines.size(), 2U);
  EXPECT_EQ(engines[0], SeriesEngine::reference);
  EXPECT_EQ(engines[1], SeriesEngine::scalar);
  const auto best = std::find(engines.begin(), engines.end(), best_engine());
  ASSERT_NE(best, engines.end());
  EXPECT_TRUE(engine_available(*best));
  for (auto e = best + 1; e != engines.end(); ++e) EXPECT_FALSE(engine_available(*e)) << engine_name(*e);
  EXPECT_EQ(engine_named("portable"), std::nullopt);
}

// The scalable kernels take every lane Highway gives them: the vector's
// length in doubles rounded down to a power of two (scripts/test.sh
// --sve-lengths runs this at 128, 384 and 2048 bits; the riscv64 build at
// 128 and 512 bits), MAX_LANES at most.
TEST(SeriesEngines, ScalableKernelsUseTheWholeVector) {
#if defined(__aarch64__) && defined(PR_SVE_GET_VL)
  const int length = prctl(PR_SVE_GET_VL);
  if (length < 0 || !engine_available(SeriesEngine::sve)) GTEST_SKIP() << "the processor has no SVE";
  std::size_t lanes = 1;
  while (lanes * 2 * sizeof(double) <= std::size_t(length & PR_SVE_VL_LEN_MASK)) lanes *= 2;
  for (SeriesEngine e : {SeriesEngine::sve, SeriesEngine::sve2}) {
    if (engine_available(e)) {
      EXPECT_EQ(round_kernel(e)->lanes(), lanes) << engine_name(e);
    }
  }
#elif defined(__riscv)
  if (!engine_available(SeriesEngine::rvv)) GTEST_SKIP() << "the processor has no V extension, or no rvv engine";
  // The vector length in bytes (CSR vlenb, 0xc22; only with V): a power of two.
  unsigned long length = 0;
  asm volatile("csrr %0, 0xc22" : "=r"(length));
  EXPECT_EQ(round_kernel(SeriesEngine::rvv)->lanes(),
            std::min(std::size_t(length) / sizeof(double), std::size_t(MAX_LANES)));
#else
  GTEST_SKIP() << "no scalable vectors in this processor family";
#endif
}

// Every engine this processor runs, the reference first.
std::vector<SeriesEngine> available_engines() {
  std::vector<SeriesEngine> engines = compiled_engines();
  engines.erase(std::remove_if(engines.begin(), engines.end(), [](SeriesEngine e) { return !engine_available(e); }),
                engines.end());
  return engines;
}

// Calls outside the limits are refused with their reason before any word is
// written; calls at the limits are not.
TEST(SeriesContract, ArgumentsOutsideTheLimitsAreRefusedUntouched) {
  constexpr std::int32_t SENTINEL = 0x5A5A5A5A;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::int32_t n, coef;
    double x;
    std::int32_t acc_word;  // acc[n / 2]
    SeriesStatus status;
  };
  const Case cases[] = {
      {ARRAY_CAPACITY + 1, 16, 5.0, 0, SeriesStatus::too_many_words},
      {40, 16, MAX_SERIES_X + 1.0, 0, SeriesStatus::x_out_of_range},
      {40, 16, 1.0, 0, SeriesStatus::x_out_of_range},
      {40, 16, 239.5, 0, SeriesStatus::x_out_of_range},
      {40, 16, nan, 0, SeriesStatus::x_out_of_range},
      {40, MAX_SERIES_COEF + 1, 5.0, 0, SeriesStatus::coef_out_of_range},
      {40, -MAX_SERIES_COEF - 1, 5.0, 0, SeriesStatus::coef_out_of_range},
      {40, 16, 5.0, ACC_WORD_LIMIT, SeriesStatus::acc_out_of_range},
      {40, 16, 5.0, -ACC_WORD_LIMIT, SeriesStatus::acc_out_of_range},
      {40, 16, 5.0, std::numeric_limits<std::int32_t>::min(), SeriesStatus::acc_out_of_range},
  };
  for (SeriesEngine engine : available_engines()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << engine_name(engine) << " n=" << c.n << " c=" << c.coef << " x=" << c.x
                                        << " acc word " << c.acc_word);
      std::vector<std::int32_t> acc(c.n, SENTINEL), term(c.n, SENTINEL);
      acc[c.n / 2] = c.acc_word;
      std::vector<std::int32_t> acc_before = acc;
      EXPECT_EQ(atan_accumulate(SeriesSettings{engine, 0, nullptr}, acc.data(), term.data(), c.n, c.coef, c.x),
                c.status);
      EXPECT_TRUE(acc == acc_before && term == std::vector<std::int32_t>(c.n, SENTINEL)) << "words written";
      EXPECT_EQ(check_series_arguments(c.n, c.coef, c.x) == SeriesStatus::ok, c.status == SeriesStatus::acc_out_of_range);
    }
    // At the limits: x = 2 and MAX_SERIES_X, the largest coefficients, an acc
    // word just below the limit that the term leaves alone (word 1 of 1/1000).
    for (const Case& c : {Case{40, MAX_SERIES_COEF, 2.0, 0, SeriesStatus::ok},
                          Case{40, -MAX_SERIES_COEF, MAX_SERIES_X, 0, SeriesStatus::ok},
                          Case{40, 1, 1000.0, -(ACC_WORD_LIMIT - 1), SeriesStatus::ok}}) {
      std::vector<std::int32_t> acc(c.n, 0), term(c.n, 0);
      acc[0] = c.acc_word;
      EXPECT_EQ(atan_accumulate(SeriesSettings{engine, 0, nullptr}, acc.data(), term.data(), c.n, c.coef, c.x),
                SeriesStatus::ok)
          << engine_name(engine) << " c=" << c.coef << " x=" << c.x;
    }
  }
}

// A sum that carries an acc word past the limit ends the call with the
// status: 16/5 adds 3.2 and the series leaves word 2 at +15832 in all.
TEST(SeriesContract, AWordSummedPastTheLimitIsReported) {
  for (SeriesEngine engine : available_engines()) {
    for (std::int32_t n : {3, 2000}) {
      std::vector<std::int32_t> acc(n, 0), term(n, 0);
      acc[1] = ACC_WORD_LIMIT - 15000;
      EXPECT_EQ(atan_accumulate(SeriesSettings{engine, 0, nullptr}, acc.data(), term.data(), n, 16, 5.0),
                SeriesStatus::acc_out_of_range)
          << engine_name(engine) << " n=" << n;
    }
  }
}

// Progress only grows, stays within a quarter of the total it is shown
// against, and the engine's own count (the total is set to it at the end,
// never the count to the total) ends between 0.9 and 1.25 times the
// word-steps expected at the start. (The fast engines' count runs up to a
// fifth above the estimate: a block sweeps the words that become inactive
// during it.) A thread watches the counters during the call; what it saw is
// checked afterwards.
TEST(SeriesProgressTest, GrowsToTheExpectedWork) {
  // The fast engines count alike, whatever their kernel.
  for (SeriesEngine engine : {SeriesEngine::reference, best_engine()}) {
    for (const auto& [coef, x] : {std::pair{16, 5}, std::pair{-4, 239}}) {
      SCOPED_TRACE(::testing::Message() << engine_name(engine) << " c=" << coef << " x=" << x);
      const std::int32_t n = engine == SeriesEngine::reference ? 1000 : 4000;
      // The reference sweeps every word of a negative term in every pass;
      // the fast engines skip the leading words that a pass leaves alone.
      const std::int32_t terms = series_term_count(n, x);
      const std::uint64_t expected = engine == SeriesEngine::reference && coef < 0
                                         ? std::uint64_t(terms) * std::uint64_t(n)
                                         : expected_work(n, terms, double(x) * x);
      const std::uint64_t most = expected + expected / 4;
      SeriesProgress progress;
      std::atomic<bool> running{true};
      std::uint64_t last = 0, went_back = 0, too_far = 0;
      std::thread watcher([&] {
        while (running.load()) {
          // The count first: the total read after it is that count's or a
          // later one (or not yet stored: zero).
          const std::uint64_t done = progress.done.load();
          const std::uint64_t total = progress.total.load();
          if (done < last) went_back = done + 1;
          if (done > most || (total != 0 && done > total + total / 4)) too_far = done;
          last = done;
        }
      });
      const Words w = evaluate(SeriesSettings{engine, 1, &progress}, n, coef, x);
      running.store(false);
      watcher.join();
      ASSERT_EQ(w.status, SeriesStatus::ok);
      EXPECT_EQ(progress.done.load(), progress.total.load());
      EXPECT_GE(progress.done.load(), expected - expected / 10);
      EXPECT_LE(progress.done.load(), most);
      EXPECT_EQ(went_back, 0U) << "progress went back to " << went_back - 1;
      EXPECT_EQ(too_far, 0U) << "progress passed its total: " << too_far << " of " << expected;
    }
  }
}

}  // namespace
}  // namespace atanorg
