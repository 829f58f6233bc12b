// A thread of a given stack size with POSIX threads: the size set in the
// thread's attributes, so that the process's stack limit does not apply.
#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <new>

#include "platform/sized_thread.hpp"

namespace atanorg {

struct SizedThread::Handle {
  pthread_t thread{};
  void (*body)(void*) = nullptr;
  void* context = nullptr;
};

namespace {

void* run_body(void* handle) {
  const auto* h = static_cast<const SizedThread::Handle*>(handle);
  h->body(h->context);
  return nullptr;
}

}  // namespace

SizedThread::SizedThread() = default;

SizedThread::~SizedThread() { join(); }

bool SizedThread::start(std::size_t stack_bytes, void (*body)(void*), void* context) {
  std::unique_ptr<Handle> handle(new (std::nothrow) Handle);
  if (!handle) return false;
  handle->body = body;
  handle->context = context;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  int err = pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stack_bytes, PTHREAD_STACK_MIN));
  if (err == 0) err = pthread_create(&handle->thread, &attributes, run_body, handle.get());
  pthread_attr_destroy(&attributes);
  if (err != 0) return false;
  handle_ = std::move(handle);
  return true;
}

void SizedThread::join() {
  if (!handle_) return;
  pthread_join(handle_->thread, nullptr);
  handle_.reset();
}

}  // namespace atanorg
