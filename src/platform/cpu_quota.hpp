// The CPU time a Linux control group allows a process, read from the files
// the kernel shows: /proc/self/cgroup names the process's group in each
// hierarchy, /proc/self/mountinfo where each hierarchy is mounted, and the
// group's directory there holds the quota (cgroup v1's cpu controller:
// cpu.cfs_quota_us and cpu.cfs_period_us; v2: cpu.max, "QUOTA PERIOD" or
// "max PERIOD"). Plain file reading, so tests run it on fixture trees; the
// POSIX platform file calls it on the running system.
#pragma once

#include <string>

namespace atanorg {

// The quota in CPUs (quota / period) of the process's groups: the smallest
// of those set on the way from its group up to the root of each mounted
// hierarchy (a parent's quota limits its children), over v1 and v2 alike.
// 0 when none is set or nothing can be read. Every path read is prefixed
// with `root`: "" for the running system, a fixture directory in tests.
double cgroup_cpu_quota(const std::string& root);

// Threads worth running: the smallest of the processors online, those in
// the affinity mask and the quota (0: none) rounded to the nearest whole
// count, halves up (a quota of 1.5 gets 2 threads, which run faster than
// one does under it), and at least 1. Counts of 0 or less are unknown and
// do not limit.
int threads_within(int online, int affinity, double quota);

}  // namespace atanorg
