#include <utility>

#include "base/thread_io.h"

namespace px {

// POSIX has no call that ends another thread's blocking open(); the link opens its ports
// without waiting for a connection there, so nothing needs one.
CThreadIoCancel::~CThreadIoCancel() = default;

CThreadIoCancel::CThreadIoCancel(CThreadIoCancel&& other) noexcept
    : thread_(std::exchange(other.thread_, nullptr)) {}

CThreadIoCancel& CThreadIoCancel::operator=(CThreadIoCancel&& other) noexcept {
  thread_ = std::exchange(other.thread_, nullptr);
  return *this;
}

CThreadIoCancel CThreadIoCancel::OfCurrentThread() {
  return {};
}

bool CThreadIoCancel::CancelBlockingCall() const {
  return false;
}

}  // namespace px
