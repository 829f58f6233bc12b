// The processors a computation may use on 64-bit Windows: the affinity mask
// (in one processor group), a job's hard CPU cap, threads kept apart, and
// the sleep of the worker pool's threads between blocks (WaitOnAddress,
// where the C++ library's fallback for atomic waits can miss a wake-up).
#include <windows.h>

#include <bit>

#include "platform/cpu_quota.hpp"
#include "platform/platform.hpp"

namespace atanorg {
namespace {

// The processors of the process's affinity mask, where it lies in one
// processor group (a process on a machine of more than 64 processors may
// span several, and then the mask of one says nothing of the others).
DWORD_PTR single_group_mask() {
  USHORT groups[4];
  USHORT count = 4;
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessGroupAffinity(GetCurrentProcess(), &count, groups) || count != 1) return 0;
  return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) ? process : 0;
}

}  // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &old, sizeof old, INFINITE);
  std::atomic_thread_fence(std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { WakeByAddressAll(&word); }

int usable_processors() {
  const int online = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  const int affinity = std::popcount(static_cast<std::uint64_t>(single_group_mask()));
  // A job object's hard cap on CPU time, in hundredths of a percent of all
  // the processors: the counterpart of a control group's quota.
  double quota = 0;
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate, nullptr) &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) != 0 &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) != 0) {
    quota = rate.CpuRate / 10000.0 * online;
  }
  return threads_within(online, affinity, quota);
}

void spread_thread(int index, int threads) {
  const DWORD_PTR mask = single_group_mask();
  if (mask == 0) return;
  if (threads != std::popcount(static_cast<std::uint64_t>(mask))) {
    SetThreadAffinityMask(GetCurrentThread(), mask);
    return;
  }
  for (int cpu = 0; cpu < 64; ++cpu) {
    const DWORD_PTR bit = DWORD_PTR{1} << cpu;
    if ((mask & bit) != 0 && index-- == 0) {
      SetThreadAffinityMask(GetCurrentThread(), bit);
      return;
    }
  }
}

}  // namespace atanorg
