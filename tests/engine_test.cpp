// The reference engine's worked examples and the normalisation's corners.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/fixed_point.hpp"
#include "engine/normalize.hpp"
#include "engine/series.hpp"

namespace atanorg {
namespace {

using Words = std::vector<std::int32_t>;

Words single_term(std::int32_t coef, double x, std::int32_t n) {
  Words a(n, 0), t(n + 1, 0);
  EXPECT_EQ(atan_accumulate_reference(a.data(), t.data(), n, coef, x), SeriesStatus::ok);
  normalize_acc(a.data(), n);
  return a;
}

Words normalized(Words a, std::int32_t n) {
  normalize_acc(a.data(), n);
  return a;
}

TEST(ReferenceSeries, WorkedExamples) {
  EXPECT_EQ(series_term_count(4, 5.0), 14);
  EXPECT_EQ(single_term(16, 5.0, 4), (Words{3, 15832, 89575, 98093}));
  EXPECT_EQ(single_term(-4, 239.0, 4), (Words{-1, 98326, 36959, 91701}));
}

// ln(100) / ln(10) is exactly 2, so x = 10 sums 5n/2 terms; a quotient one
// unit above 2 would lose a term at every even n.
TEST(ReferenceSeries, TermCountForTenIsExactlyFiveHalvesOfTheWords) {
  for (std::int32_t n : {2, 4, 6, 22, 100, 2002, 20003, 200004, 1000010}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(series_term_count(n, 10.0), 5 * n / 2);
  }
}

// Sentinels past n show that nothing beyond the words in use is written.
constexpr std::int32_t SENTINEL = 0x5A5A5A5A;

TEST(ReferenceSeries, NoWordsInUseOnlySetsTheLeadingTermWord) {
  for (std::int32_t n : {0, -1, -7}) {
    SCOPED_TRACE(n);
    Words a(4, 1234), t(4, SENTINEL);
    EXPECT_EQ(atan_accumulate_reference(a.data(), t.data(), n, 16, 5.0), SeriesStatus::ok);
    EXPECT_EQ(a, Words(4, 1234));
    EXPECT_EQ(t, (Words{16, SENTINEL, SENTINEL, SENTINEL}));
  }
}

// With one or two words the series still runs its K terms; the lead index
// then walks past n, where words read as zero and are never written.
//   n = 2: 16/5 = 3.20000; -0.12800/3 -> -4266; +0.00512/5 -> +102;
//   -0.00020/7 -> -2; the rest is below one word.
TEST(ReferenceSeries, FewWordsStillSumTheSeries) {
  EXPECT_EQ(series_term_count(2, 5.0), 7);
  struct Case {
    std::int32_t n;
    Words acc;
  };
  for (const Case& c : {Case{1, {3}}, Case{2, {3, 20000 - 4266 + 102 - 2}}}) {
    SCOPED_TRACE(c.n);
    Words a(c.n + 8, SENTINEL), t(c.n + 8, SENTINEL);
    std::fill_n(a.begin(), c.n, 0);
    EXPECT_EQ(atan_accumulate_reference(a.data(), t.data(), c.n, 16, 5.0), SeriesStatus::ok);
    EXPECT_EQ(Words(a.begin(), a.begin() + c.n), c.acc);
    for (std::size_t i = c.n; i < a.size(); ++i) {
      EXPECT_EQ(a[i], SENTINEL) << "acc index " << i;
      EXPECT_EQ(t[i], SENTINEL) << "term index " << i;
    }
  }
}

// A negative coefficient keeps the power term in floor form: word 1 stays -1
// and the words after it end as the complement of a tiny value.
TEST(ReferenceSeries, NegativeCoefficientKeepsTheTermInFloorForm) {
  const std::int32_t n = 12;
  Words a(n, 0), t(n, 0);
  ASSERT_EQ(atan_accumulate_reference(a.data(), t.data(), n, -4, 239.0), SeriesStatus::ok);
  EXPECT_EQ(t[0], -1);
  for (std::int32_t i = 1; i < n - 2; ++i) EXPECT_EQ(t[i], 99999) << "term index " << i;
}

TEST(Normalize, ExactNegativeMultiplesOfTheRadixBorrowExactly) {
  // Some of these round below the integer in the carry sweep (-300000 gives
  // a carry of -4) and rely on the fix-up sweep.
  for (std::int32_t k = 1; k <= 200; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(normalized({3, 50000, -100000 * k}, 3), (Words{3, 50000 - k, 0}));
  }
  EXPECT_EQ(normalized({0, -100000}, 2), (Words{-1, 0}));
}

TEST(Normalize, CarriesRunAllTheWayToTheIntegerWord) {
  EXPECT_EQ(normalized({0, 99999, 99999, 100000}, 4), (Words{1, 0, 0, 0}));
  EXPECT_EQ(normalized({2, 0, 0, -1}, 4), (Words{1, 99999, 99999, 99999}));
  EXPECT_EQ(normalized({3, 250000, -150001, 7}, 4), (Words{5, 49998, 49999, 7}));
  EXPECT_EQ(normalized({0, -1}, 2), (Words{-1, 99999}));
}

TEST(Normalize, OnlyWordsInUseChange) {
  const Words words{123456, -7, 300000};
  for (std::int32_t n : {1, 0, -3}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(normalized(words, n), words);
  }
  // Two words: word 2 is reduced into word 1, word 3 is left alone.
  EXPECT_EQ(normalized({5, 250000, 777777}, 2), (Words{7, 50000, 777777}));
}

}  // namespace
}  // namespace atanorg
