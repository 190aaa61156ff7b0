#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "protocol/reply.h"

namespace px::test {

// One direction of an in-memory line: bytes pushed at one end come out at the other in order.
class ByteQueue {
 public:
  void Push(const uint8_t* data, size_t n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_.insert(bytes_.end(), data, data + n);
    }
    cv_.notify_all();
  }
  bool Pop(uint8_t& b, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, wait, [this] { return !bytes_.empty(); })) return false;
    b = bytes_.front();
    bytes_.pop_front();
    return true;
  }
  std::vector<uint8_t> Drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(bytes_.begin(), bytes_.end());
    bytes_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<uint8_t> bytes_;
};

// The updater's end of an in-memory line. "Device" bytes are injected with Inject; what the
// updater sends is collected and can be taken back with Sent.
class MemoryLink : public IByteLink {
 public:
  bool ReadByte(uint8_t& byte) override {
    if (rx_.Pop(byte, std::chrono::milliseconds(100))) return true;
    if (stopWhenDrained_ != nullptr) stopWhenDrained_->store(0);
    return false;
  }
  // A reply receiver reading this link stops at the first quiet 100 ms: flag is its
  // ReplyThreadRun, set now and cleared once everything injected has been read.
  void StopWhenDrained(std::atomic<int>& flag) {
    flag.store(1);
    stopWhenDrained_ = &flag;
  }
  void Send(const uint8_t* data, int length) override {
    std::lock_guard<std::mutex> lock(sentMutex_);
    sent_.emplace_back(data, data + length);
  }
  void Inject(const std::vector<uint8_t>& bytes) { rx_.Push(bytes.data(), bytes.size()); }
  std::vector<std::vector<uint8_t>> Sent() {
    std::lock_guard<std::mutex> lock(sentMutex_);
    return sent_;
  }
  void ClearSent() {
    std::lock_guard<std::mutex> lock(sentMutex_);
    sent_.clear();
  }

 private:
  ByteQueue rx_;
  std::atomic<int>* stopWhenDrained_ = nullptr;
  std::mutex sentMutex_;
  std::vector<std::vector<uint8_t>> sent_;
};

}  // namespace px::test
