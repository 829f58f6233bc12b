// 1 Machin, 2 Gauss, 3 Klingenstierna, 4 Stoermer, 5 Takano; each written
// for pi rather than pi/4, so no final multiplication is needed.
#include "driver/formula_table.hpp"

namespace atanorg {

const FormulaTerm formula_terms[FORMULA_COUNT][MAX_FORMULA_TERMS] = {
    {{16, 5}, {-4, 239}, {0, 0}, {0, 0}},
    {{48, 18}, {32, 57}, {-20, 239}, {0, 0}},
    {{32, 10}, {-4, 239}, {-16, 515}, {0, 0}},
    {{176, 57}, {28, 239}, {-48, 682}, {96, 12943}},
    {{48, 49}, {128, 57}, {-20, 239}, {48, 110443}},
};

const std::int32_t formula_term_count[FORMULA_COUNT] = {2, 3, 3, 4, 4};

const char* const formula_names[FORMULA_COUNT] = {"Machin", "Gauss", "Klingenstierna", "Stoermer", "Takano"};

}  // namespace atanorg
