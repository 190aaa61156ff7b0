#pragma once
#include <cstdint>
#include <mutex>

namespace px {

// The bar's share of each step without a byte count.
inline constexpr float kFixedStepPercent = 5.0f;

// The bar's arithmetic: fixed shares for steps without a byte count, the rest spread over the
// transferred bytes. Written by the worker, read by front ends from any thread.
class CProgress {
 public:
  struct Position {
    int percent;  // the bar's position: ProgressPercent truncated toward zero
    uint64_t bytesDone;
    uint64_t bytesTotal;
  };

  void Reset();
  // Spreads what the fixed steps leave over the bytes to transfer.
  void Prepare(int fixedSteps, int64_t bytes);
  // Adds a share in percent, never beyond 100.
  Position Add(float percent);
  // A confirmed chunk or block moves the bar by its share of the transferred bytes.
  Position Transferred(uint32_t bytes);
  Position Complete();

  float ProgressPercent() const;
  float PercentPerByte() const;

 private:
  Position PositionLocked() const;

  mutable std::mutex mutex_;
  float progressPercent_ = 0.0f;
  float percentPerByte_ = 0.0f;
  uint64_t bytesDone_ = 0;
  uint64_t bytesTotal_ = 0;
};

}  // namespace px
