#include "engine/progress.h"

namespace px {

void CProgress::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ProgressPercent_ = 0.0f;
}

void CProgress::Prepare(int fixedSteps, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  PercentPerByte_ = bytes > 0
                        ? static_cast<float>((100.0 - double{kFixedStepPercent} * fixedSteps) /
                                             static_cast<double>(bytes))
                        : 0.0f;
  bytesDone_ = 0;
  bytesTotal_ = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

CProgress::Position CProgress::Add(float percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  ProgressPercent_ += percent;
  if (ProgressPercent_ > 100.0f) ProgressPercent_ = 100.0f;
  return PositionLocked();
}

CProgress::Position CProgress::Transferred(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytesDone_ += bytes;
  ProgressPercent_ += static_cast<float>(bytes) * PercentPerByte_;
  if (ProgressPercent_ > 100.0f) ProgressPercent_ = 100.0f;
  return PositionLocked();
}

CProgress::Position CProgress::Complete() {
  std::lock_guard<std::mutex> lock(mutex_);
  ProgressPercent_ = 100.0f;
  return PositionLocked();
}

float CProgress::ProgressPercent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ProgressPercent_;
}

float CProgress::PercentPerByte() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return PercentPerByte_;
}

CProgress::Position CProgress::PositionLocked() const {
  return {static_cast<int>(ProgressPercent_), bytesDone_, bytesTotal_};
}

}  // namespace px
