// The result file's layout: header, time line and the numbered digit rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "report/result_writer.hpp"
#include "verify/trusted_pi.hpp"

namespace atanorg {
namespace {

// Collects what a writer puts into a FILE*.
class Captured {
 public:
  Captured() : file_(open_memstream(&data_, &size_)) {}
  ~Captured() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(data_);
  }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;

  std::FILE* file() const { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// A normalised accumulator of n words holding pi (guard words included).
std::vector<std::int32_t> pi_words(std::int32_t n) {
  std::vector<std::int32_t> acc(n > 0 ? n : 1, 3);
  const std::string places = trusted_pi_places(5L * (n - 1));
  for (std::int32_t i = 1; i < n; ++i) acc[i] = std::stoi(places.substr(5 * (i - 1), 5));
  return acc;
}

std::string digit_section(std::int32_t n) {
  const std::vector<std::int32_t> acc = pi_words(n);
  Captured out;
  write_result_digits(out.file(), acc.data(), n);
  return out.text();
}

const std::string ROW_1 =
    "\n        1 1415926535 8979323846 2643383279 5028841971 6939937510 5820974944 5923078164 "
    "0628620899";
const std::string ROW_81 =
    "\n       81 8628034825 3421170679 8214808651 3282306647 0938446095 5058223172 5359408128 "
    "4811174502";

TEST(ResultWriter, HeaderAndTimeLines) {
  Captured out;
  write_result_header(out.file(), 100, 1);
  write_result_time(out.file(), 0.016);
  EXPECT_EQ(out.text(),
            " ** Pi Computation with the original arctan method ** \n"
            "  Number of Pi Decimal-Digits= 100, ID= 1 \n"
            " Pi Computation,  Time(s)= 0.016000 \n\n");
}

TEST(ResultWriter, DigitRows) {
  struct Case {
    std::int32_t digits;  // requested places N
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, " Pi = 3."},
      {4, " Pi = 3."},
      {-5, " Pi = 3."},
      {-7, " Pi = 3."},
      {-100, " Pi = 3."},
      // One fraction word: the pair is completed by the first guard word.
      {5, " Pi = 3.\n        1 1415926535"},
      {25, " Pi = 3.\n        1 1415926535 8979323846 2643383279"},
      {80, " Pi = 3." + ROW_1},
      {85, " Pi = 3." + ROW_1 + "\n       81 8628034825"},
      {100, " Pi = 3." + ROW_1 + "\n       81 8628034825 3421170679"},
      {165, " Pi = 3." + ROW_1 + ROW_81 + "\n      161 8410270193"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    EXPECT_EQ(digit_section(c.digits / 5 + 3), c.text);
  }
}

// At the cap (1,000,007 fraction words, odd) the last row starts at place
// 5,000,001, its number fills all 8 columns, and the first guard word makes
// 5,000,040 places in all.
TEST(ResultWriter, RowsAtTheCap) {
  const std::int32_t n = 1000010;
  std::vector<std::int32_t> acc(n);
  for (std::int32_t i = 0; i < n; ++i) acc[i] = (i + 1) % 100000;  // word r holds r mod 10^5
  Captured out;
  write_result_digits(out.file(), acc.data(), n);
  const std::string text = out.text();

  const std::size_t last_row = text.rfind('\n');
  ASSERT_NE(last_row, std::string::npos);
  EXPECT_EQ(text.substr(last_row), "\n  5000001 0000200003 0000400005 0000600007 0000800009");
  const std::size_t previous_row = text.rfind('\n', last_row - 1);
  EXPECT_EQ(text.substr(previous_row, 21), "\n  4999921 9998699987");

  // Every row: a space, the place number in 8 columns, then groups of a
  // space and ten digits.
  std::size_t rows = 0, places = 0;
  for (std::size_t at = text.find('\n'); at != std::string::npos; ++rows) {
    const std::size_t end = text.find('\n', at + 1);
    const std::string row = text.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    ASSERT_EQ((row.size() - 9) % 11, 0u) << row;
    for (std::size_t g = 9; g < row.size(); g += 11) {
      ASSERT_EQ(row[g], ' ') << row;
      const std::size_t group_end = g + 11 < row.size() ? g + 11 : std::string::npos;
      ASSERT_EQ(row.find_first_not_of("0123456789", g + 1), group_end) << row;
      places += 10;
    }
    at = end;
  }
  EXPECT_EQ(rows, 62501u);
  EXPECT_EQ(places, 5000040u);
}

}  // namespace
}  // namespace atanorg
