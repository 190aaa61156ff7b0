#include "sim/paced_queue.h"

#include <algorithm>

namespace px::sim {

CPacedQueue::CPacedQueue(uint32_t baud)
    : byteTime_(baud == 0 ? std::chrono::nanoseconds(0)
                          : std::chrono::nanoseconds(10'000'000'000LL / baud)) {}

namespace {
// Enough for every answer that may still be on its way, with the timing clock's bytes between.
constexpr size_t kMarks = 256;
}  // namespace

uint64_t CPacedQueue::Push(const uint8_t* data, size_t count) {
  if (count == 0) return 0;
  uint64_t last = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return 0;
    SteadyClock::time_point at = std::max(SteadyClock::now(), lineFree_);
    for (size_t i = 0; i < count; ++i) {
      at += byteTime_;
      items_.push_back({data[i], at});
    }
    lineFree_ = at;
    pushed_ += count;
    last = pushed_;
    marks_.push_back({last, false, {}});
    if (marks_.size() > kMarks) marks_.pop_front();
  }
  cv_.notify_all();
  return last;
}

void CPacedQueue::Left(size_t count, bool delivered) {
  std::lock_guard<std::mutex> lock(mutex_);
  Gone(count, delivered);
}

void CPacedQueue::Gone(uint64_t count, bool delivered) {
  gone_ += count;
  const SteadyClock::time_point now = SteadyClock::now();
  for (auto it = marks_.rbegin(); it != marks_.rend() && !it->left; ++it) {
    if (it->number > gone_) continue;
    if (!delivered) {
      it->number = 0;  // never to leave
    } else {
      it->at = now;
    }
    it->left = true;
  }
}

bool CPacedQueue::LeftAt(uint64_t number, SteadyClock::time_point& at) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Mark& mark : marks_) {
    if (mark.number == number && mark.left) {
      at = mark.at;
      return true;
    }
  }
  return false;
}

size_t CPacedQueue::Pop(uint8_t* out, size_t max, std::chrono::milliseconds wait,
                        SteadyClock::time_point* at) {
  const SteadyClock::time_point deadline = SteadyClock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) return 0;
    const SteadyClock::time_point now = SteadyClock::now();
    if (!items_.empty() && items_.front().at <= now) {
      size_t n = 0;
      while (n < max && !items_.empty() && items_.front().at <= now) {
        if (at != nullptr) at[n] = items_.front().at;
        out[n++] = items_.front().byte;
        items_.pop_front();
      }
      return n;
    }
    if (now >= deadline) return 0;
    // Waking for every byte of a long message would cost more than it shows: take them in
    // slices of at least a millisecond.
    const SteadyClock::time_point until =
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
    Gone(items_.size(), false);
    items_.clear();
  }
  cv_.notify_all();
}

void CPacedQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  Gone(items_.size(), false);
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
