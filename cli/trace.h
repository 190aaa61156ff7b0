#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "protocol/reply.h"

namespace px::cli {

// Writes every message in and out: seconds since the start on the monotonic clock, direction,
// the decoded name and fields, and the bytes in hex. With several pedals sharing one file, each
// line names its port before the direction.
class CTraceTap : public IMessageTap {
 public:
  explicit CTraceTap(FILE* file, std::string port = "",
                     std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now())
      : file_(file), port_(port.empty() ? "" : port + " "), start_(start) {}
  void OnMessage(Direction direction, const uint8_t* data, size_t length) override;
  void OnSurplus(const uint8_t* data, size_t length) override;
  // A line of its own in the trace, such as what the link had to drop.
  void Note(const std::string& text);

 private:
  FILE* file_;
  std::string port_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace px::cli
