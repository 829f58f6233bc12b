// Runs at the cap (a request of 6,000,000 digits, reported as 5000035), with
// the program's own fast engine: the result checked by atanpi-verify, and a
// run interrupted halfway. Label "long": minutes per formula.
//
// ATANPI_CAP_FORMULAS selects the formulas of the verified run (default
// "4", the quickest); "1 2 3 4 5" runs them all.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "run_command.hpp"

namespace atanorg {
namespace {

using namespace test_support;

constexpr auto CAP_RUN_LIMIT = std::chrono::minutes(30);

std::vector<int> cap_formulas() {
  const char* chosen = std::getenv("ATANPI_CAP_FORMULAS");
  std::istringstream in(chosen != nullptr ? chosen : "4");
  std::vector<int> ids;
  for (int id = 0; in >> id;) ids.push_back(id);
  return ids;
}

TEST(Cap, FullRunIsVerifiedCorrect) {
  for (int id : cap_formulas()) {
    SCOPED_TRACE("formula " + std::to_string(id));
    TempDir dir;
    Child child(dir.path());
    child.type(std::to_string(id) + "\n6000000\n");
    const Outcome run = child.finish(CAP_RUN_LIMIT);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << describe(run.status) << "\n" << run.err;
    EXPECT_NE(run.out.find("  Number of Pi Decimal-Digits= 5000035 \n"), std::string::npos) << run.out;
    const std::string name = "AtanOrg" + std::to_string(id) + ".txt";
    EXPECT_EQ(dir.entries(), std::vector<std::string>{name});
    std::printf("formula %d at the cap:\n%s", id, run.out.substr(run.out.find(" ** Pi")).c_str());

    const Finished check =
        run_command(std::string(ATANPI_VERIFY_EXE) + " '" + (dir / name).string() + "' 2>&1");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("5000035"), std::string::npos) << check.out;
    std::printf("%s", check.out.c_str());
  }
}

TEST(Cap, InterruptedHalfwayKeepsTheEarlierFile) {
  TempDir dir;
  const std::string earlier = "an earlier result, to be kept as it is\n";
  write_file(dir / "AtanOrg2.txt", earlier);
  Child child(dir.path());
  child.type("2\n6000000\n");
  // Gauss: the first of its three terms is about 45% of the work.
  ASSERT_TRUE(child.wait_for_output(" Atan(1/ 18 ) Computation,", CAP_RUN_LIMIT)) << child.output();
  EXPECT_TRUE(dir.has_temp_file_for("AtanOrg2.txt"));
  child.send(SIGINT);
  const Outcome run = child.finish();
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT) << describe(run.status);
  EXPECT_EQ(read_file(dir / "AtanOrg2.txt"), earlier);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"AtanOrg2.txt"});
}

}  // namespace
}  // namespace atanorg
