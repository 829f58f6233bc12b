// The checker: trusted pi, the layout check on files written by the
// program's own writers and then damaged, and the digit comparison.
// atanpi-verify run as a process is in verify_program_test.cpp, trusted pi
// against MPFR in mpfr_pi_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verify/result_check.hpp"
#include "verify/trusted_pi.hpp"
#include "verify_files.hpp"

namespace atanorg {
namespace {

using namespace test_support;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(TrustedPi, KnownPlacesAndTruncation) {
  EXPECT_EQ(trusted_pi_places(50), "14159265358979323846264338327950288419716939937510");
  EXPECT_EQ(trusted_pi_places(0), "");
  EXPECT_EQ(trusted_pi_places(-3), "");
  // Places 762-767 are 9s and place 768 is 8: a rounded cut would carry.
  EXPECT_EQ(trusted_pi_places(767).substr(758), "134999999");
  EXPECT_EQ(trusted_pi_places(770).substr(758), "134999999837");
  // Every cut is a prefix of a longer computation.
  for (long k = 1; k <= 300; ++k) ASSERT_EQ(trusted_pi_places(k), pi().substr(0, k)) << k << " places";
}

TEST(ResultCheck, CorrectFilesOfSeveralSizes) {
  for (std::int32_t n : {5, 10, 80, 85, 160, 165, 1000, 1005, 25000}) {
    SCOPED_TRACE("N=" + std::to_string(n));
    const std::string text = result_text(3, n, pi());
    const ParsedResult r = parse_result(text);
    ASSERT_TRUE(r.ok) << "line " << r.line << ": " << r.message;
    EXPECT_EQ(r.formula_id, 3);
    EXPECT_EQ(r.digits, n);
    const bool odd_words = n / 5 % 2 == 1;
    EXPECT_EQ(places_needed(text.substr(0, HEAD_BYTES)), n + (odd_words ? 5 : 0));
    EXPECT_EQ(r.places, pi().substr(0, n + (odd_words ? 5 : 0)));
    const DigitCheck d = check_digits(r, pi());
    EXPECT_TRUE(passes(r, d));
    EXPECT_EQ(d.guard_found.size(), odd_words ? 5u : 0u);
    const std::string all = "x: formula 3, N=" + std::to_string(n) + ": all " + std::to_string(n) + " digits correct";
    EXPECT_EQ(describe("x", r, d), odd_words ? all + "; guard places " + std::to_string(n + 1) + "-" +
                                                   std::to_string(n + 5) + " match pi"
                                             : all);
  }
}

TEST(ResultCheck, WrongDigitsEarlyAndLate) {
  const std::string good = result_text(1, 1000, pi());
  for (long p : {1L, 80L, 81L, 537L, 1000L}) {
    SCOPED_TRACE("place " + std::to_string(p));
    ASSERT_EQ(good[place_offset(good, p)], pi()[p - 1]);
    const ParsedResult r = parse_result(with_wrong_digit(good, p));
    ASSERT_TRUE(r.ok) << r.message;
    const DigitCheck d = check_digits(r, pi());
    EXPECT_FALSE(passes(r, d));
    EXPECT_EQ(d.first_wrong, p);
    EXPECT_EQ(d.wrong_count, 1);
    const std::string expected(1, pi()[p - 1]);
    const std::string found(1, flipped(pi()[p - 1]));
    EXPECT_EQ(describe("f", r, d), "f: formula 1, N=1000: first wrong digit at place " + std::to_string(p) +
                                       ": expected " + expected + ", found " + found + " (1 of 1000 digits wrong)");
  }
  const DigitCheck two = check_digits(parse_result(with_wrong_digit(with_wrong_digit(good, 900), 42)), pi());
  EXPECT_EQ(two.first_wrong, 42);
  EXPECT_EQ(two.wrong_count, 2);
}

TEST(ResultCheck, GuardPlacesAreReportedNotCounted) {
  const ParsedResult r = parse_result(with_wrong_digit(result_text(5, 1005, pi()), 1008));
  const DigitCheck d = check_digits(r, pi());
  EXPECT_TRUE(passes(r, d));
  EXPECT_EQ(d.guard_expected, pi().substr(1005, 5));
  EXPECT_NE(d.guard_found, d.guard_expected);
  EXPECT_EQ(describe("g", r, d), "g: formula 5, N=1005: all 1005 digits correct; guard places 1006-1010 read " +
                                     d.guard_found + ", pi has " + d.guard_expected + " (not counted)");
}

TEST(ResultCheck, NoRowsForZeroAndNegativeCounts) {
  for (std::int32_t n : {0, -5, -2147483645}) {
    const ParsedResult r = parse_result(result_text(1, n, pi()));
    ASSERT_TRUE(r.ok) << n << ": " << r.message;
    EXPECT_TRUE(r.places.empty());
    EXPECT_EQ(describe("z", r, check_digits(r, pi())),
              "z: formula 1, N=" + std::to_string(n) + ": no digits to check, layout correct");
  }
}

// CR LF line ends are accepted. With them, N at the cap and the widest
// time a file reaches the size up to which atanpi-verify reads, and the
// widest N fills the bytes read ahead for the header.
TEST(ResultCheck, CrLfLineEndsAndTheLargestFile) {
  const ParsedResult r = parse_result(with_crlf(result_text(2, 165, pi())));
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.places, pi().substr(0, 170));

