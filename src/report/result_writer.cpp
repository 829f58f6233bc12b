// Result file formatting. Rows hold 16 words (80 places) written in pairs,
// each pair as a space and ten digits with leading zeros kept.
#include "report/result_writer.hpp"

#include <algorithm>

namespace atanpi {

void write_result_header(std::FILE* file, std::int32_t digits, std::int32_t formula_id) {
  std::fprintf(file, " ** Pi Computation with the original arctan method ** \n");
  std::fprintf(file, "  Number of Pi Decimal-Digits= %d, ID= %d \n", digits, formula_id);
}

void write_result_time(std::FILE* file, double seconds) {
  std::fprintf(file, " Pi Computation,  Time(s)= %f \n\n", seconds);
}

void write_result_digits(std::FILE* file, const std::int32_t* acc, std::int32_t n) {
  std::fprintf(file, " Pi = 3.");
  // Word positions are 1-based here: word r is acc[r - 1].
  for (std::int64_t s = 2; s <= std::int64_t{n} - 2; s += 16) {
    const std::int64_t last = std::min(s + 15, std::int64_t{n} - 2);
    std::fprintf(file, "\n %8d", static_cast<int>((s - 2) * 5 + 1));
    for (std::int64_t r = s; r <= last; r += 2) {
      std::fprintf(file, " %5.5d%5.5d", acc[r - 1], acc[r]);
    }
  }
}

}  // namespace atanpi
