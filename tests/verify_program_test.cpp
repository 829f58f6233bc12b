// atanpi-verify run as a process: its output, exit statuses, and the
// files it reads (pipes, a FIFO, devices, names that need escaping).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "verify/result_check.hpp"
#include "run_command.hpp"
#include "verify_files.hpp"

namespace atanorg {
namespace {

using namespace test_support;

class VerifyProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "atanpi-verify-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs atanpi-verify in the temporary directory, after `feed` (the start
  // of a pipeline) when given; standard error goes into the output when
  // `with_errors`. `args` may end with redirections.
  Finished verify(const std::string& args, bool with_errors = false, const std::string& feed = "") const {
    return run_command("cd '" + dir_.string() + "' && " + feed + "'" ATANPI_VERIFY_EXE "' " +
                                (with_errors ? "2>&1 " : "2>/dev/null ") + args);
  }

  void write(const std::string& name, const std::string& text) const {
    write_file((dir_ / name).string(), text);
  }

  std::filesystem::path dir_;
};

TEST_F(VerifyProgram, ExitStatusesAndOneLinePerFile) {
  write("AtanOrg1.txt", result_text(1, 2000, pi()));
  write("AtanOrg4.txt", result_text(4, 85, pi()));
  write("-bad.txt", with_wrong_digit(result_text(2, 2000, pi()), 1999));

  Finished run = verify("AtanOrg1.txt AtanOrg4.txt");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "AtanOrg1.txt: formula 1, N=2000: all 2000 digits correct\n"
            "AtanOrg4.txt: formula 4, N=85: all 85 digits correct; guard places 86-90 match pi\n");

  run = verify("AtanOrg4.txt -- -bad.txt missing.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "AtanOrg4.txt: formula 4, N=85: all 85 digits correct; guard places 86-90 match pi\n"
            "-bad.txt: formula 2, N=2000: first wrong digit at place 1999: expected " + std::string(1, pi()[1998]) +
                ", found " + flipped(pi()[1998]) + " (1 of 2000 digits wrong)\n"
                "missing.txt: cannot read: No such file or directory\n");

  // A pipe is read once, with the files: its header is not taken in advance,
  // and pi grows to the places it needs.
  run = verify("/dev/stdin AtanOrg4.txt", false, "cat AtanOrg1.txt | ");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "/dev/stdin: formula 1, N=2000: all 2000 digits correct\n"
            "AtanOrg4.txt: formula 4, N=85: all 85 digits correct; guard places 86-90 match pi\n");

  write("empty.txt", "");
  run = verify("empty.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "empty.txt: malformed, line 1: the file is empty\n");

  // Names that would break the one line per file are quoted and escaped;
  // UTF-8 letters are kept.
  write("new\nline.txt", result_text(1, 85, pi()));
  write("\xcf\x80.txt", result_text(2, 80, pi()));
  write("back\\slash \x01\xff.txt", "");
  run = verify("'new\nline.txt' '\xcf\x80.txt' 'back\\slash \x01\xff.txt' 'no\tsuch \"file\"'");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "\"new\\nline.txt\": formula 1, N=85: all 85 digits correct; guard places 86-90 match pi\n"
            "\xcf\x80.txt: formula 2, N=80: all 80 digits correct\n"
            "\"back\\\\slash \\x01\\xff.txt\": malformed, line 1: the file is empty\n"
            "\"no\\tsuch \\\"file\\\"\": cannot read: No such file or directory\n");

  // So are characters that show nothing or turn the text's direction:
  // AtanOrg1.txt and a zero-width space is not AtanOrg1.txt.
  write("AtanOrg1.txt\xe2\x80\x8b", result_text(1, 85, pi()));
  write("\xe2\x80\xaetxt.1grOnatA", "");
  run = verify("'AtanOrg1.txt\xe2\x80\x8b' '\xe2\x80\xaetxt.1grOnatA'");
  EXPECT_EQ(run.out,
            "\"AtanOrg1.txt\\u200b\": formula 1, N=85: all 85 digits correct; guard places 86-90 match pi\n"
            "\"\\u202etxt.1grOnatA\": malformed, line 1: the file is empty\n");

  // A file named as a formula's result holds that formula's; a name of the
  // user's own (a renamed copy) leaves the header to say.
  write("AtanOrg2.txt", result_text(1, 85, pi()));
  write("machin.txt", result_text(1, 85, pi()));
  run = verify("AtanOrg2.txt machin.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "AtanOrg2.txt: formula 1, N=85: malformed, line 2: formula id 1 in a file named AtanOrg2.txt, which "
            "formula 2 writes\n"
            "machin.txt: formula 1, N=85: all 85 digits correct; guard places 86-90 match pi\n");

  // Standard output closed at start: no file opened takes its place, so the
  // checks run as with /dev/null there.
  run = verify("AtanOrg1.txt >&-");
  EXPECT_EQ(run.status, 0);
}

// A FIFO is opened once, in its turn, and read to its end; opened and closed
// in the pass over the headers, it would let its writer through and lose
// what it wrote, and the second open would wait for a writer forever. The
// writer here waits in its open before the checker starts.
TEST_F(VerifyProgram, AFifoIsOpenedOnce) {
  std::signal(SIGPIPE, SIG_IGN);
  write("AtanOrg4.txt", result_text(4, 85, pi()));
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string text = result_text(1, 2000, pi());
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    for (std::size_t off = 0; off < text.size();) {
      const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    close(fd);
  });
  // A checker that waits for a second writer is stopped after 20 s.
  const Finished run = verify("AtanOrg4.txt fifo", false, "timeout 20 ");
  // Should the checker never have opened the FIFO, this lets the writer go.
  const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  close(unblock);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "AtanOrg4.txt: formula 4, N=85: all 85 digits correct; guard places 86-90 match pi\n"
            "fifo: formula 1, N=2000: all 2000 digits correct\n");
}

