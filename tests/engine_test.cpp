// The reference engine's worked examples and the normalisation's corners.
#include <gtest/gtest.h>

#include <vector>

#include "engine/fixed_point.hpp"
#include "engine/normalize.hpp"
#include "engine/series.hpp"

namespace atanpi {
namespace {

std::vector<std::int32_t> single_term(std::int32_t coef, double x, std::int32_t n) {
  std::vector<std::int32_t> a(n, 0), t(n + 1, 0);
  atan_accumulate_reference(a.data(), t.data(), n, coef, x);
  normalize_words(a.data(), n);
  return a;
}

TEST(ReferenceSeries, WorkedExamples) {
  EXPECT_EQ(series_term_count(4, 5.0), 14);
  EXPECT_EQ(single_term(16, 5.0, 4), (std::vector<std::int32_t>{3, 15832, 89575, 98093}));
  EXPECT_EQ(single_term(-4, 239.0, 4), (std::vector<std::int32_t>{-1, 98326, 36959, 91701}));
}

}  // namespace
}  // namespace atanpi
