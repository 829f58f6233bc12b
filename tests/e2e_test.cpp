// The built program run as a child process: typed input on a pipe, console
// text and result file compared with text built here (times masked), and
// the behaviour on bad input, on file errors and when interrupted.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "verify/trusted_pi.hpp"

namespace atanpi {
namespace {

using namespace test_support;

// ---- expected text ---------------------------------------------------------

// Measured times vary: "Time(s)= 0.016000 " becomes "Time(s)= <t> ". A time
// not written with six decimals stays and shows up as a difference.
std::string mask_times(std::string text) {
  const std::string key = "Time(s)= ";
  const auto is_digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const std::size_t from = at + key.size();
    std::size_t end = from;
    while (is_digit(end)) ++end;
    if (end == from || end >= text.size() || text[end] != '.') continue;
    std::size_t decimals = 0;
    while (is_digit(end + 1 + decimals)) ++decimals;
    end += 1 + decimals;
    if (decimals != 6 || end >= text.size() || text[end] != ' ') continue;
    text.replace(from, end - from, "<t>");
  }
  return text;
}

const std::string MENU =
    " Type In ID, (ID=1,2,3,4,5) \n"
    " 1;Machin, 2;Gauss, 3;Klingen., 4;Stoemer, 5;Takano \n";
const std::string DIGITS_PROMPT = " Type In N (N=Number of Pi Decimal-Digits) \n";
const std::string START = " ** Pi Computation Start ** \n";

std::string digits_line(int digits) {
  return "  Number of Pi Decimal-Digits= " + std::to_string(digits) + " \n";
}

// The x of each term, in evaluation order, by formula id.
const std::vector<std::vector<int>> TERM_XS = {
    {5, 239}, {18, 57, 239}, {10, 239, 515}, {57, 239, 682, 12943}, {49, 57, 239, 110443}};

std::string expected_console(int id, int digits) {
  std::string text = MENU + DIGITS_PROMPT + START + digits_line(digits);
  for (int x : TERM_XS[id - 1]) {
    text += " Atan(1/ " + std::to_string(x) + " ) Computation,  Time(s)= <t> \n";
  }
  return text + " Pi Computation,  Time(s)= <t> \n";
}

// " Pi = 3." and rows of 80 places in groups of ten; an odd number of
// fraction words is completed by the first guard word.
std::string expected_digit_rows(int digits) {
  std::string text = " Pi = 3.";
  const long words = digits / 5;
  if (words <= 0) return text;
  const long places = 5 * (words + words % 2);
  const std::string pi = trusted_pi_places(places);
  char label[32];
  for (long row = 0; row < places; row += 80) {
    std::snprintf(label, sizeof label, "\n %8ld", row + 1);
    text += label;
    for (long group = row; group < std::min(row + 80, places); group += 10) {
      text += ' ';
      text.append(pi, group, 10);
    }
  }
  return text;
}

std::string expected_file(int id, int digits) {
  return " ** Pi Computation with the original arctan method ** \n"
         "  Number of Pi Decimal-Digits= " +
         std::to_string(digits) + ", ID= " + std::to_string(id) +
         " \n"
         " Pi Computation,  Time(s)= <t> \n\n" +
         expected_digit_rows(digits);
}

std::string result_name(int id) { return "AtanOrg" + std::to_string(id) + ".txt"; }

// ---- complete runs ---------------------------------------------------------

struct RunCase {
  const char* name;
  std::string input;
  int id;      // the formula the run must use
  int digits;  // the digit count it must report
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class CompleteRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(CompleteRun, ConsoleAndResultFile) {
  const RunCase& c = GetParam();
  TempDir dir;
  const Outcome run = run_with_input(dir, c.input);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(mask_times(run.out), expected_console(c.id, c.digits));
  ASSERT_EQ(dir.entries(), std::vector<std::string>{result_name(c.id)});
  EXPECT_EQ(mask_times(read_file(dir / result_name(c.id))), expected_file(c.id, c.digits));
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, CompleteRun,
    ::testing::Values(
        RunCase{"Machin100", "1\n100\n", 1, 100}, RunCase{"Gauss85", "2\n85\n", 2, 85},
        RunCase{"Klingenstierna100", "3\n100\n", 3, 100}, RunCase{"Stoermer100", "4\n100\n", 4, 100},
        RunCase{"Takano2000", "5\n2000\n", 5, 2000}, RunCase{"Machin10000", "1\n10000\n", 1, 10000},
        // Ids outside 1..5 run Machin, the nearest 32-bit value included.
        RunCase{"IdZero", "0\n100\n", 1, 100}, RunCase{"IdSix", "6\n100\n", 1, 100},
        RunCase{"IdMinusTwo", "-2\n100\n", 1, 100}, RunCase{"HugeId", "99999999999\n50\n", 1, 50},
        RunCase{"HugeNegativeId", "-99999999999\n50\n", 1, 50},
        // Digit counts: cut toward zero to a multiple of 5; a negative or
        // small count writes no row.
        RunCase{"Cut333To330", "1\n333\n", 1, 330}, RunCase{"OddWords25", "1\n25\n", 1, 25},
        RunCase{"Four", "1\n4\n", 1, 0}, RunCase{"MinusFour", "3\n-4\n", 3, 0},
        RunCase{"MinusSeven", "1\n-7\n", 1, -5},
        RunCase{"HugeNegative", "2\n-99999999999\n", 2, -2147483645},
        // What "%d" accepts: blank lines, spaces, tabs, a plus sign, both
        // numbers on one line and no final line end.
        RunCase{"SpacesAndSigns", "  \n\t+3\n\n  +100 \n", 3, 100},
        RunCase{"OneLineNoLineEnd", "4 100", 4, 100}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard output reaches the pipe before each read, so a person sees each
// prompt before typing.
TEST(Dialogue, PromptsAppearBeforeTheNumbersAreTyped) {
  TempDir dir;
  Child child(dir.path());
  ASSERT_TRUE(child.wait_for_output(MENU)) << child.output();
  child.type("3\n");
  ASSERT_TRUE(child.wait_for_output(MENU + DIGITS_PROMPT)) << child.output();
  child.type("100\n");
  const Outcome run = child.finish();
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
  EXPECT_EQ(mask_times(run.out), expected_console(3, 100));
  EXPECT_EQ(mask_times(read_file(dir / result_name(3))), expected_file(3, 100));
}

// ---- input without the expected integer ------------------------------------

struct BadInputCase {
  const char* name;
  std::string input;
  bool id_read;  // the formula id was read; the digit count was not
};

void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(BadInput, NamesTheMissingNumberAndCreatesNoFile) {
  const BadInputCase& c = GetParam();
  TempDir dir;
  const Outcome run = run_with_input(dir, c.input);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << describe(run.status);
  EXPECT_EQ(run.out, c.id_read ? MENU + DIGITS_PROMPT : MENU);
  const std::string wanted = c.id_read ? "number of digits" : "formula id";
  const std::string other = c.id_read ? "formula id" : "number of digits";
  EXPECT_NE(run.err.find(wanted), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(other), std::string::npos) << run.err;
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, BadInput,
    ::testing::Values(BadInputCase{"IdLetters", "abc\n100\n", false},
                      BadInputCase{"IdEmptyInput", "", false},
                      BadInputCase{"IdBlankLinesThenEnd", "\n \n\t\n", false},
                      BadInputCase{"IdSignOnly", "-\n5\n", false},
                      BadInputCase{"DigitsLetters", "1\nabc\n", true},
                      BadInputCase{"DigitsEndOfInput", "1", true},
                      BadInputCase{"DigitsBlankLinesThenEnd", "1\n\n\n", true},
                      BadInputCase{"DigitsDecimalPoint", "1\n.5\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the cap ---------------------------------------------------------------

// Any request past the cap runs 5,000,035 digits. The run is stopped as soon
// as the count is shown: the full computation takes hours.
TEST(Cap, LargeRequestsAreCappedAt5000035Digits) {
  for (const std::string digits : {"99999999999", "6000000", "5000039"}) {
    SCOPED_TRACE(digits);
    TempDir dir;
    Child child(dir.path());
    child.type("1\n" + digits + "\n");
    const std::string shown = MENU + DIGITS_PROMPT + START + digits_line(5000035);
    ASSERT_TRUE(child.wait_for_output(shown)) << child.output();
    // The header is flushed to the temporary file before the computation.
    const std::string header =
        " ** Pi Computation with the original arctan method ** \n"
        "  Number of Pi Decimal-Digits= 5000035, ID= 1 \n";
    std::string written;
    EXPECT_TRUE(wait_until([&] {
      for (const std::string& e : dir.entries()) {
        if (e.rfind(".AtanOrg1.txt.", 0) == 0) written = read_file(dir / e);
      }
      return written == header;
    }, 10s)) << "temporary file holds: " << written;
    child.send(SIGTERM);
    const Outcome run = child.finish();
    EXPECT_EQ(run.out, shown);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << describe(run.status);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
  }
}

// ---- the result file ---------------------------------------------------------

// The file cannot be created: the message names it and gives the system's
// reason, and nothing is computed.
void expect_cannot_create(const Outcome& run, int err) {
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << describe(run.status);
  EXPECT_EQ(run.out, MENU + DIGITS_PROMPT);
  EXPECT_NE(run.err.find("AtanOrg1.txt"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(std::strerror(err)), std::string::npos) << run.err;
}

TEST(ResultFile, ADirectoryInTheWay) {
  TempDir dir;
  fs::create_directory(dir / "AtanOrg1.txt");
  expect_cannot_create(run_with_input(dir, "1\n100\n"), EISDIR);
  EXPECT_TRUE(fs::is_directory(dir / "AtanOrg1.txt"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

TEST(ResultFile, AnUnwritableDirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "root is not bound by directory permissions";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  expect_cannot_create(run_with_input(dir, "1\n100\n"), EACCES);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

const std::string EARLIER = "an earlier result\nleft by another run\n";

TEST(ResultFile, ACompleteRunReplacesTheEarlierFile) {
  TempDir dir;
  write_file(dir / "AtanOrg1.txt", EARLIER);
  fs::permissions(dir / "AtanOrg1.txt", fs::perms::owner_read | fs::perms::owner_write |
                                            fs::perms::group_read);
  const Outcome run = run_with_input(dir, "1\n100\n");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
  EXPECT_EQ(fs::status(dir / "AtanOrg1.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

// Writes fail past a file size limit: 50 bytes stops the header, 1000 bytes
// the digits of a 2000-digit run (about 2400 bytes).
TEST(ResultFile, AFailedWriteKeepsTheEarlierFile) {
  for (rlim_t limit : {50, 1000}) {
    SCOPED_TRACE(limit);
    TempDir dir;
    write_file(dir / "AtanOrg1.txt", EARLIER);
    const Outcome run = run_with_input(dir, "1\n2000\n", limit);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) != 0) << describe(run.status);
    EXPECT_NE(run.err.find("AtanOrg1.txt"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::strerror(EFBIG)), std::string::npos) << run.err;
    EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
  }
}

// Ctrl-C or SIGTERM during the computation: the process ends by that signal,
// its temporary file is gone and the earlier result is untouched.
class Interrupted : public ::testing::TestWithParam<int> {};

TEST_P(Interrupted, KeepsTheEarlierFile) {
  const int sig = GetParam();
  TempDir dir;
  write_file(dir / "AtanOrg1.txt", EARLIER);
  Child child(dir.path());
  child.type("1\n6000000\n");
  ASSERT_TRUE(child.wait_for_output(START + digits_line(5000035))) << child.output();
  ASSERT_TRUE(dir.has_temp_file_for("AtanOrg1.txt"));
  child.send(sig);
  const Outcome run = child.finish();
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == sig) << describe(run.status);
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

INSTANTIATE_TEST_SUITE_P(ResultFile, Interrupted, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
}  // namespace atanpi
