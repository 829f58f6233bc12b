// The built program run as a child process: typed input on a pipe, console
// text and result file compared with text built here (times masked), and
// the behaviour on bad input, on file and output errors, with closed or
// unusual standard streams, with earlier and stale files, and on signals.
// For the Windows programs under wine64 (child_process.hpp), tests of what
// only POSIX has are skipped with the reason; some check what Windows has
// in its place (share modes, Ctrl-C as the interrupting event).
#include <linux/fs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "platform/temp_name.hpp"
#include "run_command.hpp"
#include "verify/trusted_pi.hpp"

namespace atanorg {
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

// As stored: CR LF line ends from the Windows programs.
std::string expected_file(int id, int digits) {
  return as_written(" ** Pi Computation with the original arctan method ** \n"
         "  Number of Pi Decimal-Digits= " +
         std::to_string(digits) + ", ID= " + std::to_string(id) +
         " \n"
         " Pi Computation,  Time(s)= <t> \n\n" +
         expected_digit_rows(digits));
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

// A read error is not missing input: the message gives the system's reason.
TEST(Dialogue, AReadErrorOnStandardInputGivesItsReason) {
  TempDir dir;
  const Outcome run = run_with_input(dir, "", ChildSetup{.files = {{0, dir.path().string()}}});
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << describe(run.status);
  EXPECT_EQ(run.out, MENU);
  // Windows (Wine) reads a directory with another error than EISDIR.
  const std::string reason = WINDOWS_PROGRAMS ? run.err.substr(std::min<std::size_t>(36, run.err.size()))
                                              : std::string(std::strerror(EISDIR)) + "\n";
  EXPECT_EQ(run.err, "atanpi: cannot read standard input: " + reason);
  EXPECT_GT(reason.size(), 1u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

// ---- standard streams and the command line -----------------------------------

// Descriptors 0-2 closed at start: the program works as with /dev/null there,
// and the result file never receives console text.
struct ClosedCase {
  const char* name;
  std::vector<int> closed;
  std::string input;
  int status;
  std::string out;   // console text, times masked
  std::string err;   // part of standard error ("" for none at all)
  bool file;         // AtanOrg1.txt written with 100 digits
  const char* program = ATANPI_EXE;
};

void PrintTo(const ClosedCase& c, std::ostream* os) { *os << c.name; }

class ClosedAtStart : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(ClosedAtStart, RunsAsWithDevNull) {
  const ClosedCase& c = GetParam();
  TempDir dir;
  const Outcome run = run_with_input(dir, c.input, ChildSetup{.closed = c.closed}, c.program);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == c.status) << describe(run.status);
  EXPECT_EQ(mask_times(run.out), c.out);
  if (c.err.empty()) {
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  if (c.file) {
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
    EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
  } else {
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    StandardStreams, ClosedAtStart,
    ::testing::Values(ClosedCase{"Input", {0}, "", 2, MENU, "expected the formula id", false},
                      ClosedCase{"Output", {1}, "1\n100\n", 0, "", "", true},
                      ClosedCase{"OutputAndErrors", {1, 2}, "1\n100\n", 0, "", "", true},
                      // The companion that runs the same dialogue with a chosen engine.
                      ClosedCase{"BenchRunOutput", {1}, "1\n100\n", 0, "", "", true, ATANPI_BENCH_RUN_EXE}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard output that cannot be written (here /dev/full, or a pipe whose
// reader has gone, as after `| head -c 20`) is reported with the reason and
// exit status 1; a result file written completely is kept.
TEST(StandardStreams, AnOutputErrorIsReported) {
  struct Case {
    std::vector<std::string> args;
    bool broken_pipe;  // else /dev/full
  };
  for (const Case& c : {Case{{}, false}, Case{{"--help"}, false}, Case{{"--version"}, false}, Case{{}, true}}) {
    const std::vector<std::string>& args = c.args;
    SCOPED_TRACE((args.empty() ? "a run" : args[0]) + (c.broken_pipe ? ", a pipe without a reader" : ""));
    TempDir dir;
    ChildSetup setup{.args = args};
    if (c.broken_pipe) {
      setup.broken_pipes = {1};
    } else {
      setup.files = {{1, "/dev/full"}};
    }
    const Outcome run = run_with_input(dir, args.empty() ? "1\n100\n" : "", setup);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << describe(run.status);
    // Wine's C runtime loses the reason of a failed console write: the
    // message then gives EIO's.
    const std::string reason = std::strerror(c.broken_pipe ? EPIPE : ENOSPC);
    EXPECT_TRUE(run.err == "atanpi: cannot write standard output: " + reason + "\n" ||
                (WINDOWS_PROGRAMS && run.err == "atanpi: cannot write standard output: " + std::string(std::strerror(EIO)) + "\n"))
        << run.err;
    if (args.empty()) {
      EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
    }
    EXPECT_EQ(dir.entries(), args.empty() ? std::vector<std::string>{"AtanOrg1.txt"} : std::vector<std::string>{});
  }
}

// --help and --version print and exit without the dialogue.
TEST(CommandLine, HelpAndVersion) {
  TempDir dir;
  const Outcome help = run_with_input(dir, "", ChildSetup{.args = {"--help"}});
  EXPECT_TRUE(WIFEXITED(help.status) && WEXITSTATUS(help.status) == 0) << describe(help.status);
  EXPECT_EQ(help.err, "");
  for (const char* part : {"Usage: atanpi\n       atanpi --help | --version\n", "two integers", "N ",
                           "AtanOrgID.txt", "man atanpi"}) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part << "\nnot in\n" << help.out;
  }
  const Outcome version = run_with_input(dir, "", ChildSetup{.args = {"--version"}});
  EXPECT_TRUE(WIFEXITED(version.status) && WEXITSTATUS(version.status) == 0) << describe(version.status);
  // "atanpi " and a version such as 1.0 on one line.
  const std::string number = version.out.substr(std::min<std::size_t>(7, version.out.size()));
  EXPECT_TRUE(version.out.rfind("atanpi ", 0) == 0 && number.size() >= 4 && number.back() == '\n' &&
              number.find_first_not_of("0123456789.") == number.size() - 1 && number.find('.') != std::string::npos)
      << version.out;
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

// Anything else on the command line: one line of usage, exit status 2, and
// neither dialogue nor file.
TEST(CommandLine, OtherArgumentsGetTheUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-h"}, {"--Help"}, {"--versions"}, {"1"},
                                              {""}, {"--help", "--version"}, {"--version", "x"}}) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    TempDir dir;
    const Outcome run = run_with_input(dir, "1\n100\n", ChildSetup{.args = args});
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << describe(run.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "usage: atanpi [--help | --version]\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
  }
}

// atanpi-bench-run refuses what it cannot take, rather than running the
// default: a thread count that is no number from 1 to 64, an argument
// beside --list-engines, one it does not know.
TEST(CommandLine, BenchRunRefusesBadArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--threads=abc"}, {"--threads=-1"}, {"--threads="}, {"--threads=2147483648"},
        {"--threads=0"}, {"--list-engines", "extra"}, {"--threads=2", "--threads=2"}, {"--frobnicate"}}) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    TempDir dir;
    const Outcome run = run_with_input(dir, "1\n100\n", ChildSetup{.args = args}, ATANPI_BENCH_RUN_EXE);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << describe(run.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("atanpi-bench-run: '", 0), 0u) << run.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
  }
}

// ---- threads that cannot start ---------------------------------------------

// With no thread to spare (ulimit -u 1), the run is done on the program's
// own thread and without the progress line that standard error, a terminal
// here, would otherwise get.
TEST(Threads, NoThreadCanStart) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "process limits";
  std::string why;
  std::vector<std::string> args = no_threads_prefix(ATANPI_EXE, why);
  if (args.empty()) GTEST_SKIP() << why;
  const std::string program = args.front();
  args.erase(args.begin());
  args.push_back(ATANPI_EXE);
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::all);  // for nobody
  const Outcome run = run_with_input(dir, "1\n1000\n", ChildSetup{.args = args, .terminal_columns = 80},
                                     program.c_str());
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
  EXPECT_EQ(mask_times(run.out), expected_console(1, 1000));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 1000));
}

