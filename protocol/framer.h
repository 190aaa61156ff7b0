#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace px {

// Assembles System Exclusive messages from bytes pushed one at a time. Timing clock and active
// sensing are skipped wherever they come; another status byte ends the message being collected,
// and what follows is dropped up to the next 0xF0; a message that reaches the capacity without an
// 0xF7 is delivered as it stands and its rest dropped.
class CSysExFramer {
 public:
  enum class Event {
    None,       // the byte was stored or dropped; nothing to report
    Started,    // an 0xF0 began a message
    Restarted,  // an 0xF0 dropped an unfinished message and began a new one
    Message,    // a whole message ends with this 0xF7
    Overlong,   // the capacity was reached without an 0xF7: the message is delivered cut
    Aborted,    // a status byte ended an unfinished message
    Stray,      // a byte outside any message (not the rest of a cut one)
    RealTime,   // timing clock or active sensing, skipped
  };

  explicit CSysExFramer(size_t capacity) : capacity_(capacity) { buffer_.reserve(capacity); }

  Event Push(uint8_t b);
  // Drops a message being collected; its rest, if it comes, is not stray.
  void Reset();

  // The message delivered by the last Message or Overlong event, valid until the next Push.
  const uint8_t* Data() const { return buffer_.data(); }
  size_t Size() const { return buffer_.size(); }
  bool Collecting() const { return collecting_; }

 private:
  size_t capacity_;
  std::vector<uint8_t> buffer_;
  bool collecting_ = false;
  bool delivered_ = false;
  bool skipping_ = false;  // dropping the rest of a cut or aborted message
};

// True for the events that deliver a message, whole or cut at the capacity: Data() and Size()
// then hold it.
inline bool IsWholeMessage(CSysExFramer::Event event) {
  return event == CSysExFramer::Event::Message || event == CSysExFramer::Event::Overlong;
}

}  // namespace px
