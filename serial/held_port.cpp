#include "serial/held_port.h"

#include <algorithm>

namespace px::serial_detail {

std::optional<std::chrono::milliseconds> HeldPortRetryWait(std::optional<SteadyTime> ourLastClose,
                                                           SteadyTime now) {
  if (!ourLastClose || now < *ourLastClose) return std::nullopt;
  const SteadyTime until = *ourLastClose + kHeldAfterCloseMs;
  if (now >= until) return std::nullopt;
  // Rounded up, so that a wait is never 0 ms and the last one ends at or after the limit.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  return std::min(left, kHeldRetryStepMs);
}

void CPortCloses::Closed(const std::string& devicePath, SteadyTime at) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Closes that can no longer matter go, so the memory stays as small as the ports in use.
  std::erase_if(closes_,
                [at](const auto& entry) { return at - entry.second >= kHeldAfterCloseMs; });
  closes_[devicePath] = at;
}

void CPortCloses::Opened(const std::string& devicePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  closes_.erase(devicePath);
}

std::optional<SteadyTime> CPortCloses::LastClose(const std::string& devicePath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = closes_.find(devicePath);
  if (found == closes_.end()) return std::nullopt;
  return found->second;
}

CPortCloses& PortCloses() {
  static CPortCloses closes;
  return closes;
}

}  // namespace px::serial_detail