// ---- the cap ---------------------------------------------------------------

// Any request past the cap runs 5,000,035 digits. The run is stopped as soon
// as the count is shown: the full computation takes hours.
TEST(Cap, LargeRequestsAreCappedAt5000035Digits) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "the reservation shows as the file's size (Wine reserves nothing)";
  for (const std::string digits : {"99999999999", "6000000", "5000039"}) {
    SCOPED_TRACE(digits);
    TempDir dir;
    Child child(dir.path());
    child.type("1\n" + digits + "\n");
    const std::string shown = MENU + DIGITS_PROMPT + START + digits_line(5000035);
    ASSERT_TRUE(child.wait_for_output(shown)) << child.output();
    // The whole file's space is reserved and the header flushed before the
    // computation: 6,125,210 bytes are 62,501 row starts of 10 bytes,
    // 500,004 pairs of 11, " Pi = 3." and 148 bytes of header and time
    // line (the time reserved 16 characters wide, 999999999.999000).
    const std::string header =
        " ** Pi Computation with the original arctan method ** \n"
        "  Number of Pi Decimal-Digits= 5000035, ID= 1 \n";
    std::string written;
    EXPECT_TRUE(wait_until([&] {
      for (const std::string& e : dir.entries()) {
        if (e.rfind(".AtanOrg1.txt.", 0) == 0) written = read_file(dir / e);
      }
      return written.size() == 6125210 && written.compare(0, header.size(), header) == 0;
    }, 10s)) << "temporary file holds " << written.size() << " bytes: " << written.substr(0, 200);
    EXPECT_EQ(written.find_first_not_of('\0', header.size()), std::string::npos);
    child.send(SIGTERM);
    const Outcome run = child.finish();
    EXPECT_EQ(run.out, shown);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << describe(run.status);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
  }
}

// ---- the result file ---------------------------------------------------------

// What a Windows program that Ctrl-C ends returns, STATUS_CONTROL_C_EXIT,
// as Wine's exit status (its low byte).
constexpr int WINE_CONTROL_C_EXIT = 0xC000013A & 0xff;

// Ended by `sig` as the run's interruption: by the signal itself on POSIX;
// for the Windows program, which Wine gives SIGINT as the console's
// CTRL_C_EVENT, with STATUS_CONTROL_C_EXIT.
void expect_interrupted(int status, int sig) {
  if (WINDOWS_PROGRAMS) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == WINE_CONTROL_C_EXIT) << describe(status);
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << describe(status);
  }
}

// A Windows reader holding `name` in `dir` open (windows_helper hold), as
// an editor does, until the returned child's input is closed.
std::unique_ptr<Child> hold_open(const TempDir& dir, const std::string& name) {
  auto holder = std::make_unique<Child>(dir.path(), ChildSetup{.args = {"hold", name}}, ATANPI_WINDOWS_HELPER_EXE);
  EXPECT_TRUE(holder->wait_for_output("held\n")) << holder->output();
  return holder;
}


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
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "directory permission bits";
  if (geteuid() == 0) GTEST_SKIP() << "root is not bound by directory permissions";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  expect_cannot_create(run_with_input(dir, "1\n100\n"), EACCES);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

const std::string EARLIER = "an earlier result\nleft by another run\n";

