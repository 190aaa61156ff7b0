#include "sim/framer.h"

namespace px::sim {

CPedalFramer::Heard CPedalFramer::Push(uint8_t b, bool damaged) {
  if (b == 0xF8 || b == 0xFE) {
    lastDamaged_ = damaged;
    if (damaged) curDamaged_ = true;  // a flip produced it: the message it sits in is spoilt too
    return Heard::RealTime;
  }
  if (b == 0xF0) {
    const bool dropped = inMessage_;
    lastDamaged_ = curDamaged_ || damaged;
    collecting_.clear();
    collecting_.push_back(b);
    inMessage_ = true;
    skipping_ = false;
    curDamaged_ = damaged;
    return dropped ? Heard::Restarted : Heard::None;
  }
  if (!inMessage_) {
    lastDamaged_ = damaged;
    // The tail of a message that was cut or aborted is part of that one fault.
    return skipping_ ? Heard::None : Heard::StrayByte;
  }
  if (b & 0x80 && b != 0xF7) {
    inMessage_ = false;
    skipping_ = true;
    lastDamaged_ = curDamaged_ || damaged;
    curDamaged_ = false;
    return Heard::Aborted;
  }
  collecting_.push_back(b);
  curDamaged_ = curDamaged_ || damaged;
  if (b == 0xF7 || collecting_.size() == kLimit) {
    inMessage_ = false;
    skipping_ = b != 0xF7;
    lastDamaged_ = curDamaged_;
    curDamaged_ = false;
    buffer_.swap(collecting_);
    collecting_.clear();
    return b == 0xF7 ? Heard::Message : Heard::Overlong;
  }
  return Heard::None;
}

void CPedalFramer::Reset() {
  // The rest of a message cut by the line going away is no new fault.
  skipping_ = inMessage_;
  inMessage_ = false;
  curDamaged_ = false;
  collecting_.clear();
}

}  // namespace px::sim
