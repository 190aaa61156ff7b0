#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "base/byte_link.h"
#include "protocol/framer.h"
#include "protocol/messages.h"

namespace px {

enum class Direction { In, Out };

// How a wait for an answer ended: with the answer, at its deadline, or at the stop.
enum class Wait { Reply, TimedOut, Aborted };

// Sees every whole message that leaves or arrives (for traces); called on the sending thread or
// the reply thread.
class IMessageTap {
 public:
  virtual ~IMessageTap() = default;
  virtual void OnMessage(Direction direction, const uint8_t* data, size_t length) = 0;
  // An answer that nothing was asked for: it answers no request.
  virtual void OnSurplus(const uint8_t* /*data*/, size_t /*length*/) {}
};

// Queues one message on the link and never reports failure (a lost message shows as a time-out).
// Returns the link's running count of queued bytes up to the message's last byte (0 for links
// that do not count).
uint64_t SendToDevice(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap = nullptr);

// One answer of the device, decoded once on the reply thread and handed whole to the request it
// answers: nothing that comes later can change it.
struct DeviceAnswer {
  MessageKind kind = MessageKind::Foreign;
  // False when the message carries no status that the updater knows (a file sub-reply it does
  // not know, a code that is neither a success nor a value without error): never a success.
  bool known = true;
  // The device's status when known; otherwise the message's own code (its sub-command, or the
  // CodeReply's code), which the error text carries.
  int32_t status = 0;
  // An identity reply's family (the device code), member (the variant) and software revision
  // (four ASCII digits as one number, 0 when it carried none).
  uint8_t deviceId = 0;
  uint8_t variant = 0;
  uint32_t revision = 0;
};

// Decodes a whole message of an answering kind (IsAnswer) into its answer; nothing when the
// message is too short to carry what its kind needs, so that a reply that lost its status byte on
// the line can never read as a success.
std::optional<DeviceAnswer> DecodeAnswer(MessageKind kind, const uint8_t* m, size_t length);

// The answers the device owes. It answers every copy of a request it receives once, so each copy
// sent is owed one answer, taken off when an answer comes, and handed to the request that sent
// that copy. An answer that nothing is owed for answers nothing: a surplus. Where the link can
// tell how far its bytes have got, an answer that began before a copy had wholly left the host
// cannot be that copy's answer either.
//
// A surplus that repeats the last answer taken changes nothing, whichever of the two was the real
// one. A surplus that differs from it may be the real answer, and the one taken a stray: a refusal
// may have been read as a success, so the answers are out of step.
//
// The ledger also holds the stop of the run that uses it: from any thread, it wakes every wait
// for an answer and every pause at once, and is never taken back.
class CAnswerLedger {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Verdict { Owed, Repeat, Conflict };
  // An owed answer, for the request whose copy it answers, with the time it came.
  struct Delivery {
    uint64_t request = 0;
    DeviceAnswer answer;
    Clock::time_point at;
  };

  // A new request: the copies sent from now on are its own.
  void BeginRequest();
  uint64_t CurrentRequest() const;
  // Queues one copy of the current request on the link and owes it an answer. The debt comes
  // first, so that an answer can never be judged before its copy is counted; the tap sees the
  // copy before.
  void SendAsked(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap);
  // An answer whose first byte came when `left` bytes had left the host: Owed when it answers the
  // oldest owed copy (it is then kept for that copy's request); otherwise a surplus, counted.
  Verdict Answer(const uint8_t* m, size_t length, uint64_t left, const DeviceAnswer& answer);
  // Waits up to timeoutMs for the next owed answer; Aborted as soon as the stop comes (or came).
  Wait Next(uint32_t timeoutMs, Delivery& out);
  void Stop();
  bool Stopped() const { return stopped_.load(); }
  // Pauses; false when the stop came before or meanwhile.
  bool Pause(uint32_t ms);
  // The answers still owed are taken as lost, and owed answers not yet taken are dropped.
  void GiveUpOwed();
  size_t Owed() const;
  uint64_t Surplus() const { return surplus_.load(); }
  uint64_t Conflicts() const { return conflicts_.load(); }

 private:
  struct Debt {
    uint64_t mark;  // the link's count of queued bytes up to the copy's last byte
    uint64_t request;
  };
  // The mark of a copy that the link is still queueing.
  static constexpr uint64_t kQueueing = UINT64_MAX;

  mutable std::mutex mutex_;
  // Wakes on every answer kept, every mark set and the stop.
  std::condition_variable changed_;
  std::atomic<bool> stopped_{false};
  uint64_t request_ = 0;
  std::deque<Debt> owed_;
  std::deque<Delivery> answers_;
  std::vector<uint8_t> lastTaken_;
  std::atomic<uint64_t> surplus_{0};
  std::atomic<uint64_t> conflicts_{0};
};

// Assembles System Exclusive messages from received bytes and acts on each one.
class CReplyReceiver {
 public:
  static constexpr size_t kReceiveBufferSize = 16384;

  CReplyReceiver(IByteLink& link, CAnswerLedger& answers, CMessageSet& messages)
      : link_(link), answers_(answers), messages_(messages), framer_(kReceiveBufferSize) {}
  CReplyReceiver(const CReplyReceiver&) = delete;
  CReplyReceiver& operator=(const CReplyReceiver&) = delete;

  void SetTap(IMessageTap* tap) { tap_.store(tap); }

  // The reply thread runs while this is set.
  std::atomic<int> ReplyThreadRun{0};

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
  // Hands an answer to the ledger; a surplus is counted and shown to the tap.
  void Take(const uint8_t* m, size_t length, const DeviceAnswer& answer);

  IByteLink& link_;
  CAnswerLedger& answers_;
  CMessageSet& messages_;
  std::atomic<IMessageTap*> tap_{nullptr};
  CSysExFramer framer_;
  // How many bytes had left the host when the message being assembled began.
  uint64_t leftAtStart_ = 0;
  uint64_t leftAtDelivered_ = 0;
};

}  // namespace px
