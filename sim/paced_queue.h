#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

// One direction of a serial line: bytes come out in the order they went in, no faster than the
// line carries them (10 bits a byte at the given baud rate; 0 means at once). The bytes are
// numbered from 1 as they are queued, and the queue remembers when the last byte of each of the
// latest messages left for good: written to the line, or read by the updater.
namespace px::sim {

class CPacedQueue {
 public:
  using SteadyClock = std::chrono::steady_clock;

  explicit CPacedQueue(uint32_t baud);
  CPacedQueue(const CPacedQueue&) = delete;
  CPacedQueue& operator=(const CPacedQueue&) = delete;

  // Queues a whole message behind what is already on the line; returns the number of its last
  // byte. Ignored (0) once closed.
  uint64_t Push(const uint8_t* data, size_t count);
  // Waits up to wait for a byte to come out, then takes every byte that has come out, up to
  // max; at[i], when given, is when byte i came out. Returns the number taken; 0 at once when
  // closed.
  size_t Pop(uint8_t* out, size_t max, std::chrono::milliseconds wait,
             SteadyClock::time_point* at = {});
  // The next count bytes taken have left for good (delivered) or will never leave.
  void Left(size_t count, bool delivered = true);
  // When the byte with this number left; false while it has not, or when it never will.
  bool LeftAt(uint64_t number, SteadyClock::time_point& at) const;
  // The line is down: drops what is queued and wakes every waiter.
  void Close();
  void Clear();
  bool Closed() const;
  bool Empty() const;

 private:
  struct Item {
    uint8_t byte;
    SteadyClock::time_point at;
  };
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> items_;
  SteadyClock::time_point lineFree_{};
  std::chrono::nanoseconds byteTime_;
  bool closed_ = false;
  // Bytes queued and bytes gone, counted from the start; the latest messages' last bytes and
  // when they left.
  struct Mark {
    uint64_t number;
    bool left;
    SteadyClock::time_point at;
  };
  uint64_t pushed_ = 0;
  uint64_t gone_ = 0;
  std::deque<Mark> marks_;
  void Gone(uint64_t count, bool delivered);
};

}  // namespace px::sim
