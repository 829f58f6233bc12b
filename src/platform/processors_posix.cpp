// The processors a computation may use on Linux and other POSIX systems:
// the affinity mask, the control group's quota, threads kept apart, and the
// sleep of the worker pool's threads between blocks.
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "platform/cpu_quota.hpp"
#include "platform/platform.hpp"

namespace atanorg {
namespace {

// An affinity mask, grown until it holds every processor the kernel knows.
class AffinityMask {
 public:
  // The mask of thread `tid` (0: the calling thread); empty if unreadable.
  explicit AffinityMask(pid_t tid) {
    for (int size = 1024; size <= (1 << 20); size *= 2) {
      set_ = CPU_ALLOC(size);
      if (set_ == nullptr) return;
      bytes_ = CPU_ALLOC_SIZE(size);
      if (sched_getaffinity(tid, bytes_, set_) == 0) return;
      CPU_FREE(set_);
      set_ = nullptr;
      if (errno != EINVAL) return;
    }
  }
  ~AffinityMask() {
    if (set_ != nullptr) CPU_FREE(set_);
  }
  AffinityMask(const AffinityMask&) = delete;
  AffinityMask& operator=(const AffinityMask&) = delete;

  int count() const { return set_ != nullptr ? CPU_COUNT_S(bytes_, set_) : 0; }
  // Binds the calling thread to the mask, or to its index-th processor.
  void bind_all() const {
    if (set_ != nullptr) sched_setaffinity(0, bytes_, set_);
  }
  void bind_one(int index) const {
    const int size = static_cast<int>(bytes_ * 8);
    for (int cpu = 0; set_ != nullptr && cpu < size; ++cpu) {
      if (CPU_ISSET_S(cpu, bytes_, set_) && index-- == 0) {
        cpu_set_t* one = CPU_ALLOC(size);
        if (one == nullptr) return;
        CPU_ZERO_S(bytes_, one);
        CPU_SET_S(cpu, bytes_, one);
        sched_setaffinity(0, bytes_, one);
        CPU_FREE(one);
        return;
      }
    }
  }

 private:
  cpu_set_t* set_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace

int usable_processors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return threads_within(online > 0 ? static_cast<int>(online) : 0, AffinityMask(0).count(), cgroup_cpu_quota(""));
}

void spread_thread(int index, int threads) {
  // The first thread's mask is the process's: that thread is never bound.
  const AffinityMask process(getpid());
  if (threads == process.count()) {
    process.bind_one(index);
  } else {
    process.bind_all();
  }
}

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  word.wait(old, std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { word.notify_all(); }

}  // namespace atanorg
