// A thread whose stack has the size its work needs, whatever the process's
// stack limit: on Linux `ulimit -s` sets the stack of the first thread and
// the default of every thread started later, so that `ulimit -s 80` left
// GMP's multiplication (alloca up to 32 KB a level) 80 KB. One file per
// system: sized_thread_posix.cpp, sized_thread_windows.cpp.
#pragma once

#include <cstddef>
#include <memory>

namespace atanorg {

class SizedThread {
 public:
  SizedThread();
  // Waits for a thread still running.
  ~SizedThread();
  SizedThread(const SizedThread&) = delete;
  SizedThread& operator=(const SizedThread&) = delete;

  // Runs body(context) on a new thread with a stack of `stack_bytes`; false,
  // with nothing run, when the system cannot start one (no threads or
  // processes left to this user, no memory for the stack). `body` must not
  // throw. After a start that succeeded, join() before starting again.
  bool start(std::size_t stack_bytes, void (*body)(void*), void* context);

  // Waits for the thread to end; returns at once when none was started.
  void join();

  // The system's thread and the body it runs (each system's file has its own).
  struct Handle;

 private:
  std::unique_ptr<Handle> handle_;
};

}  // namespace atanorg