// The new file keeps the earlier one's permission bits, never its set-id or
// sticky bits: the earlier file may belong to another user (here nobody,
// when the tests run as root), the new one belongs to whoever runs.
TEST(ResultFile, ACompleteRunReplacesTheEarlierFile) {
  for (const auto& [earlier_mode, new_mode] : {std::pair{0640, 0640}, {06755, 0755}, {01604, 0604}}) {
    SCOPED_TRACE(earlier_mode);
    TempDir dir;
    write_file(dir / "AtanOrg1.txt", EARLIER);
    if (geteuid() == 0) {
      ASSERT_EQ(chown((dir / "AtanOrg1.txt").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chmod((dir / "AtanOrg1.txt").c_str(), earlier_mode), 0);
    const Outcome run = run_with_input(dir, "1\n100\n");
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
    EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
    // Windows files have no permission bits or owner to keep.
    if (WINDOWS_PROGRAMS) continue;
    struct stat st {};
    ASSERT_EQ(stat((dir / "AtanOrg1.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(new_mode));
    EXPECT_EQ(st.st_uid, geteuid());
  }
}

// Every formula's file, and the edge cases of the digit count, pass
// atanpi-verify (the Windows files, with their CR LF, the Windows checker).
TEST(ResultFile, TheCheckerAcceptsTheFiles) {
  TempDir dir;
  std::vector<std::string> args;
  std::string expected;
  for (const auto& [id, digits] : {std::pair{1, 1000}, {2, 1000}, {3, 85}, {4, 5}, {5, 0}}) {
    const Outcome run = run_with_input(dir, std::to_string(id) + "\n" + std::to_string(digits) + "\n");
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
    args.push_back(result_name(id));
    expected += result_name(id) + ": formula " + std::to_string(id) + ", N=" + std::to_string(digits) + ": ";
    expected += digits == 0 ? "no digits to check, layout correct"
                            : "all " + std::to_string(digits) + " digits correct";
    if (digits / 5 % 2 == 1) {
      expected += "; guard places " + std::to_string(digits + 1) + "-" + std::to_string(digits + 5) + " match pi";
    }
    expected += "\n";
  }
  const Outcome check = run_with_input(dir, "", ChildSetup{.args = args}, ATANPI_VERIFY_EXE);
  EXPECT_TRUE(WIFEXITED(check.status) && WEXITSTATUS(check.status) == 0) << describe(check.status) << check.err;
  EXPECT_EQ(check.out, expected);
}

// The current folder's name is not ASCII: the file is made and replaced
// there all the same (on Windows through the wide-character calls).
TEST(ResultFile, AFolderNamedOutsideAscii) {
  TempDir dir;
  const fs::path folder = dir / "\xcf\x80 \xc3\xbc\xe6\x96\x87";
  fs::create_directory(folder);
  write_file(folder / "AtanOrg1.txt", EARLIER);
  Child child(folder, ChildSetup{.input = "1\n100\n"});
  const Outcome run = child.finish();
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
  EXPECT_EQ(mask_times(read_file(folder / "AtanOrg1.txt")), expected_file(1, 100));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// Windows: a file that another program holds open without sharing its
// deletion (as editors and viewers do) cannot be replaced. Held before the
// run, the run stops before computing; taken during the computation, the
// commit fails. Either way the message says so, the earlier file stays and
// no temporary file is left.
TEST(ResultFile, AFileHeldOpenByAReaderStays) {
  if (!WINDOWS_PROGRAMS) GTEST_SKIP() << "Windows only: POSIX has no share modes";
  for (const bool during : {false, true}) {
    SCOPED_TRACE(during ? "taken during the computation" : "held before the run");
    TempDir dir;
    write_file(dir / "AtanOrg1.txt", EARLIER);
    std::unique_ptr<Child> holder;
    if (!during) holder = hold_open(dir, "AtanOrg1.txt");
    // Stopped from its start line (half a second of computation ahead)
    // until the reader holds the file.
    Child child(dir.path(), ChildSetup{.input = during ? "1\n200000\n" : "1\n100\n"});
    if (during) {
      ASSERT_TRUE(child.wait_for_output(START)) << child.output();
      child.send(SIGSTOP);
      holder = hold_open(dir, "AtanOrg1.txt");
      child.send(SIGCONT);
    }
    const Outcome run = child.finish();
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << describe(run.status);
    const std::string start = during ? "atanpi: cannot write AtanOrg1.txt: " : "atanpi: cannot create AtanOrg1.txt: ";
    EXPECT_EQ(run.err.rfind(start, 0), 0u) << run.err;
    EXPECT_NE(run.err.find("another program"), std::string::npos) << run.err;
    if (!during) {
      EXPECT_EQ(run.out, MENU + DIGITS_PROMPT);
    }
    holder->close_input();
    EXPECT_TRUE(WIFEXITED(holder->finish().status));
    EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
    EXPECT_TRUE(wait_until([&] { return dir.entries() == std::vector<std::string>{"AtanOrg1.txt"}; }, 10s));
  }
}

// A result file that is a symbolic link (or a chain of them): the file it
// leads to is replaced, or created, through a temporary file beside it, and
// the links stay as they are.
TEST(ResultFile, ASymbolicLinkIsFollowedToItsTarget) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "Wine shows POSIX symbolic links as the files they lead to";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // name, text ("@" stands for the directory)
    bool earlier;                                             // results/pi.txt exists before the run
  };
  for (const Case& c : {Case{"relative", {{"AtanOrg1.txt", "results/pi.txt"}}, true},
                        Case{"chain, absolute", {{"AtanOrg1.txt", "hop"}, {"hop", "@/results/pi.txt"}}, true},
                        Case{"dangling", {{"AtanOrg1.txt", "results/../results/pi.txt"}}, false}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir / "results");
    if (c.earlier) write_file(dir / "results/pi.txt", EARLIER);
    std::vector<std::string> names = {"results"};
    for (auto [name, text] : c.links) {
      if (text[0] == '@') text = dir.path().string() + text.substr(1);
      fs::create_symlink(text, dir / name);
      names.push_back(name);
    }
    const Outcome run = run_with_input(dir, "1\n100\n");
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
    EXPECT_EQ(mask_times(read_file(dir / "results/pi.txt")), expected_file(1, 100));
    for (auto [name, text] : c.links) {
      if (text[0] == '@') text = dir.path().string() + text.substr(1);
      EXPECT_EQ(fs::read_symlink(dir / name).string(), text);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(dir.entries(), names);
    EXPECT_EQ(fs::directory_iterator(dir / "results")->path().filename(), "pi.txt");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "results"), fs::directory_iterator()), 1);
  }
}

// The name of a temporary file that a run of `host` (this one's by default),
// process `pid`, left for `name`, with `suffix` for its random letters.
constexpr std::uint32_t DEAD_PID = 99999999;  // beyond any system's process ids
std::uint32_t this_host() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return host_tag(name);
}
std::string temp_name_of(const std::string& name, const std::string& suffix, std::uint32_t pid = DEAD_PID,
                         std::uint32_t host = this_host()) {
  return "." + name + TEMP_MARKER + temp_owner_text({host, pid}) + suffix;
}

// Temporary files of runs that died are removed by the next run, whatever
// their formula: named as this program names them by a run of this host
// whose process is gone, this user's, with one link, empty or starting with
// the title line, and locked by no live run. Everything else is kept: the
// live run's own file, a file another program named alike (rsync receives
// AtanOrg3.txt into .AtanOrg3.txt.XXXXXX), the files of earlier versions
// (named without host and process) and any file that is not provably a
// dead run's. On POSIX a lock can fail (NFS without its lock daemon) or not
// reach another host: a run whose process lives, or of another host, keeps
// its file however it is locked.
TEST(ResultFile, StaleTemporaryFilesAreRemoved) {
  TempDir dir;
  Child live(dir.path());
  live.type("1\n6000000\n");
  ASSERT_TRUE(live.wait_for_output(START + digits_line(5000035))) << live.output();
  std::vector<std::string> kept = dir.entries();
  ASSERT_EQ(kept.size(), 1u);
  ASSERT_EQ(kept[0].rfind(".AtanOrg1.txt.atanpi-", 0), 0u) << kept[0];
  // As a run that died leaves it (CR LF from the Windows program).
  const std::string started = as_written(" ** Pi Computation with the original arctan method ** \n  Number of");
  write_file(dir / temp_name_of("AtanOrg1.txt", "dead01"), started);
  write_file(dir / temp_name_of("AtanOrg3.txt", "Dead03"), "");
  // Locked as a live run locks its own; on Windows held open by a reader
  // that does not share deletion.
  const std::string held = temp_name_of("AtanOrg2.txt", "held02");
  write_file(dir / held, started);
  int held_fd = -1;
  std::unique_ptr<Child> holder;
  if (WINDOWS_PROGRAMS) {
    holder = hold_open(dir, held);
  } else {
    held_fd = open((dir / held).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held_fd, LOCK_EX), 0);
  }
  kept.push_back(held);
  write_file(dir / ".AtanOrg3.txt.TbQcKU", started);
  write_file(dir / ".AtanOrg1.txt.backup", EARLIER);
  write_file(dir / ".AtanOrg1.txt.atanpi-old001", started);
  write_file(dir / temp_name_of("AtanOrg1.txt", "other1"), "keep\n");
  write_file(dir / temp_name_of("AtanOrg1.txt", "linked"), started);
  fs::create_hard_link(dir / temp_name_of("AtanOrg1.txt", "linked"), dir / "second-link");
  write_file(dir / temp_name_of("AtanOrg1.txt", "short"), started);
  fs::create_directory(dir / temp_name_of("AtanOrg1.txt", "dir001"));
  fs::create_symlink("elsewhere", dir / temp_name_of("AtanOrg1.txt", "link01"));
  kept.insert(kept.end(), {".AtanOrg3.txt.TbQcKU", ".AtanOrg1.txt.backup", ".AtanOrg1.txt.atanpi-old001",
                           temp_name_of("AtanOrg1.txt", "other1"), temp_name_of("AtanOrg1.txt", "linked"),
                           "second-link", temp_name_of("AtanOrg1.txt", "short"),
                           temp_name_of("AtanOrg1.txt", "dir001"), temp_name_of("AtanOrg1.txt", "link01"),
                           "AtanOrg1.txt"});
  if (!WINDOWS_PROGRAMS) {
    // Not locked, but of a process that lives (this test's), or of another
    // host. (Windows leaves the proof to the share mode alone.)
    for (const std::string& name : {temp_name_of("AtanOrg1.txt", "alive1", static_cast<std::uint32_t>(getpid())),
                                    temp_name_of("AtanOrg1.txt", "away01", DEAD_PID, this_host() + 1)}) {
      write_file(dir / name, started);
      kept.push_back(name);
    }
  }
  if (geteuid() == 0 && !WINDOWS_PROGRAMS) {
    // Another user's (as root the run could remove it). Windows leaves
    // such a file to its permissions.
    const std::string nobodys = temp_name_of("AtanOrg4.txt", "nobody");
    write_file(dir / nobodys, started);
    ASSERT_EQ(chown((dir / nobodys).c_str(), 65534, 65534), 0);
    kept.push_back(nobodys);
  }
  std::sort(kept.begin(), kept.end());

  const Outcome run = run_with_input(dir, "1\n100\n");
  if (held_fd >= 0) close(held_fd);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
  EXPECT_EQ(dir.entries(), kept);
  const int stop = WINDOWS_PROGRAMS ? SIGINT : SIGTERM;
  live.send(stop);
  expect_interrupted(live.finish().status, stop);
}

