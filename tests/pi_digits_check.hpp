// Sums a formula of the table with an engine (the reference unless asked)
// and compares the normalised words with trusted digits of pi (GMP), naming
// the first wrong place.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/formula_table.hpp"
#include "engine/normalize.hpp"
#include "engine/series.hpp"
#include "verify/trusted_pi.hpp"

namespace atanorg::test_support {

// Pi by formula `id` to `places` decimal places (a multiple of 5): the
// normalised words, integer word and two guard words included.
inline std::vector<std::int32_t> formula_words(int id, std::int32_t places, const SeriesSettings& engine) {
  const std::int32_t n = places / 5 + 3;
  std::vector<std::int32_t> acc(n, 0), term(n, 0);
  for (std::int32_t k = 0; k < formula_term_count[id - 1]; ++k) {
    const FormulaTerm& t = formula_terms[id - 1][k];
    EXPECT_EQ(atan_accumulate(engine, acc.data(), term.data(), n, t.coef, static_cast<double>(t.x)),
              SeriesStatus::ok);
  }
  normalize_acc(acc.data(), n);
  return acc;
}

inline void expect_formula_gives_pi(int id, std::int32_t places, const SeriesSettings& engine = {}) {
  const std::vector<std::int32_t> words = formula_words(id, places, engine);
  ASSERT_EQ(words[0], 3) << "integer word";
  for (std::size_t i = 1; i < words.size(); ++i) {
    ASSERT_TRUE(words[i] >= 0 && words[i] <= 99999) << "word " << i + 1 << " is " << words[i];
  }

  std::string got;
  got.reserve(places);
  char group[8];
  for (std::int32_t i = 1; i <= places / 5; ++i) {
    std::snprintf(group, sizeof group, "%05d", static_cast<int>(words[i]));
    got += group;
  }
  const std::string want = trusted_pi_places(places);
  ASSERT_EQ(want.size(), static_cast<std::size_t>(places));
  const auto wrong = std::mismatch(got.begin(), got.end(), want.begin());
  if (wrong.first != got.end()) {
    const std::size_t at = wrong.first - got.begin();
    const std::size_t from = at < 10 ? 0 : at - 10;
    FAIL() << "first wrong place " << at + 1 << " of " << places << ": places " << from + 1
           << " on read " << got.substr(from, 20) << ", pi has " << want.substr(from, 20);
  }
}

}  // namespace atanorg::test_support
