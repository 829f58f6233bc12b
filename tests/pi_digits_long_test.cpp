// Every formula of the table to 100,000 places against GMP (label long:
// about a minute for the five formulas in a Release build).
#include "pi_digits_check.hpp"

namespace atanorg {
namespace {

using namespace test_support;

class PiDigitsLong : public ::testing::TestWithParam<int> {};

TEST_P(PiDigitsLong, HundredThousandPlaces) { expect_formula_gives_pi(GetParam(), 100000); }

INSTANTIATE_TEST_SUITE_P(Formulas, PiDigitsLong, ::testing::Range(1, FORMULA_COUNT + 1),
                         [](const auto& info) { return std::string(formula_names[info.param - 1]); });

}  // namespace
}  // namespace atanorg
