// Threads held up before chosen rounds of their own, as a busy or uneven
// machine holds them: the schedule's tests and the engine's differential
// tests run blocks under such patterns, each with frequencies that suit
// how many rounds its blocks have.
#pragma once

#include <chrono>
#include <thread>

namespace atanorg::test_support {

struct DelayPattern {
  const char* name;
  int thread;  // the thread held up; -1: every thread; -2: the last, before its first round only
  int every;   // held up before every such round of its own
  std::chrono::microseconds by;

  // Holds up `thread` of `threads` before its round `round` (counted by that
  // thread from 0) if the pattern says so.
  void hold_up(int thread, int threads, int round) const {
    if (by.count() == 0) return;
    const bool now = this->thread == -2 ? thread == threads - 1 && round == 0
                                        : (this->thread == -1 || this->thread == thread) && round % every == 0;
    if (now) std::this_thread::sleep_for(by);
  }
};

}  // namespace atanorg::test_support