// A symbolic link in a sticky directory that anyone may write (as /tmp) is
// followed only when it belongs to whoever runs or to the directory's owner,
// as the kernel's fs.protected_symlinks has it; otherwise another user could
// plant AtanOrg1.txt there, leading to a file of the runner's, and have the
// run replace it. Run as root, the link and the directory are given to
// nobody to play the other user.
TEST(ResultFile, ALinkPlantedInAStickyDirectoryIsRefused) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "sticky directories and symbolic links";
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user takes root";
  const uid_t nobody = 65534;
  struct Case {
    const char* name;
    mode_t dir_mode;
    uid_t dir_owner, link_owner;
    bool followed;
  };
  for (const Case& c : {Case{"another user's link in a sticky shared directory", 01777, 0, nobody, false},
                        Case{"the runner's own link there", 01777, 0, 0, true},
                        Case{"a link of the directory's owner", 01777, nobody, nobody, true},
                        Case{"another user's link in a directory not shared", 0755, 0, nobody, true}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir / "shared");
    fs::create_directory(dir / "victim");
    write_file(dir / "victim/.bashrc", EARLIER);
    fs::create_symlink(dir / "victim/.bashrc", dir / "shared/AtanOrg1.txt");
    ASSERT_EQ(lchown((dir / "shared/AtanOrg1.txt").c_str(), c.link_owner, c.link_owner), 0);
    ASSERT_EQ(chown((dir / "shared").c_str(), c.dir_owner, c.dir_owner), 0);
    ASSERT_EQ(chmod((dir / "shared").c_str(), c.dir_mode), 0);
    Child child(dir / "shared", ChildSetup{.input = "1\n100\n"});
    const Outcome run = child.finish();
    if (c.followed) {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
      EXPECT_EQ(mask_times(read_file(dir / "victim/.bashrc")), expected_file(1, 100));
    } else {
      expect_cannot_create(run, EACCES);
      EXPECT_EQ(read_file(dir / "victim/.bashrc"), EARLIER);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "shared/AtanOrg1.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "shared"), fs::directory_iterator()), 1);
  }
}

// The whole file's space is reserved before the computation, with the time
// field 16 characters wide (the longest time written, 999,999,999.999 s); a
// run under 10 s writes 8, and the file is cut to what was written. Under a
// file size limit without room for that, the file a run under 10 s writes
// is reserved, so that a limit the file fits exactly is enough, and one
// byte less stops the run before anything is computed.
TEST(ResultFile, TheSpaceIsReservedBeforeTheComputation) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "file size limits";
  const std::string file = expected_file(1, 2000);
  const rlim_t written = file.size() - std::string("<t>").size() + std::string("0.000000").size();
  for (rlim_t limit : {written + 8, written, written - 1}) {
    SCOPED_TRACE(limit);
    TempDir dir;
    write_file(dir / "AtanOrg1.txt", EARLIER);
    const Outcome run = run_with_input(dir, "1\n2000\n", limit);
    if (limit >= written) {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
      EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), file);
      EXPECT_EQ(fs::file_size(dir / "AtanOrg1.txt"), written);
    } else {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << describe(run.status);
      EXPECT_EQ(run.out, MENU + DIGITS_PROMPT);
      EXPECT_EQ(run.err, "atanpi: cannot write AtanOrg1.txt: " + std::string(std::strerror(EFBIG)) + "\n");
      EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
  }
}

