// The result file's layout: header, time line and the numbered digit rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "report/result_writer.hpp"
#include "verify_files.hpp"

namespace atanorg {
namespace {

using namespace test_support;

std::string digit_section(std::int32_t n) {
  const std::vector<std::int32_t> acc = pi_words(n, pi());
  return written_bytes([&](std::FILE* file) { write_result_digits(file, acc.data(), n); });
}

const std::string ROW_1 =
    "\n        1 1415926535 8979323846 2643383279 5028841971 6939937510 5820974944 5923078164 "
    "0628620899";
const std::string ROW_81 =
    "\n       81 8628034825 3421170679 8214808651 3282306647 0938446095 5058223172 5359408128 "
    "4811174502";

TEST(ResultWriter, HeaderAndTimeLines) {
  EXPECT_EQ(written_bytes([](std::FILE* file) {
              write_result_header(file, 100, 1);
              write_result_time(file, 0.016);
            }),
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

// Measured times as shown and written: milliseconds counted in 64 bits, so
// that 2^31 ms (24.8 days) and beyond come out positive and exact; never
// negative; at most the longest time, which the space reserved for the file
// holds (and which the checker accepts: verify_test).
TEST(ResultWriter, TimesAtTheExtremesFitTheReservation) {
  const struct {
    std::int64_t ms;
    std::string shown;
  } cases[] = {
      {INT64_MIN, "0.000000"},
      {-1, "0.000000"},
      {15, "0.015000"},
      {100'000'000, "100000.000000"},
      {2'147'483'647, "2147483.647000"},
      {2'147'483'648, "2147483.648000"},
      {4'294'967'301, "4294967.301000"},
      {MAX_RESULT_MS, "999999999.999000"},
      {INT64_MAX, "999999999.999000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(written_bytes([&](std::FILE* file) { write_result_time(file, result_seconds(c.ms)); }),
              " Pi Computation,  Time(s)= " + c.shown + " \n\n");
    EXPECT_LE(result_file_size(5000035, 1, result_seconds(c.ms)), result_file_size(5000035, 1, RESERVED_SECONDS));
  }
}

// The reservation is exact: result_file_size gives the bytes the writers
// store through a text-mode stream, each line end as the platform stores it
// (CR LF on Windows), for files with no row, with full and partial rows, and
// for time lines of several widths.
TEST(ResultWriter, PredictedSizeIsTheTextFilesSize) {
  for (std::int32_t digits : {-7, 0, 5, 80, 85, 165, 2000}) {
    const std::vector<std::int32_t> acc = pi_words(digits / 5 + 3, pi());
    for (double seconds : {0.0, 12.5, 99999.0}) {
      SCOPED_TRACE(std::to_string(digits) + " digits, " + std::to_string(seconds) + " s");
      const auto write = [&](std::FILE* file) {
        write_result_header(file, digits, 3);
        write_result_time(file, seconds);
        write_result_digits(file, acc.data(), digits / 5 + 3);
      };
      const std::string own = written_bytes(write);
      const std::string stored = written_bytes(write, true);
      EXPECT_EQ(stored, text_line_end_bytes() == 2 ? with_crlf(own) : own);
      EXPECT_EQ(static_cast<std::int64_t>(stored.size()), result_file_size(digits, 3, seconds));
    }
  }
}

// At the cap (1,000,007 fraction words, odd) the last row starts at place
// 5,000,001, its number fills all 8 columns, and the first guard word makes
// 5,000,040 places in all.
TEST(ResultWriter, RowsAtTheCap) {
  const std::int32_t n = 1000010;
  std::vector<std::int32_t> acc(n);
  for (std::int32_t i = 0; i < n; ++i) acc[i] = (i + 1) % 100000;  // word r holds r mod 10^5
  const std::string text = written_bytes([&](std::FILE* file) { write_result_digits(file, acc.data(), n); });

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
