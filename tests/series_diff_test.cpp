// Differential tests: every fast engine and thread count must leave exactly
// the reference's words in acc and term.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/formula_table.hpp"
#include "engine/series.hpp"
#include "engine/series_config.hpp"
#include "engine/series_kernel.hpp"

namespace atanorg {

// Test names and failure messages show the engine by name.
void PrintTo(SeriesEngine engine, std::ostream* os) { *os << engine_name(engine); }

namespace {

struct Words {
  std::vector<std::int32_t> acc;
  std::vector<std::int32_t> term;
};

// acc starts from a non-zero pattern so that additions, not just stores, are
// compared.
Words evaluate(const SeriesSettings& settings, std::int32_t n, std::int32_t coef, double x) {
  const std::size_t size = static_cast<std::size_t>(std::max(n, 1));
  Words w{std::vector<std::int32_t>(size), std::vector<std::int32_t>(size, 7)};
  for (std::size_t i = 0; i < size; ++i) w.acc[i] = static_cast<std::int32_t>((i * 7919) % 200001) - 100000;
  atan_accumulate_with(settings, w.acc.data(), w.term.data(), n, coef, x);
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
    for (const Variant& v : variants(min_threads)) {
      const Words got = evaluate(SeriesSettings{v.engine, v.threads, nullptr}, n, coef, x);
      const auto acc_at = first_difference(ref.acc, got.acc);
      const auto term_at = first_difference(ref.term, got.term);
      EXPECT_EQ(acc_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": acc word "
                            << acc_at << " differs";
      EXPECT_EQ(term_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": term word "
                             << term_at << " differs";
    }
  }

  // Word counts around the boundaries of rows, segments (the kernel's lanes
  // for one and two threads), groups (the kernel's terms a round) and blocks.
  std::vector<std::int32_t> boundary_counts() const {
    std::vector<std::int32_t> counts;
    for (std::int32_t n = -2; n <= 10; ++n) counts.push_back(n);
    const std::int32_t G = group_;
    for (std::int32_t rows : {1, G - 1, G, G + 1, 2 * G, 3 * G + 1}) {
      for (std::int32_t segments : {lanes_, 2 * lanes_}) {
        for (std::int32_t d : {-1, 0, 1}) counts.push_back(rows * segments + d + 1);
      }
    }
    for (std::int32_t n : {101, 257, 1000, 1001, 2999}) counts.push_back(n);
    return counts;
  }

  std::int32_t lanes_ = 1;
  std::int32_t group_ = 2;
};

TEST_P(SeriesDifferential, FormulaTermsAtBoundaryWordCounts) {
  for (const auto& row : formula_terms) {
    for (const FormulaTerm& t : row) {
      if (t.coef == 0) continue;
      for (std::int32_t n : boundary_counts()) expect_same_as_reference(n, t.coef, t.x);
    }
  }
}

TEST_P(SeriesDifferential, RandomTerms) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<std::int32_t> xs(5, 110443), cs(-300, 300), ns(0, 3000);
  for (int i = 0; i < 60; ++i) {
    std::int32_t c = cs(rng);
    if (c == 0) c = 1;
    // Small x as often as large: the series is longest there.
    const std::int32_t x = (i % 2) ? xs(rng) : 5 + static_cast<std::int32_t>(rng() % 60);
    expect_same_as_reference(ns(rng), c, x);
  }
}

TEST_P(SeriesDifferential, LargeWordCounts) {
  // A few thousand words: many blocks, and every lane and thread busy.
  expect_same_as_reference(6001, 16, 5);
  expect_same_as_reference(6001, -4, 239);
  expect_same_as_reference(4096, 48, 110443);
  expect_same_as_reference(5003, -48, 682);
}

// Threaded runs repeated many times: hand-off races show up as rare
// differences.
TEST_P(SeriesDifferential, ThreadStress) {
  for (int i = 0; i < 40; ++i) {
    expect_same_as_reference(700 + 37 * i, (i % 2) ? -20 : 176, (i % 3) ? 239 : 57, 2);
  }
}

// Threads held up at chosen rounds, as a busy or uneven machine holds them:
// the other threads take over their columns, the order of work changes, and
// the words must not.
struct DelayPattern {
  const char* name;
  int thread;                   // the thread held up; -1: every thread
  int every;                    // held up before every such round of its own
  std::chrono::microseconds by;
};
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
  const DelayPattern& p = *delay_pattern.load();
  const int round = rounds_seen[thread].fetch_add(1);
  if (p.thread == -2) {
    if (thread == delay_threads.load() - 1 && round == 0) std::this_thread::sleep_for(p.by);
  } else if ((p.thread == -1 || p.thread == thread) && round % p.every == 0) {
    std::this_thread::sleep_for(p.by);
  }
}

TEST_P(SeriesDifferential, DelayedThreads) {
  // Blocks of more groups than the ring between columns has slots.
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
        const Words got = evaluate(delayed, n, t.coef, t.x);
        EXPECT_EQ(first_difference(ref.acc, got.acc), -1);
        EXPECT_EQ(first_difference(ref.term, got.term), -1);
        EXPECT_GT(rounds_seen[0].load(), 0);
      }
    }
  }
}

std::vector<SeriesEngine> fast_engines() {
  std::vector<SeriesEngine> engines = compiled_engines();
  engines.erase(std::remove(engines.begin(), engines.end(), SeriesEngine::reference), engines.end());
  return engines;
}

// Every engine built into the program, whether or not this processor runs
// it (those it cannot run are skipped), with the engine's name in the
// test's name.
INSTANTIATE_TEST_SUITE_P(Engines, SeriesDifferential, ::testing::ValuesIn(fast_engines()),
                         [](const ::testing::TestParamInfo<SeriesEngine>& info) {
                           return std::string(engine_name(info.param));
                         });

// The engines come in order of instruction set; the program takes the last
// one the processor runs, and every name leads back to its engine.
TEST(SeriesEngines, NamesAndChoice) {
  const std::vector<SeriesEngine> engines = compiled_engines();
  ASSERT_GE(engines.size(), 2U);
  EXPECT_EQ(engines[0], SeriesEngine::reference);
  EXPECT_EQ(engines[1], SeriesEngine::scalar);
  const auto best = std::find(engines.begin(), engines.end(), best_engine());
  ASSERT_NE(best, engines.end());
  EXPECT_TRUE(engine_available(*best));
  for (auto e = best + 1; e != engines.end(); ++e) EXPECT_FALSE(engine_available(*e)) << engine_name(*e);
  for (SeriesEngine e : engines) EXPECT_EQ(engine_named(engine_name(e)), e) << engine_name(e);
  EXPECT_EQ(engine_named("portable"), std::nullopt);
}

TEST(SeriesProgressTest, ReachesTotal) {
  SeriesProgress progress;
  evaluate(SeriesSettings{best_engine(), 0, &progress}, 3000, 16, 5);
  EXPECT_GT(progress.total.load(), 0U);
  EXPECT_EQ(progress.done.load(), progress.total.load());
}

}  // namespace
}  // namespace atanorg
