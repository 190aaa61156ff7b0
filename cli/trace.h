#pragma once
#include <chrono>
#include <cstdio>
#include <mutex>

#include "protocol/reply.h"

namespace px::cli {

// Writes every message in and out: seconds since the start on the monotonic clock, direction,
// the decoded name and fields, and the bytes in hex.
class CTraceTap : public IMessageTap {
 public:
  explicit CTraceTap(FILE* file) : file_(file), start_(std::chrono::steady_clock::now()) {}
  void OnMessage(Direction direction, const uint8_t* data, size_t length) override;
  void OnSurplus(const uint8_t* data, size_t length) override;

 private:
  FILE* file_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
};

}  // namespace px::cli
