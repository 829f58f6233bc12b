// Worker threads started once and reused for every block of work.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace atanorg {

class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Makes sure up to `wanted` threads (the caller's included) can run a job;
  // returns how many can (fewer if the system refuses more threads).
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
  unsigned long generation_ = 0;
  int running_ = 0;
  bool stopping_ = false;
};

}  // namespace atanorg
