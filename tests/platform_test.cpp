// The processors a process may use: control group quotas read from fixture
// trees laid out as the kernel shows them, the rounding of the limits, and
// the affinity mask of the running process. The result file's commit when
// another program took its temporary file away.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/cpu_quota.hpp"
#include "platform/platform.hpp"

namespace atanorg {
namespace {

namespace fs = std::filesystem;

// Mount lines as /proc/self/mountinfo writes them.
const std::string V1_CPU = "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
const std::string V1_CPUSET = "34 31 0:31 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
const std::string V2 = "41 31 0:38 / /sys/fs/cgroup/unified rw shared:9 - cgroup2 cgroup2 rw\n";

struct QuotaCase {
  const char* name;
  std::string mountinfo;
  std::string cgroup;                                     // /proc/self/cgroup
  std::vector<std::pair<std::string, std::string>> files;  // path, content
  double quota;
};

// A group's quota lies in its directory or in any above it; the smallest
// counts, over both versions.
const std::vector<QuotaCase> QUOTA_CASES = {
    {"none set",
     V1_CPUSET + V1_CPU + V2,
     "3:cpuset:/\n2:cpu,cpuacct:/\n0::/\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/unified/cpu.max", "max 100000\n"}},
     0.0},
    {"v1 in the group, cpuset's group ignored",
     V1_CPUSET + V1_CPU,
     "3:cpuset:/other\n2:cpu,cpuacct:/box/job\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/box/job/cpu.cfs_quota_us", "150000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/box/job/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/other/cpu.cfs_quota_us", "10000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/other/cpu.cfs_period_us", "100000\n"}},
     1.5},
    {"v1 parent's smaller quota",
     V1_CPU,
     "2:cpu,cpuacct:/box/job\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/box/job/cpu.cfs_quota_us", "400000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/box/job/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_quota_us", "25000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/box/cpu.cfs_period_us", "50000\n"}},
     0.5},
    {"v2 in the group, parent unlimited",
     V2,
     "0::/user.slice/job.scope\n",
     {{"/sys/fs/cgroup/unified/user.slice/job.scope/cpu.max", "300000 100000\n"},
      {"/sys/fs/cgroup/unified/user.slice/cpu.max", "max 100000\n"}},
     3.0},
    {"v1 and v2, the smaller",
     V1_CPU + V2,
     "2:cpu,cpuacct:/a\n0::/b\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us", "300000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/unified/b/cpu.max", "50000 20000\n"}},
     2.5},
    // In a container the mount shows the container's own group as its root.
    {"container: mount root is the group",
     "50 40 0:29 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
     "2:cpu:/docker/abc\n",
     {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"}, {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
     2.0},
    {"container: group below the mount root",
     "50 40 0:38 /kube/pod /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
     "0::/kube/pod/app\n",
     {{"/sys/fs/cgroup/app/cpu.max", "400000 100000\n"}, {"/sys/fs/cgroup/cpu.max", "100000 100000\n"}},
     1.0},
    {"group outside the mount: the mount's own files",
     "50 40 0:38 /kube/pod /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
     "0::/../elsewhere\n",
     {{"/sys/fs/cgroup/cpu.max", "150000 100000\n"}},
     1.5},
    {"escaped mount point, a controller name that only starts with cpu",
     "32 31 0:29 / /sys/fs/cgroup/c\\040g rw - cgroup cgroup rw,cpu\n"
     "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n",
     "3:cpuset:/\n2:cpu:/\n",
     {{"/sys/fs/cgroup/c g/cpu.cfs_quota_us", "50000\n"},
      {"/sys/fs/cgroup/c g/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/cpuset/cpu.cfs_quota_us", "10000\n"},
      {"/sys/fs/cgroup/cpuset/cpu.cfs_period_us", "100000\n"}},
     0.5},
    {"unreadable or malformed files limit nothing",
     V1_CPU + V2,
     "2:cpu,cpuacct:/a\n0::/b\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us", "100000\n"},
      {"/sys/fs/cgroup/unified/b/cpu.max", "lots 100000\n"},
      {"/sys/fs/cgroup/unified/cpu.max", "100000 0\n"}},
     0.0},
    {"no cgroup files at all", "", "", {}, 0.0},
    // Escapes at the end of the mount point and of the mount's root.
    {"every escape, one at the very end",
     "50 40 0:38 /a\\134b\\040 /sys/fs/t\\011a\\012b\\134c\\040 rw - cgroup2 cgroup2 rw\n",
     "0::/a\\b /job\n",
     {{"/sys/fs/t\ta\nb\\c /job/cpu.max", "75000 100000\n"}, {"/sys/fs/t\ta\nb\\c /cpu.max", "400000 100000\n"}},
     0.75},
    // Lines the kernel never writes: no limit known, and no exception.
    {"a group path without its leading slash, empty and odd fields",
     V1_CPU + V2 + "::\n - \n1 2 3\n",
     "::\n:\n0:\n2:cpu,cpuacct:box/job\n0::user.slice\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "50000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/unified/cpu.max", "50000 100000\n"}},
     0.0},
    {"huge and garbled numbers",
     V1_CPU + V2,
     "2:cpu,cpuacct:/a\n0::/b\n",
     {{"/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_quota_us", "99999999999999999999999999999999999999\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/a/cpu.cfs_period_us", "1e999999\n"},
      {"/sys/fs/cgroup/unified/b/cpu.max", "-5 -5\n"},
      {"/sys/fs/cgroup/unified/cpu.max", "\x01\xff 100000\n"}},
     0.0},
};

