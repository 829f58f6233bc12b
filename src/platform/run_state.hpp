// The state that the commit of the result file shares with the handler of
// an interrupt (a signal on POSIX, a console event on Windows), on every
// system. The handler may run on any thread at any moment, so the two agree
// through one atomic state: whichever moves it first decides the outcome. A
// handler that wins removes the temporary file and ends the process; a
// commit that wins puts the file in place, and every interrupt after that
// leaves the run's outcome alone. Lock-free atomics only: signal handlers
// use it.
#pragma once

#include <atomic>

namespace atanorg::run_state {

enum State : int {
  RUNNING,    // an interrupt removes the temporary file and ends the process
  DYING,      // a handler is ending the process; later interrupts change nothing
  COMMITTED,  // the file is being put in place or is there; interrupts change nothing
};

inline std::atomic<int> state{RUNNING};
static_assert(std::atomic<int>::is_always_lock_free, "the state is used in signal handlers");

// Runs first in the handler that ends the run (async-signal-safe); set by
// install_result_file_cleanup.
inline std::atomic<void (*)()> interrupt_hook{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "the hook is read in signal handlers");

// The handler's move: true when this interrupt ends the run. Otherwise
// `seen` says why not: DYING (another handler is ending it) or COMMITTED.
inline bool interrupt_ends_run(int& seen) {
  seen = RUNNING;
  return state.compare_exchange_strong(seen, DYING);
}

// The commit's move, just before the file is put in place: false when a
// handler is already ending the process.
inline bool begin_commit() {
  int seen = RUNNING;
  return state.compare_exchange_strong(seen, COMMITTED);
}

// After an attempt at putting the file in place failed: an interrupt ends
// the run again.
inline void commit_failed() { state.store(RUNNING); }

}  // namespace atanorg::run_state