  // Only the layout is checked here, so any digits do.
  const std::string widest = with_crlf(result_text(5, 5000035, std::string(5000045, '7'), RESERVED_SECONDS));
  const ParsedResult big = parse_result(widest);
  EXPECT_TRUE(big.ok) << "line " << big.line << ": " << big.message;
  EXPECT_EQ(big.places.size(), 5000040u);
  EXPECT_EQ(widest.size(), MAX_RESULT_BYTES);
  EXPECT_EQ(places_needed(widest.substr(0, HEAD_BYTES)), 5000040);
  const std::string lowest = with_crlf(result_text(5, -2147483645, pi()));
  EXPECT_TRUE(parse_result(lowest).ok);
  EXPECT_EQ(HEAD_BYTES, lowest.find("\r\n", lowest.find("\r\n") + 2) + 2);
}

// Every prefix of a good file is rejected, with the line where it stops.
TEST(ResultCheck, TruncatedFiles) {
  const std::string good = result_text(4, 165, pi());
  for (std::size_t len = 0; len < good.size(); ++len) {
    const std::string cut = good.substr(0, len);
    const ParsedResult r = parse_result(cut);
    ASSERT_FALSE(r.ok) << "accepted the first " << len << " bytes";
    long lines = 1;
    for (char c : cut) lines += c == '\n';
    ASSERT_EQ(r.line, lines) << len << " bytes: " << r.message;
  }
  const std::string mid_row = good.substr(0, place_offset(good, 100));
  EXPECT_EQ(parse_result(mid_row).message, "the file ends after 99 of the 170 places that N=165 calls for");
}

// The formula a file's name gives: AtanOrg1.txt to AtanOrg5.txt as the
// last part of the path, matched as the system matches names (on Windows
// the same file under other spellings); any other name gives none and
// leaves the header to say. A file under another formula's name is refused.
TEST(ResultCheck, FormulaIdOfTheName) {
#ifdef _WIN32
  constexpr bool WINDOWS = true;
#else
  constexpr bool WINDOWS = false;
#endif
  const struct {
    std::string path;
    std::int32_t posix, windows;
  } names[] = {
      {"AtanOrg1.txt", 1, 1},       {"AtanOrg5.txt", 5, 5},         {"dir/AtanOrg3.txt", 3, 3},
      {"/a/b/AtanOrg4.txt", 4, 4},  {"AtanOrg0.txt", 0, 0},         {"AtanOrg6.txt", 0, 0},
      {"AtanOrg12.txt", 0, 0},      {"AtanOrg1.txt.bak", 0, 0},     {"xAtanOrg1.txt", 0, 0},
      {"AtanOrg2.txt/", 0, 0},      {"AtanOrg2.txt:x", 0, 0},       {"sub\\AtanOrg2.txt", 0, 2},
      {".\\AtanOrg2.txt", 0, 2},    {"C:AtanOrg2.txt", 0, 2},       {"C:\\d\\AtanOrg2.txt", 0, 2},
      {"atanorg2.txt", 0, 2},       {"ATANORG2.TXT", 0, 2},         {"AtanOrg2.txt.", 0, 2},
      {"AtanOrg2.txt ", 0, 2},      {"AtanOrg2.txt. .", 0, 2},      {"AtanOrg2.txt::$data", 0, 2},
  };
  for (const auto& n : names) EXPECT_EQ(formula_id_of_name(n.path), WINDOWS ? n.windows : n.posix) << n.path;

  for (std::int32_t id = 2; id <= 5; ++id) {
    const std::string name = "AtanOrg" + std::to_string(id) + ".txt";
    const ParsedResult r = parse_result(result_text(1, 85, pi()), formula_id_of_name(name));
    EXPECT_FALSE(r.ok) << id;
    EXPECT_EQ(r.message, "formula id 1 in a file named " + name + ", which formula " + std::to_string(id) + " writes");
  }
  // Paths are shown as the system writes them.
  EXPECT_EQ(display_name("sub\\AtanOrg2.txt"), WINDOWS ? "sub\\AtanOrg2.txt" : "\"sub\\\\AtanOrg2.txt\"");
}

struct Fault {
  const char* what;
  std::string text;
  long line;
  std::string message;  // the start of the message
  bool whole = false;   // `message` is all of it
};

TEST(ResultCheck, MalformedFilesNameTheLine) {
  const std::string good = result_text(1, 1000, pi());
  const std::string row_81 = good.substr(place_offset(good, 81) - 11, 98);
  const std::string row_161 = good.substr(place_offset(good, 161) - 11, 98);
  const std::size_t line_3 = good.find("\n Pi Computation") + 1;
  const std::vector<Fault> faults = {
      {"empty file", "", 1, "the file is empty"},
      {"not a result file", "hello\nworld\n", 1, "not an atanpi result file"},
      {"tab and CR in the title", replaced(good, "arctan method ** \n", "arctan\tmethod ** \r\r\n"), 1,
       "not an atanpi result file: expected \"" + TITLE +
           "\", found \" ** Pi Computation with the original arctan\\tmethod ** \\r\"",
       true},
      {"long binary line", std::string(600, '\0') + "\n", 1, nul_line_message(600), true},
      {"binary", std::string("\x7f" "ELF\0\1", 6), 1, "not an atanpi result file"},
      {"only the title", good.substr(0, good.find('\n') + 1), 2, "expected \"  Number of"},
      {"count garbled", replaced(good, "Digits= 1000", "Digits= 1e3"), 2, "expected \"  Number of"},
      // Numbers as "%d" and "%f" write them: no leading zeros, no "-0", and
      // a time neither negative nor longer than the longest written.
      {"count with a leading zero", replaced(good, "= 1000,", "= 01000,"), 2, "expected \"  Number of"},
      {"id with a leading zero", replaced(good, "ID= 1 ", "ID= 01 "), 2, "expected \"  Number of"},
      {"count minus zero", replaced(good, "= 1000,", "= -0,"), 2, "expected \"  Number of"},
      {"negative time", replaced(good, "1.250000", "-1.250000"), 3, "expected \" Pi Computation"},
      {"time with a leading zero", replaced(good, "1.250000", "01.250000"), 3, "expected \" Pi Computation"},
      {"time beyond the longest written", replaced(good, "1.250000", "1000000000.000000"), 3,
       "expected \" Pi Computation"},
      {"no space after the id", replaced(good, "ID= 1 \n", "ID= 1\n"), 2,
       "expected \"  Number of Pi Decimal-Digits= N, ID= K \", found \"  Number of Pi Decimal-Digits= 1000, ID= 1\"",
       true},
      {"id out of range", replaced(good, "ID= 1 ", "ID= 6 "), 2, "formula id 6 is not one of 1 to 5"},
      {"count not a multiple of 5", replaced(good, "= 1000,", "= 1001,"), 2, "digit count 1001 is not a multiple"},
      {"count beyond the cap", replaced(good, "= 1000,", "= 5000040,"), 2, "digit count 5000040 is beyond"},
      {"time without six decimals", replaced(good, "1.250000", "1.25"), 3, "expected \" Pi Computation"},
      {"no empty line", replaced(good, " \n\n", " \n"), 4, "expected an empty line"},
      {"wrong integer part", replaced(good, "Pi = 3.", "Pi = 4."), 5, "expected \" Pi = 3.\""},
      {"missing row", replaced(good, row_81, ""), 7, "row numbered 161, expected 81 (a row is missing)", true},
      {"rows swapped", replaced(good, row_81 + row_161, row_161 + row_81), 7, "row numbered 161, expected 81 (rows out of order: the row numbered 81 comes later)", true},
      {"row repeated", replaced(good, row_161, row_81 + row_161), 8,
       "row numbered 81, expected 161 (a row repeated)", true},
      {"row numbered off the grid", replaced(good, "\n       81", "\n       85"), 7, "row numbered 85, expected 81",
       true},
      {"row number misplaced", replaced(good, "\n       81", "\n81       "), 7,
       "expected a row numbered 81 in 8 columns after a space, found \"81       " + row_81.substr(10) + "\"", true},
      {"header count too high", replaced(good, "= 1000,", "= 2000,"), 18, "the file ends after 1000 of the 2000"},
      {"header count too low", replaced(good, "= 1000,", "= 990,"), 18, "the file goes on past place 990"},
      {"short group", replaced(good, " 8628034825", " 862803482"), 7, "group 1 of the row numbered 81"},
      {"ninth group", replaced(good, " 0628620899", " 0628620899 0000000000"), 6,
       "the row numbered 1 holds more than 8"},
      {"seven groups", replaced(good, " 0628620899\n", "\n"), 6,
       "the row numbered 1 ends after 7 groups of ten digits; N=1000 calls for 8"},
      {"trailing line end", good + "\n", 18, "the file ends with a line end"},
      // Every line ends as the first: `sed '1,2s/$/\r/'` makes a file that
      // the program never writes.
      {"CR LF on lines 1 and 2 only", with_crlf(good.substr(0, line_3)) + good.substr(line_3), 3, "the line ends in LF, the first line in CR LF: atanpi ends every line alike", true},
      {"a row ending in CR LF", replaced(good, "\n       81", "\r\n       81"), 6,
       "the line ends in CR LF, the first line in LF: atanpi ends every line alike", true},
      {"a row ending in LF", replaced(with_crlf(good), "\r\n       81", "\n       81"), 6,
       "the line ends in LF, the first line in CR LF: atanpi ends every line alike", true},
      {"row after N=0", result_text(1, 0, pi()) + "\n        1 1415926535", 5, "N=0 calls for no digit rows"},
  };
  for (const Fault& f : faults) {
    const ParsedResult r = parse_result(f.text);
    EXPECT_FALSE(r.ok) << f.what;
    EXPECT_EQ(r.line, f.line) << f.what << ": " << r.message;
    EXPECT_EQ(f.whole ? r.message : r.message.substr(0, f.message.size()), f.message) << f.what;
    // A header at fault asks for no pi (N may be far beyond the cap).
    if (f.line <= 2) {
      EXPECT_EQ(places_needed(f.text.substr(0, HEAD_BYTES)), 0) << f.what;
    }
  }
  EXPECT_EQ(describe("m", parse_result(replaced(good, "ID= 1 ", "ID= 6 ")), {}),
            "m: formula 6, N=1000: malformed, line 2: formula id 6 is not one of 1 to 5");
  EXPECT_EQ(describe("e", parse_result(""), {}), "e: malformed, line 1: the file is empty");
}

}  // namespace
}  // namespace atanorg