class Fixture {
 public:
  explicit Fixture(const QuotaCase& c) {
    char name[] = "/tmp/atanpi-cgroup-XXXXXX";
    root_ = mkdtemp(name) != nullptr ? name : "";
    if (!c.mountinfo.empty()) write("/proc/self/mountinfo", c.mountinfo);
    if (!c.cgroup.empty()) write("/proc/self/cgroup", c.cgroup);
    for (const auto& [path, content] : c.files) write(path, content);
  }
  ~Fixture() {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;
  const std::string& root() const { return root_; }

 private:
  void write(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << content;
  }
  std::string root_;
};

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CgroupQuota, FixtureTrees) {
  for (const QuotaCase& c : QUOTA_CASES) {
    SCOPED_TRACE(c.name);
    Fixture tree(c);
    ASSERT_FALSE(tree.root().empty());
    EXPECT_DOUBLE_EQ(cgroup_cpu_quota(tree.root()), c.quota);
  }
}

TEST(UsableProcessors, SmallestLimitRounded) {
  struct Case {
    int online, affinity;
    double quota;
    int threads;
  };
  const Case cases[] = {
      {2, 2, 0.0, 2},    {64, 64, 4.0, 4}, {64, 3, 0.0, 3},   {64, 8, 2.4, 2}, {64, 8, 2.5, 3},
      {64, 8, 0.3, 1},   {2, 1, 1.5, 1},   {4, 0, 0.0, 4},    {0, 0, 0.0, 1},  {0, 6, 0.0, 6},
      {16, 16, 1.5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.online << " online, " << c.affinity << " in the mask, quota " << c.quota);
    EXPECT_EQ(threads_within(c.online, c.affinity, c.quota), c.threads);
  }
}

// The running process: a mask of one processor gives one thread.
TEST(UsableProcessors, FollowTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  EXPECT_LE(usable_processors(), CPU_COUNT(&saved));
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int with_one = usable_processors();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(with_one, 1);
}

// ---- the result file's commit ------------------------------------------------

// The commit renames the temporary file only while its name still leads to
// the file the run wrote: another program may have removed it, or put
// another file in its place, which would otherwise go in place of the
// result. The message names the temporary file; the earlier result stays,
// and so does what another program put there.
TEST(ResultFile, ATemporaryFileTakenAwayIsNamedAndReplacesNothing) {
  for (const bool another : {false, true}) {
    SCOPED_TRACE(another ? "another file put in its place" : "removed");
    Fixture dir(QuotaCase{});
    const std::string target = dir.root() + "/AtanOrg1.txt";
    std::ofstream(target) << "earlier\n";
    std::string error;
    std::FILE* file = open_result_file(target, 16, 16, "title\n", error);
    ASSERT_NE(file, nullptr) << error;
    std::string temp;
    for (const auto& entry : fs::directory_iterator(dir.root())) {
      if (entry.path().filename().string().starts_with(".AtanOrg1.txt.atanpi-")) temp = entry.path().string();
    }
    ASSERT_FALSE(temp.empty());
    fs::remove(temp);
    if (another) std::ofstream(temp) << "another program's\n";
    std::fputs("title\nnew\n", file);
    EXPECT_FALSE(commit_result_file(error));
    EXPECT_EQ(error, "cannot write " + target + ": its temporary file " + temp +
                         " was removed or replaced by another program");
    EXPECT_EQ(read_text(target), "earlier\n");
    EXPECT_EQ(fs::exists(temp), another);
    if (another) {
      EXPECT_EQ(read_text(temp), "another program's\n");
    }
  }
}

}  // namespace
}  // namespace atanorg
