// Result file formatting. Rows hold 16 words (80 places) written in pairs,
// each pair as a space and ten digits with leading zeros kept.
#include "report/result_writer.hpp"

#include <algorithm>

#include "platform/platform.hpp"

namespace atanorg {
namespace {

// Shared by the writers and result_file_size.
const char COUNT_FORMAT[] = "  Number of Pi Decimal-Digits= %d, ID= %d \n";
const char TIME_FORMAT[] = " Pi Computation,  Time(s)= %f \n\n";
const char DIGITS_START[] = " Pi = 3.";
// A row's start: line end and the place of its first digit in 8 columns,
// enough for every place below 10^8 (the cap is 5,000,035).
const char ROW_FORMAT[] = "\n %8d";
constexpr std::int64_t ROW_START_BYTES = 10;
// A pair of words: a space and ten digits.
constexpr std::int64_t PAIR_BYTES = 11;
constexpr std::int64_t WORDS_PER_ROW = 16;

}  // namespace

void write_result_header(std::FILE* file, std::int32_t digits, std::int32_t formula_id) {
  std::fwrite(RESULT_TITLE_LINE.data(), 1, RESULT_TITLE_LINE.size(), file);
  std::fprintf(file, COUNT_FORMAT, digits, formula_id);
}

void write_result_time(std::FILE* file, double seconds) {
  std::fprintf(file, TIME_FORMAT, seconds);
}

void write_result_digits(std::FILE* file, const std::int32_t* acc, std::int32_t n) {
  std::fputs(DIGITS_START, file);
  // Word positions are 1-based here: word r is acc[r - 1].
  for (std::int64_t s = 2; s <= std::int64_t{n} - 2; s += WORDS_PER_ROW) {
    const std::int64_t last = std::min(s + WORDS_PER_ROW - 1, std::int64_t{n} - 2);
    std::fprintf(file, ROW_FORMAT, static_cast<int>((s - 2) * 5 + 1));
    for (std::int64_t r = s; r <= last; r += 2) {
      std::fprintf(file, " %5.5d%5.5d", acc[r - 1], acc[r]);
    }
  }
}

std::int64_t result_file_size(std::int32_t digits, std::int32_t formula_id, double seconds) {
  const std::int64_t lines = static_cast<std::int64_t>(RESULT_TITLE_LINE.size()) +
                             std::snprintf(nullptr, 0, COUNT_FORMAT, digits, formula_id) +
                             std::snprintf(nullptr, 0, TIME_FORMAT, seconds);
  // The rows hold the fraction words, the last pair completed by a guard
  // word when their number is odd.
  const std::int64_t words = std::max<std::int64_t>(digits / 5, 0);
  const std::int64_t rows = (words + WORDS_PER_ROW - 1) / WORDS_PER_ROW;
  const std::int64_t pairs = (words + 1) / 2;
  // Each "\n" takes what the platform's text mode stores for it (CR LF on
  // Windows): one in each header line, two in the time line, one per row.
  const auto line_ends_in = [](std::string_view text) { return std::count(text.begin(), text.end(), '\n'); };
  const std::int64_t line_ends = line_ends_in(RESULT_TITLE_LINE) + line_ends_in(COUNT_FORMAT) +
                                 line_ends_in(TIME_FORMAT) + rows * line_ends_in(ROW_FORMAT);
  return lines + static_cast<std::int64_t>(sizeof DIGITS_START - 1) + rows * ROW_START_BYTES + pairs * PAIR_BYTES +
         line_ends * (text_line_end_bytes() - 1);
}

}  // namespace atanorg
