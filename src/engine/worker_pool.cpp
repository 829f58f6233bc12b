#include "engine/worker_pool.hpp"

#include <algorithm>
#include <exception>

#include "engine/series_config.hpp"

namespace atanorg {
namespace {

// Spins until `done` holds or the spins run out; whether it holds.
template <typename Done>
bool spin_until(Done done) {
  for (int i = 0; i < config::JOB_SPINS_BEFORE_SLEEP; ++i) {
    if (done()) return true;
    cpu_relax();
  }
  return done();
}

}  // namespace

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    ++generation_;
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

int WorkerPool::reserve(int wanted) {
  while (static_cast<int>(threads_.size()) + 1 < wanted) {
    if (static_cast<int>(threads_.size()) == most_workers_) break;
    try {
      const int index = static_cast<int>(threads_.size()) + 1;
      threads_.emplace_back([this, index] { work(index); });
    } catch (const std::exception&) {
      // std::system_error: no thread left to this user or no memory for a
      // stack; std::bad_alloc: none for the list. Fewer threads do the work.
      break;
    }
  }
  return std::min(wanted, static_cast<int>(threads_.size()) + 1);
}

void WorkerPool::run(int count, const std::function<void(int)>& job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    job_count_ = count;
    running_ = count - 1;
    ++generation_;
  }
  start_.notify_all();
  job(0);
  spin_until([this] { return running_.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
  job_ = nullptr;
}

void WorkerPool::work(int index) {
  unsigned long seen = 0;
  for (;;) {
    const std::function<void(int)>* job = nullptr;
    spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      if (index >= job_count_) continue;
      job = job_;
    }
    (*job)(index);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--running_ == 0) done_.notify_one();
    }
  }
}

}  // namespace atanorg