// A tmpfs (of 64 KiB unless `options` say otherwise) on `where`, mounted in
// a mount namespace of this test process's own so that nothing outside sees
// it.
class SmallFilesystem {
 public:
  explicit SmallFilesystem(const fs::path& where, const std::string& options = "size=64k") : where_(where) {
    mounted_ = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = errno;
  }
  ~SmallFilesystem() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
  SmallFilesystem(const SmallFilesystem&) = delete;
  SmallFilesystem& operator=(const SmallFilesystem&) = delete;

  bool mounted() const { return mounted_; }
  int error() const { return error_; }

 private:
  fs::path where_;
  bool mounted_ = false;
  int error_ = 0;
};

// A full disk shows at once: the 6 MB a run at the cap needs do not fit in
// 64 KiB, and the run stops before computing rather than minutes later.
// Under Wine, which reserves no space, a run of 100,000 digits (about
// 110 KB) fails when it writes, and the earlier file stays all the same.
TEST(ResultFile, AFullFilesystemShowsBeforeTheComputation) {
  // Wine's server renames and removes files itself: one started outside
  // this test's mount namespace would not see the small filesystem, so the
  // Windows program gets a Wine prefix, and with it a server, of its own.
  TempDir prefix;
  ChildSetup setup;
  if (WINDOWS_PROGRAMS) {
    setup.environment = {{"ATANPI_TEST_WINEPREFIX", (prefix / "wine").string()}};
  }
  TempDir dir;
  SmallFilesystem small(dir.path());
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(small.error());
  write_file(dir / "AtanOrg1.txt", EARLIER);
  const Outcome run = run_with_input(dir, WINDOWS_PROGRAMS ? "1\n100000\n" : "1\n6000000\n", setup);
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << describe(run.status);
  if (WINDOWS_PROGRAMS) {
    EXPECT_EQ(run.err.rfind("atanpi: cannot write AtanOrg1.txt: ", 0), 0u) << run.err;
  } else {
    EXPECT_EQ(run.out, MENU + DIGITS_PROMPT);
    EXPECT_EQ(run.err, "atanpi: cannot write AtanOrg1.txt: " + std::string(std::strerror(ENOSPC)) + "\n");
  }
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
  // What fits is written.
  const Outcome small_run = run_with_input(dir, "1\n100\n", setup);
  EXPECT_TRUE(WIFEXITED(small_run.status) && WEXITSTATUS(small_run.status) == 0) << describe(small_run.status);
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
}

// A signal whose default action ends the process, during the computation:
// the process ends by that signal, its temporary file is gone and the
// earlier result is untouched.
class Interrupted : public ::testing::TestWithParam<int> {};

// A run at the cap over an earlier AtanOrg1.txt, sent `sig` once its
// temporary file is there; sets `run` to how it ended.
void send_during_the_computation(const TempDir& dir, int sig, Outcome& run) {
  write_file(dir / "AtanOrg1.txt", EARLIER);
  Child child(dir.path());
  child.type("1\n6000000\n");
  ASSERT_TRUE(child.wait_for_output(START + digits_line(5000035))) << child.output();
  ASSERT_TRUE(dir.has_temp_file_for("AtanOrg1.txt"));
  child.send(sig);
  run = child.finish();
}

TEST_P(Interrupted, KeepsTheEarlierFile) {
  const int sig = GetParam();
  if (WINDOWS_PROGRAMS && sig != SIGINT) GTEST_SKIP() << POSIX_ONLY << "Wine turns only SIGINT into a console event";
  TempDir dir;
  Outcome run;
  ASSERT_NO_FATAL_FAILURE(send_during_the_computation(dir, sig, run));
  expect_interrupted(run.status, sig);
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  // On Windows the handler ends the process and the temporary file goes
  // with its handle, which Wine's server closes a moment after the process
  // has ended (under load, after the test has seen the status).
  if (WINDOWS_PROGRAMS) {
    EXPECT_TRUE(wait_until([&] { return !dir.has_temp_file_for("AtanOrg1.txt"); }, 10s));
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

// SIGKILL cannot be handled. On POSIX the temporary file stays, and the next
// run removes it as a dead run's; on Windows the system removes it with the
// process's handle (delete-on-close). The earlier result stays either way.
TEST(ResultFile, AKilledRunLeavesNoTemporaryFileBehind) {
  TempDir dir;
  Outcome run;
  ASSERT_NO_FATAL_FAILURE(send_during_the_computation(dir, SIGKILL, run));
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL) << describe(run.status);
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  if (WINDOWS_PROGRAMS) {
    // Wine's server closes the handles of the process it lost a moment later.
    EXPECT_TRUE(wait_until([&] { return !dir.has_temp_file_for("AtanOrg1.txt"); }, 10s));
  } else {
    EXPECT_TRUE(dir.has_temp_file_for("AtanOrg1.txt"));
    const Outcome next = run_with_input(dir, "2\n100\n");
    EXPECT_TRUE(WIFEXITED(next.status) && WEXITSTATUS(next.status) == 0) << describe(next.status);
  }
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  std::vector<std::string> left = dir.entries();
  std::erase(left, "AtanOrg2.txt");
  EXPECT_EQ(left, std::vector<std::string>{"AtanOrg1.txt"});
}

INSTANTIATE_TEST_SUITE_P(ResultFile, Interrupted,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                           SIGXCPU, SIGVTALRM, SIGPROF, SIGABRT, SIGRTMIN + 2),
                         [](const auto& info) {
                           const char* name = sigabbrev_np(info.param);
                           return name != nullptr ? std::string(name)
                                                  : "RTMINplus" + std::to_string(info.param - SIGRTMIN);
                         });

// Signals ignored on entry (nohup, trap '' INT) stay ignored, and SIGPIPE
// is ignored always (a reader gone is an output error): the run goes on
// until a signal that is not.
TEST(Signals, IgnoredOnEntryStayIgnored) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "signals ignored on entry";
  TempDir dir;
  write_file(dir / "AtanOrg1.txt", EARLIER);
  const std::vector<int> ignored = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1};
  Child child(dir.path(), ChildSetup{.ignored = ignored});
  child.type("1\n6000000\n");
  ASSERT_TRUE(child.wait_for_output(START + digits_line(5000035))) << child.output();
  for (int sig : ignored) child.send(sig);
  child.send(SIGPIPE);
  // Time to die by any of them, were it not ignored (a handler takes
  // microseconds); sent together, SIGTERM could overtake the others.
  std::this_thread::sleep_for(100ms);
  child.send(SIGTERM);
  const Outcome run = child.finish();
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << describe(run.status);
  EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

