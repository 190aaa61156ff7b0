#include <windows.h>

#include <utility>

#include "base/thread_io.h"

namespace px {

CThreadIoCancel::~CThreadIoCancel() {
  if (thread_ != nullptr) CloseHandle(thread_);
}

CThreadIoCancel::CThreadIoCancel(CThreadIoCancel&& other) noexcept
    : thread_(std::exchange(other.thread_, nullptr)) {}

CThreadIoCancel& CThreadIoCancel::operator=(CThreadIoCancel&& other) noexcept {
  if (this != &other) {
    if (thread_ != nullptr) CloseHandle(thread_);
    thread_ = std::exchange(other.thread_, nullptr);
  }
  return *this;
}

CThreadIoCancel CThreadIoCancel::OfCurrentThread() {
  CThreadIoCancel cancel;
  // A real handle, not GetCurrentThread's pseudo-handle, which would name the caller of Cancel.
  // CancelSynchronousIo needs THREAD_TERMINATE access to the thread.
  cancel.thread_ = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
  return cancel;
}

bool CThreadIoCancel::CancelBlockingCall() const {
  return thread_ != nullptr && CancelSynchronousIo(thread_) != FALSE;
}

}  // namespace px
