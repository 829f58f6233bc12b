// atanpi-verify on a file at the program's cap (5,000,035 digits, written
// by the program's own writers from trusted pi): the last row's numbering,
// the guard places and the time the check takes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "verify/trusted_pi.hpp"
#include "run_command.hpp"
#include "verify_files.hpp"

namespace atanorg {
namespace {

using namespace test_support;

TEST(VerifyAtCap, CorrectAndWrongLastDigit) {
  constexpr std::int32_t CAP = 5000035;
  const std::string pi = trusted_pi_places(CAP + 10);
  std::string text = result_text(5, CAP, pi, 321.5);
  // The last row: place 5,000,001 and four groups, the guard places last.
  std::string last_row = "\n  5000001";
  for (std::size_t g = 0; g < 4; ++g) last_row.append(" ").append(pi, 5000000 + 10 * g, 10);
  ASSERT_EQ(text.substr(text.size() - last_row.size()), last_row);

  const auto dir = std::filesystem::temp_directory_path() / ("atanpi-verify-cap-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "AtanOrg5.txt").string();
  write_file(path, text);
  const std::string command = "'" ATANPI_VERIFY_EXE "' '" + path + "'";

  const auto start = std::chrono::steady_clock::now();
  const Finished good = run_command(command);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("atanpi-verify on 5,000,035 digits: %.2f s\n", seconds);
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out, path +
                         ": formula 5, N=5000035: all 5000035 digits correct;"
                         " guard places 5000036-5000040 match pi\n");

  // The last counted digit is the fifth of the last group.
  char& last = text[text.size() - 6];
  ASSERT_EQ(last, pi[CAP - 1]);
  last = last == '0' ? '1' : '0';
  write_file(path, text);
  const Finished bad = run_command(command);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("first wrong digit at place 5000035: expected " + std::string(1, pi[CAP - 1])),
            std::string::npos)
      << bad.out;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace atanorg
