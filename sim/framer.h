#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// The pedal's receiver: assembles System Exclusive messages from the updater's bytes with the
// same rules as the updater's own receiver, and tells what it had to throw away.
namespace px::sim {

class CPedalFramer {
 public:
  static constexpr size_t kLimit = 16384;

  enum class Heard {
    None,
    Message,    // message() holds F0 ... F7
    Overlong,   // message() holds the first 16,384 bytes, without F7
    StrayByte,  // a byte outside any message
    RealTime,   // 0xF8 or 0xFE, skipped
    Restarted,  // an F0 dropped the message being collected
    Aborted,    // another status byte ended the message being collected
  };

  // damaged: the byte was altered on its way (an injected fault). The damage sticks to the
  // message the byte belongs to, or to the junk event it causes.
  Heard Push(uint8_t byte, bool damaged = false);
  const std::vector<uint8_t>& message() const { return buffer_; }
  // Whether the last event's bytes included a damaged one.
  bool lastDamaged() const { return lastDamaged_; }
  // Drops a half-received message (the line went away); what still comes of it is skipped up to
  // the next F0.
  void Reset();

 private:
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> collecting_;
  bool inMessage_ = false;
  bool skipping_ = false;
  bool curDamaged_ = false;
  bool lastDamaged_ = false;
};

}  // namespace px::sim
