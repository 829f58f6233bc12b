// The five Machin-like formulas the program offers. Coefficients are scaled
// so that the terms of a row sum to pi itself.
#pragma once

#include <cstdint>

namespace atanorg {

// One term coef * arctan(1/x) of a formula.
struct FormulaTerm {
  std::int32_t coef;
  std::int32_t x;
};

inline constexpr int FORMULA_COUNT = 5;
inline constexpr int MAX_FORMULA_TERMS = 4;

// Row id - 1 holds formula id's terms in evaluation order; unused slots {0, 0}.
extern const FormulaTerm formula_terms[FORMULA_COUNT][MAX_FORMULA_TERMS];
extern const std::int32_t formula_term_count[FORMULA_COUNT];
// Full names by id - 1, for the usage text.
extern const char* const formula_names[FORMULA_COUNT];

}  // namespace atanorg
