#include "protocol/framer.h"

#include "protocol/vocabulary.h"

namespace px {

CSysExFramer::Event CSysExFramer::Push(uint8_t b) {
  if (delivered_) {
    buffer_.clear();
    delivered_ = false;
  }
  if (b == kTimingClock || b == kActiveSensing) return Event::RealTime;
  if (b == kSysExStart) {
    const bool dropped = collecting_;
    buffer_.clear();
    buffer_.push_back(b);
    collecting_ = true;
    skipping_ = false;
    return dropped ? Event::Restarted : Event::Started;
  }
  if (!collecting_) return skipping_ ? Event::None : Event::Stray;
  if ((b & 0x80) != 0 && b != kSysExEnd) {
    collecting_ = false;
    skipping_ = true;
    buffer_.clear();
    return Event::Aborted;
  }
  buffer_.push_back(b);
  if (b == kSysExEnd || buffer_.size() == capacity_) {
    collecting_ = false;
    skipping_ = b != kSysExEnd;
    delivered_ = true;
    return b == kSysExEnd ? Event::Message : Event::Overlong;
  }
  return Event::None;
}

void CSysExFramer::Reset() {
  skipping_ = collecting_;
  collecting_ = false;
  delivered_ = false;
  buffer_.clear();
}

}  // namespace px
