// Worker threads started once and reused for every block of work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace atanorg {

// One pause of a spinning wait: a hint to the processor (on x86) that the
// loop waits on memory, which frees resources for a sibling thread.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Worker threads started once and reused for every block of work. Between
// jobs (blocks come milliseconds apart, with a little serial work between
// them) the workers spin a while before they sleep, and so does the caller
// waiting for them at the end of a job (config::JOB_SPINS_BEFORE_SLEEP).
class WorkerPool {
 public:
  WorkerPool() = default;
  // For tests: a pool that starts at most `most_workers` threads, as if the
  // system refused any more.
  explicit WorkerPool(int most_workers) : most_workers_(most_workers) {}
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Makes sure up to `wanted` threads (the caller's included) can run a job;
  // returns how many of them can: `wanted`, or fewer if the system refuses
  // more threads.
  int reserve(int wanted);

  // Runs job(t) for t = 0 .. count-1, job(0) on the calling thread, and
  // returns when all have finished. count must not exceed reserve()'s answer.
  void run(int count, const std::function<void(int)>& job);

 private:
  void work(int index);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;
  int job_count_ = 0;
  // Changed (under the mutex) when a job starts or the pool stops.
  std::atomic<unsigned long> generation_{0};
  std::atomic<int> running_{0};  // workers still in the job, changed under the mutex
  bool stopping_ = false;
  int most_workers_ = -1;  // -1: as many as the system starts
};

}  // namespace atanorg
