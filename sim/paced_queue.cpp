#include "sim/paced_queue.h"

#include <algorithm>

namespace px::sim {

CPacedQueue::CPacedQueue(uint32_t baud)
    : byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)) {}

void CPacedQueue::Push(const uint8_t* data, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    Clock::time_point at = std::max(Clock::now(), lineFree_);
    for (size_t i = 0; i < count; ++i) {
      at += byteTime_;
      items_.push_back({data[i], at});
    }
    lineFree_ = at;
  }
  cv_.notify_all();
}

size_t CPacedQueue::Pop(uint8_t* out, size_t max, std::chrono::milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) return 0;
    const Clock::time_point now = Clock::now();
    if (!items_.empty() && items_.front().at <= now) {
      size_t n = 0;
      while (n < max && !items_.empty() && items_.front().at <= now) {
        out[n++] = items_.front().byte;
        items_.pop_front();
      }
      return n;
    }
    if (now >= deadline) return 0;
    // Waking for every byte of a long message would cost more than it shows: take them in
    // slices of at least a millisecond.
    const Clock::time_point until =
        items_.empty()
            ? deadline
            : std::min(deadline, std::max(items_.front().at, now + std::chrono::milliseconds(1)));
    cv_.wait_until(lock, until);
  }
}

void CPacedQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    items_.clear();
  }
  cv_.notify_all();
}

void CPacedQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
  lineFree_ = {};
}

bool CPacedQueue::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool CPacedQueue::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.empty();
}

}  // namespace px::sim
