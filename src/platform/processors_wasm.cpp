// The processors a computation may use on WebAssembly: as many threads as
// the host has processors, which is what the module starts Web Workers
// (Node's worker threads) for when it loads (PTHREAD_POOL_SIZE in
// cmake/wasm.cmake): a thread started later would wait for the event loop
// that the running program blocks. Built without threads (a page that is
// not cross-origin isolated has no shared memory), one. No affinity.
#include <emscripten.h>

#include <algorithm>

#include "platform/platform.hpp"

namespace atanorg {

int usable_processors() {
#ifdef __EMSCRIPTEN_PTHREADS__
  return std::max(1, MAIN_THREAD_EM_ASM_INT({
    if (typeof navigator != 'undefined' && navigator.hardwareConcurrency) return navigator.hardwareConcurrency;
    return ENVIRONMENT_IS_NODE ? require('os').cpus().length : 1;
  }));
#else
  return 1;
#endif
}

void spread_thread(int, int) {}

void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
  word.wait(old, std::memory_order_acquire);
}

void wake_waiters(std::atomic<std::uint32_t>& word) { word.notify_all(); }

}  // namespace atanorg