// Once the new file is in place, a signal no longer changes the outcome: the
// run ends as a success. The signal is sent the moment the rename shows
// (inotify), while the program is still finishing: test and program share
// one processor and the program runs at the lowest priority, so the test's
// wake-up preempts it (a program that ended by the signal failed nearly
// every round when tried). Fault signals sent from outside (kill -SEGV)
// count as any other; the processor's own still end the process.
TEST(Signals, ASignalAfterTheRenameChangesNothing) {
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  // AddressSanitizer's own SIGSEGV handler reports any SIGSEGV as a fault.
#if defined(__SANITIZE_ADDRESS__)
  std::vector<int> signals = {SIGTERM, SIGILL};
#else
  std::vector<int> signals = {SIGTERM, SIGSEGV, SIGILL};
#endif
  // The Windows program: Ctrl-C (SIGINT) after the rename.
  if (WINDOWS_PROGRAMS) signals = {SIGINT};
  for (std::size_t round = 0; round < 4 * signals.size(); ++round) {
    const int sig = signals[round % signals.size()];
    SCOPED_TRACE(std::to_string(round) + ": " + sigabbrev_np(sig));
    TempDir dir;
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_MOVED_TO), 0);
    Child child(dir.path());
    setpriority(PRIO_PROCESS, child.pid(), 19);
    child.type("1\n100\n");
    pollfd ready = {watch, POLLIN, 0};
    const bool renamed = poll(&ready, 1, static_cast<int>(RUN_LIMIT / 1ms)) == 1;
    if (renamed) child.send(sig);
    close(watch);
    const Outcome run = child.finish();
    EXPECT_TRUE(renamed) << "no rename seen";
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status);
    EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
  }
  sched_setaffinity(0, sizeof all, &all);
}

// ---- the progress line ---------------------------------------------------------

// What a terminal shows of standard error: the pieces between carriage
// returns and line ends, each drawn over the one before.
std::vector<std::string> drawn_lines(const std::string& err) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at = err.find_first_of("\r\n"); from < err.size(); at = err.find_first_of("\r\n", from)) {
    if (at == std::string::npos) at = err.size();
    if (at > from) lines.push_back(err.substr(from, at - from));
    from = at + 1;
  }
  return lines;
}

// On a terminal the progress line is drawn with carriage returns and spaces
// only, which any terminal can show (one that cannot erase included), and
// narrower than the window, so that nothing wraps; a window made narrower
// gets lines of its new width. A job in the background draws nothing: it
// would draw over the shell's prompt and what is typed there. (A progress
// line is at least 34 characters before it is cut.)
TEST(Progress, FitsTheTerminalAndDrawsOnlyInTheForeground) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "a pseudo-terminal is no Windows console";
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "background" : "foreground");
    TempDir dir;
    Child child(dir.path(), ChildSetup{.terminal_columns = 40, .background = background});
    child.type("1\n6000000\n");
    ASSERT_TRUE(child.wait_for_output(START + digits_line(5000035))) << child.output();
    if (background) {
      // The first line would be drawn 250 ms into the term.
      std::this_thread::sleep_for(1s);
    } else {
      ASSERT_TRUE(child.wait_for_errors([](const std::string& err) { return !drawn_lines(err).empty(); }));
      child.resize_terminal(30);
      ASSERT_TRUE(child.wait_for_errors([](const std::string& err) {
        const std::vector<std::string> lines = drawn_lines(err);
        return !lines.empty() && lines.back().size() <= 29;
      }, 10s));
    }
    child.send(SIGTERM);
    const Outcome run = child.finish();
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << describe(run.status);
    EXPECT_EQ(run.err.find('\033'), std::string::npos) << run.err;
    if (background) {
      EXPECT_EQ(run.err, "");
    }
    bool resized = false;
    for (const std::string& line : drawn_lines(run.err)) {
      resized = resized || line.size() <= 29;
      EXPECT_LE(line.size(), resized ? 29u : 39u) << line;
      EXPECT_EQ(line.rfind(" Atan(1/ 5 ): ", 0), 0u) << line;
    }
  }
}

// ---- system calls, seen and made to fail with strace -------------------------
//
// What no output shows: the order in which the file and its folder reach the
// disk, and what a run does when a system call fails. The program runs under
// strace; skipped where strace is missing or may not trace.

// The path of `name` in one of PATH's folders; "" where there is none.
std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t from = 0; from <= folders.size();) {
    const std::size_t colon = std::min(folders.find(':', from), folders.size());
    const std::string candidate = folders.substr(from, colon - from) + "/" + name;
    if (colon > from && access(candidate.c_str(), X_OK) == 0) return candidate;
    from = colon + 1;
  }
  return "";
}

// Why strace cannot serve here, or "".
std::string why_no_strace() {
  if (WINDOWS_PROGRAMS) return std::string(POSIX_ONLY) + "Linux system calls";
  const std::string strace = find_on_path("strace");
  if (strace.empty()) return "strace is not installed (scripts/setup.sh installs it)";
  TempDir dir;
  const Outcome probe =
      run_with_input(dir, "", ChildSetup{.args = {"-o", "/dev/null", "true"}}, strace.c_str());
  if (!WIFEXITED(probe.status) || WEXITSTATUS(probe.status) != 0) return "strace cannot trace here: " + probe.err;
  return "";
}

struct Traced {
  Outcome run;
  std::string trace;  // strace -f -y: "PID call(fd<path>, ...) = result" lines
};

// A run of the program in `dir` with `input`, under strace with `options`.
Traced traced_run(const TempDir& dir, const std::string& input, const std::vector<std::string>& options) {
  TempDir trace_dir;
  const std::string trace_file = (trace_dir / "trace").string();
  std::vector<std::string> args = {"-f", "-y", "-o", trace_file};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--", ATANPI_EXE});
  const std::string strace = find_on_path("strace");
  // LeakSanitizer stops the threads with ptrace, which a traced process
  // cannot; the leak check is no part of these tests.
  ChildSetup setup{.args = args, .environment = {{"ASAN_OPTIONS", "detect_leaks=0"}}};
  Traced traced{run_with_input(dir, input, setup, strace.c_str()), ""};
  traced.trace = read_file(trace_file);
  return traced;
}

// The lines of `trace` that start with one of `calls` (after the process id).
std::vector<std::string> calls_of(const std::string& trace, const std::vector<std::string>& calls) {
  std::vector<std::string> found;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t call = line.find_first_not_of("0123456789 ");
    for (const std::string& name : calls) {
      if (call != std::string::npos && line.compare(call, name.size() + 1, name + "(") == 0) {
        found.push_back(line.substr(call));
      }
    }
  }
  return found;
}

