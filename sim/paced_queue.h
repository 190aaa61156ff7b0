#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// One direction of a serial line: bytes come out in the order they went in, no faster than the
// line carries them (10 bits a byte at the given baud rate; 0 means at once).
namespace px::sim {

class CPacedQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CPacedQueue(uint32_t baud);
  CPacedQueue(const CPacedQueue&) = delete;
  CPacedQueue& operator=(const CPacedQueue&) = delete;

  // Queues a whole message behind what is already on the line. Ignored once closed.
  void Push(const uint8_t* data, size_t count);
  // Waits up to wait for a byte to come out, then takes every byte that has come out, up to
  // max. Returns the number taken; 0 at once when closed.
  size_t Pop(uint8_t* out, size_t max, std::chrono::milliseconds wait);
  // The line is down: drops what is queued and wakes every waiter.
  void Close();
  void Clear();
  bool Closed() const;
  bool Empty() const;

 private:
  struct Item {
    uint8_t byte;
    Clock::time_point at;
  };
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> items_;
  Clock::time_point lineFree_{};
  std::chrono::nanoseconds byteTime_;
  bool closed_ = false;
};

}  // namespace px::sim
