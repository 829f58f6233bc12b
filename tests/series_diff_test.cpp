// Differential tests: every fast engine and thread count must leave exactly
// the reference's words in acc and term.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/formula_table.hpp"
#include "engine/series.hpp"
#include "engine/series_config.hpp"

namespace atanpi {
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

std::vector<Variant> fast_variants() {
  std::vector<Variant> v;
  for (SeriesEngine e : {SeriesEngine::portable, SeriesEngine::avx2}) {
    if (!engine_available(e)) continue;
    for (int t = 1; t <= std::max(2, available_cores()); ++t) v.push_back({e, t});
    v.push_back({e, 0});
  }
  return v;
}

std::string describe(const Variant& v) {
  return std::string(engine_name(v.engine)) + " threads=" + (v.threads ? std::to_string(v.threads) : "auto");
}

void expect_same_as_reference(std::int32_t n, std::int32_t coef, double x,
                              const std::vector<Variant>& variants = fast_variants()) {
  const Words ref = evaluate(SeriesSettings{SeriesEngine::reference, 1, nullptr}, n, coef, x);
  for (const Variant& v : variants) {
    const Words got = evaluate(SeriesSettings{v.engine, v.threads, nullptr}, n, coef, x);
    const auto acc_at = first_difference(ref.acc, got.acc);
    const auto term_at = first_difference(ref.term, got.term);
    EXPECT_EQ(acc_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": acc word "
                          << acc_at << " differs";
    EXPECT_EQ(term_at, -1) << describe(v) << " n=" << n << " c=" << coef << " x=" << x << ": term word "
                           << term_at << " differs";
  }
}

// Word counts around the boundaries of rows, segments, groups and blocks.
std::vector<std::int32_t> boundary_counts() {
  std::vector<std::int32_t> counts;
  for (std::int32_t n = -2; n <= 10; ++n) counts.push_back(n);
  const std::int32_t G = config::GROUP_TERMS, L = config::LANES;
  for (std::int32_t rows : {1, G - 1, G, G + 1, 2 * G, 3 * G + 1}) {
    for (std::int32_t lanes : {L, 2 * L}) {
      for (std::int32_t d : {-1, 0, 1}) counts.push_back(rows * lanes + d + 1);
    }
  }
  for (std::int32_t n : {101, 257, 1000, 1001, 2999}) counts.push_back(n);
  return counts;
}

TEST(SeriesDifferential, FormulaTermsAtBoundaryWordCounts) {
  for (const auto& row : formula_terms) {
    for (const FormulaTerm& t : row) {
      if (t.coef == 0) continue;
      for (std::int32_t n : boundary_counts()) expect_same_as_reference(n, t.coef, t.x);
    }
  }
}

TEST(SeriesDifferential, RandomTerms) {
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

TEST(SeriesDifferential, LargeWordCounts) {
  // A few thousand words: many blocks, and every lane and thread busy.
  expect_same_as_reference(6001, 16, 5);
  expect_same_as_reference(6001, -4, 239);
  expect_same_as_reference(4096, 48, 110443);
  expect_same_as_reference(5003, -48, 682);
}

// Threaded runs repeated many times: hand-off races show up as rare
// differences.
TEST(SeriesDifferential, ThreadStress) {
  std::vector<Variant> threaded;
  for (const Variant& v : fast_variants()) {
    if (v.threads >= 2) threaded.push_back(v);
  }
  for (int i = 0; i < 40; ++i) {
    expect_same_as_reference(700 + 37 * i, (i % 2) ? -20 : 176, (i % 3) ? 239 : 57, threaded);
  }
}

TEST(SeriesProgressTest, ReachesTotal) {
  SeriesProgress progress;
  evaluate(SeriesSettings{best_engine(), 0, &progress}, 3000, 16, 5);
  EXPECT_GT(progress.total.load(), 0U);
  EXPECT_EQ(progress.done.load(), progress.total.load());
}

}  // namespace
}  // namespace atanpi
