#include "engine/progress.h"

namespace px {

void CProgress::Prepare(int fixedSteps, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  percentPerByte_ = bytes > 0
                        ? static_cast<float>((100.0 - double{kFixedStepPercent} * fixedSteps) /
                                             static_cast<double>(bytes))
                        : 0.0f;
  bytesDone_ = 0;
  bytesTotal_ = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

CProgress::Position CProgress::Add(float percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  progressPercent_ += percent;
  if (progressPercent_ > 100.0f) progressPercent_ = 100.0f;
  return PositionLocked();
}

CProgress::Position CProgress::Transferred(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytesDone_ += bytes;
  progressPercent_ += static_cast<float>(bytes) * percentPerByte_;
  if (progressPercent_ > 100.0f) progressPercent_ = 100.0f;
  return PositionLocked();
}

CProgress::Position CProgress::Complete() {
  std::lock_guard<std::mutex> lock(mutex_);
  progressPercent_ = 100.0f;
  return PositionLocked();
}

float CProgress::ProgressPercent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return progressPercent_;
}

CProgress::Position CProgress::PositionLocked() const {
  return {static_cast<int>(progressPercent_), bytesDone_, bytesTotal_};
}

}  // namespace px
