#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/byte_link.h"
#include "base/event.h"
#include "protocol/messages.h"

namespace px {

enum class Direction { In, Out };

// Sees every whole message that leaves or arrives (for traces); called on the sending thread or
// the reply thread.
class IMessageTap {
 public:
  virtual ~IMessageTap() = default;
  virtual void OnMessage(Direction direction, const uint8_t* data, size_t length) = 0;
};

inline constexpr int32_t kAbortStatus = 255;

// What the reply thread hands to the worker: the status of the last reply, the identity fields,
// and the event that tells a new reply arrived.
struct CReplyState {
  std::atomic<int32_t> ReplyStatus{0};
  std::atomic<uint8_t> ReportedDeviceId{0};
  std::atomic<uint8_t> DeviceVariant{0};
  // Software revision of the last identity reply (four ASCII digits), 0 when it carried none.
  std::atomic<uint32_t> ReportedRevision{0};
  std::atomic<int> ReplyThreadRun{0};
  CEvent ReplyEvent;
};

// Queues one message on the link; never reports failure (a lost message shows as a time-out).
int SendToDevice(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap = nullptr);

// Assembles System Exclusive messages from received bytes and acts on each one.
class CReplyReceiver {
 public:
  static constexpr size_t kReceiveBufferSize = 16384;

  CReplyReceiver(IByteLink& link, CReplyState& state, CMessageSet& messages)
      : link_(link), state_(state), messages_(messages) {}
  CReplyReceiver(const CReplyReceiver&) = delete;
  CReplyReceiver& operator=(const CReplyReceiver&) = delete;

  void SetTap(IMessageTap* tap) { tap_.store(tap); }

  // Returns ReceiveBuffer holding one whole message (from F0, normally up to F7) and its length,
  // or nullptr once ReplyThreadRun is 0 and no byte came for 100 ms.
  const uint8_t* ReadSysEx(size_t& length);
  // Acts on one delivered message by the decision tables.
  void Match(const uint8_t* m, size_t length);
  // Runs ReadSysEx and Match until ReadSysEx returns nothing.
  void ReplyMatcher();
  // The reply thread's body: ReplyMatcher while ReplyThreadRun is set.
  void Run();

 private:
  void Answer(uint8_t status);
  void MatchDeviceSpecific(const uint8_t* m, size_t avail);
  void MatchUniversal(const uint8_t* m, size_t avail);
  void MatchSubReply(const uint8_t* m, size_t avail);
  void Store(int32_t status);

  IByteLink& link_;
  CReplyState& state_;
  CMessageSet& messages_;
  std::atomic<IMessageTap*> tap_{nullptr};
  uint8_t ReceiveBuffer[kReceiveBufferSize] = {};
  size_t count_ = 0;
  // Answers are composed here, never in OutgoingBuffer, so that they cannot disturb a request
  // that the worker is composing or about to resend.
  uint8_t answer_[kIdentityReplyLength] = {};
};

}  // namespace px
