// Process-wide state of the engine, in static storage.
#include "engine/fixed_point.hpp"

#include <cmath>

namespace atanorg {

std::int32_t word_digits = 5;
double radix = 100000.0;
double inv_radix = 1.0 / 100000.0;
std::int32_t word_count = 0;
std::int32_t atan_coef = 0;
double atan_x = 0.0;

alignas(64) std::int32_t acc[ARRAY_CAPACITY];
alignas(64) std::int32_t term[ARRAY_CAPACITY];

void set_numeric_parameters() {
  word_digits = 5;
  radix = std::pow(10.0, static_cast<double>(word_digits));
  inv_radix = 1.0 / radix;
}

}  // namespace atanorg
