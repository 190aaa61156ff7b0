#include "base/event.h"

#include <chrono>
#include <thread>

namespace px {

void CEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

bool CEvent::Lock(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, [this] { return signalled_; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}

void Sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace px