// The temporary file is flushed to disk before it is renamed, so that a
// power cut never leaves an empty or partial AtanOrg1.txt in place of the
// earlier one, and the folder after it, so that the new name is on disk
// when the run says it is done.
TEST(SystemCalls, TheFileReachesTheDiskBeforeTheRenameAndTheFolderAfterIt) {
  const std::string no_strace = why_no_strace();
  if (!no_strace.empty()) GTEST_SKIP() << no_strace;
  TempDir dir;
  write_file(dir / "AtanOrg1.txt", EARLIER);
  const Traced traced = traced_run(dir, "1\n100\n", {"-e", "trace=fsync,fdatasync,rename,renameat,renameat2"});
  EXPECT_TRUE(WIFEXITED(traced.run.status) && WEXITSTATUS(traced.run.status) == 0) << describe(traced.run.status);
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
  const std::vector<std::string> calls =
      calls_of(traced.trace, {"fsync", "fdatasync", "rename", "renameat", "renameat2"});
  const auto succeeded = [](const std::string& call) { return call.size() > 4 && call.ends_with(" = 0"); };
  const auto rename = std::find_if(calls.begin(), calls.end(), [&](const std::string& call) {
    return call.starts_with("rename") && call.find(".AtanOrg1.txt.atanpi-") != std::string::npos && succeeded(call);
  });
  ASSERT_NE(rename, calls.end()) << traced.trace;
  const std::string temp_file = "/.AtanOrg1.txt.atanpi-";
  EXPECT_TRUE(std::any_of(calls.begin(), rename, [&](const std::string& call) {
    return !call.starts_with("rename") && call.find(temp_file) != std::string::npos && succeeded(call);
  })) << "no sync of the temporary file before the rename:\n" << traced.trace;
  const std::string folder_fd = "<" + fs::canonical(dir.path()).string() + ">)";
  EXPECT_TRUE(std::any_of(rename, calls.end(), [&](const std::string& call) {
    return call.starts_with("fsync(") && call.find(folder_fd) != std::string::npos && succeeded(call);
  })) << "no sync of the folder after the rename:\n" << traced.trace;
}


// Where strace's fault injection is to strike: the first call of `calls`
// after the first trace line that holds `after`, as "NAME:when=N", N its
// number among all the calls of its name (strace counts each system call
// apart); "" when the trace has none.
std::string injection_point(const std::string& trace, const std::vector<std::string>& calls,
                            const std::string& after) {
  bool past = false;
  std::map<std::string, int> seen;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t start = line.find_first_not_of("0123456789 ");
    const std::size_t paren = line.find('(', start);
    if (start == std::string::npos || paren == std::string::npos) continue;
    const std::string name = line.substr(start, paren - start);
    const int number = ++seen[name];
    if (past && std::find(calls.begin(), calls.end(), name) != calls.end()) {
      return name + ":when=" + std::to_string(number);
    }
    past = past || line.find(after) != std::string::npos;
  }
  return "";
}

