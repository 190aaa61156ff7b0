#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "base/byte_link.h"
#include "base/event.h"
#include "protocol/framer.h"
#include "protocol/messages.h"

namespace px {

enum class Direction { In, Out };

// Sees every whole message that leaves or arrives (for traces); called on the sending thread or
// the reply thread.
class IMessageTap {
 public:
  virtual ~IMessageTap() = default;
  virtual void OnMessage(Direction direction, const uint8_t* data, size_t length) = 0;
  // An answer that nothing was asked for: it was neither stored nor signalled.
  virtual void OnSurplus(const uint8_t* /*data*/, size_t /*length*/) {}
};

// Queues one message on the link and never reports failure (a lost message shows as a time-out).
// Returns the link's running count of queued bytes up to the message's last byte (0 for links
// that do not count).
uint64_t SendToDevice(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap = nullptr);

// The answers the device owes. It answers every copy of a request it receives once, so each copy
// sent is owed one answer, taken off when an answer comes. An answer that nothing is owed for
// answers nothing: a surplus. Where the link can tell how far its bytes have got, an answer that
// began before a copy had wholly left the host cannot be that copy's answer either.
//
// A surplus that repeats the last answer taken changes nothing, whichever of the two was the real
// one. A surplus that differs from it may be the real answer, and the one taken a stray: a refusal
// may have been read as a success, so the answers are out of step.
class CAnswerLedger {
 public:
  enum class Verdict { Owed, Repeat, Conflict };

  // Queues one copy of a request on the link and owes it an answer. Both happen under one lock,
  // so that an answer can never be judged before its copy is counted.
  void SendAsked(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap);
  // An answer whose first byte came when `left` bytes had left the host: Owed when it answers
  // the oldest owed copy; otherwise a surplus, counted.
  Verdict Answer(const uint8_t* m, size_t length, uint64_t left);
  // The answers still owed are taken as lost.
  void Forgive();
  size_t Owed() const;
  uint64_t Surplus() const { return surplus_.load(); }
  uint64_t Conflicts() const { return conflicts_.load(); }

 private:
  mutable std::mutex mutex_;
  std::deque<uint64_t> owed_;
  std::vector<uint8_t> lastTaken_;
  std::atomic<uint64_t> surplus_{0};
  std::atomic<uint64_t> conflicts_{0};
};

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
  CAnswerLedger Answers;
};

// Assembles System Exclusive messages from received bytes and acts on each one.
class CReplyReceiver {
 public:
  static constexpr size_t kReceiveBufferSize = 16384;

  CReplyReceiver(IByteLink& link, CReplyState& state, CMessageSet& messages)
      : link_(link), state_(state), messages_(messages), framer_(kReceiveBufferSize) {}
  CReplyReceiver(const CReplyReceiver&) = delete;
  CReplyReceiver& operator=(const CReplyReceiver&) = delete;

  void SetTap(IMessageTap* tap) { tap_.store(tap); }

  // Returns the bytes of one whole message (from F0, normally up to F7) and its length, or
  // nullptr once ReplyThreadRun is 0. The flag is looked at on every byte and every quiet
  // 100 ms, so a line that never goes quiet cannot keep the thread alive.
  const uint8_t* ReadSysEx(size_t& length);
  // Acts on one delivered message by the decision tables.
  void Match(const uint8_t* m, size_t length);
  // Runs ReadSysEx and Match until ReadSysEx returns nothing.
  void ReplyMatcher();
  // The reply thread's body: ReplyMatcher while ReplyThreadRun is set.
  void Run();

 private:
  void AnswerDevice(uint8_t status);
  void MatchSubReply(const uint8_t* m, size_t length, size_t avail);
  // Takes an answer if it answers an owed copy; a surplus is counted and shown to the tap.
  bool Owed(const uint8_t* m, size_t length);
  void Signal();

  IByteLink& link_;
  CReplyState& state_;
  CMessageSet& messages_;
  std::atomic<IMessageTap*> tap_{nullptr};
  CSysExFramer framer_;
  // How many bytes had left the host when the message being assembled began.
  uint64_t leftAtStart_ = 0;
  uint64_t leftAtDelivered_ = 0;
  // Answers are composed here, never in OutgoingBuffer, so that they cannot disturb a request
  // that the worker is composing or about to resend.
  uint8_t answer_[kIdentityReplyLength] = {};
};

}  // namespace px