// Reading stops at the largest size a result can have: a device that never
// ends, sparse files one byte either side of that size, and a valid header
// at the cap followed by padding (whose pi is not computed).
TEST_F(VerifyProgram, FilesLargerThanAResultAreNotRead) {
  const std::string limit = std::to_string(MAX_RESULT_BYTES);
  write("zeros.txt", "");
  std::filesystem::resize_file(dir_ / "zeros.txt", MAX_RESULT_BYTES);
  write("zeros1.txt", "");
  std::filesystem::resize_file(dir_ / "zeros1.txt", MAX_RESULT_BYTES + 1);
  write("cap.txt", TITLE + "\n  Number of Pi Decimal-Digits= 5000035, ID= 5 \n");
  std::filesystem::resize_file(dir_ / "cap.txt", MAX_RESULT_BYTES + 1);

  const std::string one_byte_more = ": too large: " + std::to_string(MAX_RESULT_BYTES + 1) + " bytes, more than the " +
                                    limit + " a result file can have\n";
  const Finished run = verify("/dev/zero zeros.txt zeros1.txt cap.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "/dev/zero: too large: more than the " + limit + " bytes a result file can have\n"
                     "zeros.txt: malformed, line 1: " + nul_line_message(MAX_RESULT_BYTES) + "\n"
                     "zeros1.txt" + one_byte_more + "cap.txt" + one_byte_more);
}

// Short of threads, memory or stack, the checker gives what verdicts it
// can: with no thread to spare (ulimit -u 1) pi is computed on one thread;
// a stack limit of 80 KB (ulimit -s 80, which new threads get too) leaves
// GMP's computation its own stack; under an address space limit
// (ulimit -v) that pi at the cap does not fit in, GMP fails in a process
// of its own, and the files around get their verdicts and the status says
// trouble. (Before, each ended with an abort or a crash, and no verdict.)
TEST_F(VerifyProgram, ShortOfThreadsMemoryOrStack) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool SANITIZED = true;  // needs terabytes of address space and more stack
#else
  constexpr bool SANITIZED = false;
#endif
  std::string no_threads_why;
  std::string no_threads;
  for (const std::string& word : no_threads_prefix(ATANPI_VERIFY_EXE, no_threads_why)) no_threads += word + " ";
  write("AtanOrg1.txt", result_text(1, 2000, pi()));
  write("AtanOrg2.txt", with_wrong_digit(result_text(2, 2000, pi()), 7));
  // Only the layout counts in these, so any digits do.
  write("million.txt", result_text(1, 1000000, std::string(1000010, '0')));
  write("cap.txt", result_text(1, 5000035, std::string(5000045, '0')));
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);

  const std::string good = "AtanOrg1.txt: formula 1, N=2000: all 2000 digits correct\n";
  const std::string wrong = "AtanOrg2.txt: formula 2, N=2000: first wrong digit at place 7";
  const struct {
    const char* what;
    std::string prefix;  // the limit
    std::string skip;    // why it cannot be set here, if so
    std::string files;
    int status;
    std::string out;  // its start
  } cases[] = {
      {"no thread to spare", no_threads, no_threads_why, "AtanOrg1.txt", 0, good},
      {"80 KB of stack", "prlimit --stack=81920 -- ", SANITIZED ? "sanitizers" : "", "million.txt", 1,
       "million.txt: formula 1, N=1000000: first wrong digit at place 1:"},
      {"40 MB of address space", "prlimit --as=41943040 -- ",
       SANITIZED ? "sanitizers" : ATANPI_EMULATED_TESTS ? "the emulator's own address space" : "",
       "AtanOrg1.txt cap.txt AtanOrg2.txt", 2,
       good + "cap.txt: formula 1, N=5000035: cannot check: not enough memory to compute pi to 5000040 places\n" +
           wrong},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.skip.empty()) {
      skipped += std::string(skipped.empty() ? "" : "; ") + c.what + ": " + c.skip;
      continue;
    }
    const Finished run = verify(c.files, false, c.prefix);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
  }
  if (!skipped.empty()) GTEST_SKIP() << "not run: " << skipped;
}

// Status 2 with a message on standard error: bad usage, and output that
// cannot be written (the verdicts or the help).
TEST_F(VerifyProgram, TroubleAndHelp) {
  write("AtanOrg1.txt", result_text(1, 85, pi()));
  const struct {
    std::string args;
    std::string message;
  } troubles[] = {
      {"", "no result file given"},
      {"--frobnicate AtanOrg1.txt", "unknown option '--frobnicate'"},
      {"AtanOrg1.txt >/dev/full", "atanpi-verify: cannot write standard output: No space left on device\n"},
      {"--help >/dev/full", "atanpi-verify: cannot write standard output: No space left on device\n"},
  };
  for (const auto& t : troubles) {
    const Finished run = verify(t.args, true);
    EXPECT_EQ(run.status, 2) << t.args;
    EXPECT_NE(run.out.find(t.message), std::string::npos) << t.args << ": " << run.out;
  }

  const Finished run = verify("--help");
  EXPECT_EQ(run.status, 0);
  for (const std::string& topic : {std::string("Usage: atanpi-verify"), std::string("guard places"),
                                   std::string("Exit status"), std::string("0  every file"),
                                   std::string("1  some file"), std::string("2  trouble"),
                                   std::string("standard\n     output cannot be written"),
                                   "up to " + std::to_string(MAX_RESULT_BYTES) + " bytes"}) {
    EXPECT_NE(run.out.find(topic), std::string::npos) << topic;
  }
}

}  // namespace
}  // namespace atanorg
