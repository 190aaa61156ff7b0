#pragma once
#include <cstdint>
#include <mutex>

namespace px {

// The bar's share of each step without a byte count.
inline constexpr float kFixedStepPercent = 5.0f;

// The bar's arithmetic: fixed shares for steps without a byte count, the rest spread over the
// transferred bytes. Used by the session on the thread that runs it; front ends see only the
// positions it tells and the result's.
class CProgress {
 public:
  struct Position {
    int percent;  // the bar's position: ProgressPercent truncated toward zero
    uint64_t bytesDone;
    uint64_t bytesTotal;
  };

  // Spreads what the fixed steps leave over the bytes to transfer.
  void Prepare(int fixedSteps, int64_t bytes);
  // Adds a share in percent, never beyond 100.
  Position Add(float percent);
  // A confirmed chunk or block moves the bar by its share of the transferred bytes.
  Position Transferred(uint32_t bytes);
  Position Complete();

  float ProgressPercent() const;

 private:
  Position PositionLocked() const;

  mutable std::mutex mutex_;
  float progressPercent_ = 0.0f;
  float percentPerByte_ = 0.0f;
  uint64_t bytesDone_ = 0;
  uint64_t bytesTotal_ = 0;
};

}  // namespace px
