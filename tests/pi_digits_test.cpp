// Every formula of the table, summed by the reference engine, gives pi's
// digits as computed independently with GMP. The 100,000-place run is in
// pi_digits_long_test.
#include "engine/series_config.hpp"
#include "pi_digits_check.hpp"

namespace atanorg {
namespace {

using namespace test_support;

class PiDigits : public ::testing::TestWithParam<int> {};

TEST_P(PiDigits, TenThousandPlaces) { expect_formula_gives_pi(GetParam(), 10000); }

// Short requests, including an odd number of fraction words.
TEST_P(PiDigits, ShortRequests) {
  for (std::int32_t places : {5, 25, 100, 335}) {
    SCOPED_TRACE(places);
    expect_formula_gives_pi(GetParam(), places);
  }
}

// The program's engine with the most threads it allows, on a formula whose
// blocks reach MAX_BLOCK_PASSES passes at this size (64 threads of 8 lanes
// and 40,003 words): the largest per-block sums. About 2 s on two cores;
// too slow for an emulated processor.
TEST(PiDigitsFastEngine, TwoHundredThousandPlacesOnSixtyFourThreads) {
  if (ATANPI_EMULATED_TESTS) GTEST_SKIP() << "the processor is emulated";
  expect_formula_gives_pi(1, 200000, SeriesSettings{best_engine(), config::MAX_THREADS, nullptr});
}

INSTANTIATE_TEST_SUITE_P(Formulas, PiDigits, ::testing::Range(1, FORMULA_COUNT + 1),
                         [](const auto& info) { return std::string(formula_names[info.param - 1]); });

}  // namespace
}  // namespace atanorg