// A system call made to fail at one moment (strace's fault injection): the
// run says what failed, with the system's reason, and exits 1, or goes on
// where it can; the earlier result stays unless the new one is in place;
// and a temporary file stays only where the message names it.
TEST(SystemCalls, AFailedCallIsReportedAndLeavesNothingUnsaid) {
  const std::string no_strace = why_no_strace();
  if (!no_strace.empty()) GTEST_SKIP() << no_strace;
  const std::string eperm = std::strerror(EPERM);
  struct Case {
    const char* name;
    std::vector<std::string> calls;  // the calls to fail (strace's names, "?": where the system has it)
    std::string after;               // the first of them after the first trace line holding this
    std::string error;               // the error injected
    bool computed, in_place, temp_left;
    std::string err;  // standard error, "%T" standing for the temporary file's name
  };
  const Case cases[] = {
      // A failed lock (as on NFS without its lock daemon) would leave the
      // file to another run's clean-up: the run stops before it computes.
      {"the temporary file's lock", {"flock"}, "", "ENOLCK", false, false, false,
       "atanpi: cannot create AtanOrg1.txt: " + std::string(std::strerror(ENOLCK)) + "\n"},
      // The check that the new file's name leads to it fails: another is
      // made, and the first one removed.
      {"the status of the new temporary file", {"?fstat", "?newfstatat"}, "O_EXCL", "EIO", true, true, false, ""},
      // (After the rename: the first line naming the file itself, whichever
      // rename call the C library makes, renameat2 with its flags included.)
      {"the folder's opening for its sync", {"?open", "openat"}, "\"AtanOrg1.txt\"", "EIO", true, true, false,
       "atanpi: cannot sync the directory of AtanOrg1.txt: " + std::string(std::strerror(EIO)) +
           " (the new file is in place but may not be on disk yet)\n"},
      // As in a folder made immutable (chattr +i) just before the rename.
      {"the rename, and the temporary file's removal", {"?rename", "?renameat", "?renameat2", "?unlink", "unlinkat"},
       "", "EPERM", true, false, true,
       "atanpi: cannot rename %T to AtanOrg1.txt: " + eperm + "; the temporary file %T is left behind: " + eperm +
           "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "AtanOrg1.txt", EARLIER);
    std::string calls;
    for (const std::string& call : c.calls) calls += call + ",";
    calls.pop_back();
    std::string inject = calls + ":error=" + c.error;
    if (!c.after.empty()) {
      // Found in the trace of a run that nothing fails.
      std::vector<std::string> names;
      for (const std::string& call : c.calls) names.push_back(call.substr(call[0] == '?' ? 1 : 0));
      const std::string marks = ",?rename,?renameat,?renameat2,?open,openat";
      const Traced plain = traced_run(dir, "1\n100\n", {"-e", "trace=" + calls + marks});
      const std::string point = injection_point(plain.trace, names, c.after);
      ASSERT_NE(point, "") << plain.trace;
      inject = point + ":error=" + c.error;
      write_file(dir / "AtanOrg1.txt", EARLIER);
    }
    const Traced traced = traced_run(dir, "1\n100\n", {"-e", "trace=" + calls, "-e", "inject=" + inject});
    std::string left;
    for (const std::string& entry : dir.entries()) {
      if (entry.starts_with(".AtanOrg1.txt.")) left = entry;
    }
    std::string err = c.err;
    for (std::size_t at = err.find("%T"); at != std::string::npos; at = err.find("%T", at)) err.replace(at, 2, left);
    EXPECT_EQ(traced.run.err, err) << traced.trace;
    EXPECT_TRUE(WIFEXITED(traced.run.status) && WEXITSTATUS(traced.run.status) == (err.empty() ? 0 : 1))
        << describe(traced.run.status);
    EXPECT_EQ(mask_times(traced.run.out), c.computed ? expected_console(1, 100) : MENU + DIGITS_PROMPT);
    if (c.in_place) {
      EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
    } else {
      EXPECT_EQ(read_file(dir / "AtanOrg1.txt"), EARLIER);
    }
    EXPECT_EQ(!left.empty(), c.temp_left) << left;
    EXPECT_EQ(dir.entries().size(), c.temp_left ? 2u : 1u);
  }
}

// ---- hostile use: what the rename would refuse, watchers, full disks --------

// Ctrl-C at the prompt ends the run as it does during the computation: by
// the signal on POSIX, with STATUS_CONTROL_C_EXIT on Windows (Wine's
// CTRL_C_EVENT), never as a success; nothing is written. The input stays
// open until the run has ended: its end would end the run too.
TEST(Signals, AnInterruptAtThePromptEndsTheRun) {
  TempDir dir;
  Child child(dir.path());
  ASSERT_TRUE(child.wait_for_output(MENU)) << child.output();
  child.send(SIGINT);
  EXPECT_FALSE(child.wait_for_errors([](const std::string&) { return false; })) << "still running";
  const Outcome run = child.finish();
  expect_interrupted(run.status, SIGINT);
  EXPECT_EQ(run.out, MENU);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

// Sets or clears the append-only attribute (chattr +a) of a folder; false
// where the filesystem or the user cannot.
bool set_append_only(const fs::path& folder, bool on) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

// A file that the rename could not replace is refused before the
// computation with the system's reason, EPERM's, not after it: in a sticky
// folder (as /tmp) another user's file, even one that anyone may write,
// unless the runner owns the folder; any file in an append-only folder
// (chattr +a). The runner is nobody (through setpriv) where the sticky rule
// is to bind it, and the other user daemon.
TEST(ResultFile, WhatTheRenameWouldRefuseIsRefusedAtOnce) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << POSIX_ONLY << "sticky folders and file attributes";
  if (geteuid() != 0) GTEST_SKIP() << "playing other users takes root";
  const std::string setpriv = find_on_path("setpriv");
  if (setpriv.empty()) GTEST_SKIP() << "setpriv (util-linux) is not installed";
  constexpr uid_t NOBODY = 65534, DAEMON = 1;
  struct Case {
    const char* name;
    mode_t folder_mode;
    uid_t folder_owner, file_owner;
    bool as_nobody, append_only, refused;
  };
  for (const Case& c : {Case{"another user's file that anyone may write, in a sticky folder", 01777, 0, DAEMON,
                             true, false, true},
                        Case{"the runner's own file there", 01777, 0, NOBODY, true, false, false},
                        Case{"another user's file in the runner's sticky folder", 01777, NOBODY, DAEMON, true,
                             false, false},
                        Case{"another user's file in a folder without the sticky bit", 0777, 0, DAEMON, true,
                             false, false},
                        Case{"an append-only folder", 0755, 0, 0, false, true, true}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path folder = dir / "shared";
    fs::create_directory(folder);
    write_file(folder / "AtanOrg1.txt", EARLIER);
    ASSERT_EQ(chown((folder / "AtanOrg1.txt").c_str(), c.file_owner, c.file_owner), 0);
    ASSERT_EQ(chmod((folder / "AtanOrg1.txt").c_str(), 0666), 0);
    ASSERT_EQ(chown(folder.c_str(), c.folder_owner, c.folder_owner), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    if (c.append_only && !set_append_only(folder, true)) {
      GTEST_SKIP() << "this filesystem has no append-only folders (chattr +a)";
    }
    ChildSetup setup{.input = "1\n100\n"};
    std::string program = ATANPI_EXE;
    if (c.as_nobody) {
      setup.args = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", ATANPI_EXE};
      program = setpriv;
    }
    Child child(folder, setup, program.c_str());
    const Outcome run = child.finish();
    if (c.append_only) set_append_only(folder, false);
    if (c.refused) {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1) << describe(run.status);
      EXPECT_EQ(run.out, MENU + DIGITS_PROMPT);
      EXPECT_EQ(run.err, "atanpi: cannot create AtanOrg1.txt: " + std::string(std::strerror(EPERM)) + "\n");
      EXPECT_EQ(read_file(folder / "AtanOrg1.txt"), EARLIER);
    } else {
      EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
      EXPECT_EQ(mask_times(read_file(folder / "AtanOrg1.txt")), expected_file(1, 100));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
}

// Nothing opens the earlier result for writing before the new one takes its
// place: whoever watches it (inotify's IN_CLOSE_WRITE: build tools, sync
// clients, entr) sees it replaced, never written.
TEST(ResultFile, TheEarlierFileIsNeverOpenedForWriting) {
  TempDir dir;
  write_file(dir / "AtanOrg1.txt", EARLIER);
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (dir / "AtanOrg1.txt").c_str(), IN_CLOSE_WRITE | IN_MODIFY), 0);
  const Outcome run = run_with_input(dir, "1\n100\n");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), expected_file(1, 100));
  alignas(inotify_event) char events[4096];
  const ssize_t got = read(watch, events, sizeof events);
  close(watch);
  for (ssize_t at = 0; at < got; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events + at)->len) {
    EXPECT_EQ(reinterpret_cast<inotify_event*>(events + at)->mask & (IN_CLOSE_WRITE | IN_MODIFY), 0u);
  }
}

// On a filesystem with room for the file that a run under 10 s writes but
// not for the reservation's time field of 999,999,999.999 s (8 bytes more),
// the run reserves the smaller size, as under a file size limit: 9,905
// digits make 12,286 bytes, two short of 3 pages of 4 KiB.
TEST(ResultFile, AFileThatFitsWithoutTheWideTimeFieldIsWritten) {
  if (WINDOWS_PROGRAMS) GTEST_SKIP() << "Wine reserves no space";
  const std::string file = expected_file(1, 9905);
  const std::size_t written = file.size() - std::string("<t>").size() + std::string("0.000000").size();
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  TempDir dir;
  SmallFilesystem small(dir.path(), "size=" + std::to_string((written + page - 1) / page * page));
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(small.error());
  const Outcome run = run_with_input(dir, "1\n9905\n");
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << run.err;
  EXPECT_EQ(mask_times(read_file(dir / "AtanOrg1.txt")), file);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg1.txt"});
}

}  // namespace
}  // namespace atanorg
