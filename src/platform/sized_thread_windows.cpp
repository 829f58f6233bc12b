// A thread of a given stack size on Windows: _beginthreadex (the C
// runtime's thread start) with the size as the stack's reservation.
#include <windows.h>
#include <process.h>

#include <cstdint>
#include <new>

#include "platform/sized_thread.hpp"

namespace atanorg {

struct SizedThread::Handle {
  HANDLE thread = nullptr;
  void (*body)(void*) = nullptr;
  void* context = nullptr;
};

namespace {

unsigned __stdcall run_body(void* handle) {
  const auto* h = static_cast<const SizedThread::Handle*>(handle);
  h->body(h->context);
  return 0;
}

}  // namespace

SizedThread::SizedThread() = default;

SizedThread::~SizedThread() { join(); }

bool SizedThread::start(std::size_t stack_bytes, void (*body)(void*), void* context) {
  std::unique_ptr<Handle> handle(new (std::nothrow) Handle);
  if (!handle) return false;
  handle->body = body;
  handle->context = context;
  const std::uintptr_t thread = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), run_body, handle.get(),
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return false;
  handle->thread = reinterpret_cast<HANDLE>(thread);
  handle_ = std::move(handle);
  return true;
}

void SizedThread::join() {
  if (!handle_) return;
  WaitForSingleObject(handle_->thread, INFINITE);
  CloseHandle(handle_->thread);
  handle_.reset();
}

}  // namespace atanorg
