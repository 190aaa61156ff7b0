#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "base/byte_link.h"
#include "engine/timing.h"
#include "protocol/reply.h"

namespace px {

// The worker's side of one request at a time: begin it (after the answers still owed to earlier
// copies), send copies, wait for the answers that the ledger hands to this request, pause between
// attempts, and learn of the stop at every one of these. The stop may come from any thread;
// everything else belongs to the thread that runs the requests. A new channel starts with nothing
// owed, no answer left over and nothing measured. It alone knows how long this run's answers
// take: the times measured, the waits sized from them and the listening after a transfer, from
// the timing's whole reply wait and margin.
class CRequestChannel {
 public:
  using Clock = std::chrono::steady_clock;

  // Without answerWaitsFromLine, every wait for an answer still owed is a whole reply wait, and
  // the times measured are the slowest answers, as the updater once did.
  CRequestChannel(IByteLink& link, CAnswerLedger& answers, const EngineTiming& timing);

  void SetTap(IMessageTap* tap) { tap_ = tap; }

  // Before a new request: waits out the answers still owed to timed-out copies of the last
  // request, each no longer than it could still take (see OwedWaitMs); the first that does not
  // come is taken as lost, and with it the rest. The answers that come meanwhile answer that
  // request and are dropped. timed: whether the answer's delay says how long such a request takes
  // to be answered (not for the erase, whose answer waits for the erase itself).
  void Begin(bool timed = true);
  // Queues one copy unless the run was aborted; false when aborted.
  bool Send(const uint8_t* message, int length);
  // Waits for the next answer owed to this request's copies; on Reply, `answer` is that answer,
  // which nothing can change any more.
  Wait WaitReply(uint32_t timeoutMs, DeviceAnswer& answer);
  // Pauses; false when the run was aborted meanwhile.
  bool Pause(uint32_t ms);
  // After the last answer of a transfer: waits out the answers still owed, then listens as long
  // as the last request's own answer could still take had the answers been one ahead (see
  // ListenMs). False when an answer that nobody asked for came meanwhile, or had contradicted
  // an earlier one (or the run was aborted): the answers went out of step.
  bool StayedInStep();

  // True once, in this channel's life, an answer came that contradicts the one taken before it.
  bool OutOfStep() const { return answers_.Conflicts() != conflictsAtStart_; }
  bool Aborted() const { return answers_.Stopped(); }
  // About the longest a request of `length` bytes would take, in this run, from being queued to
  // its answer, judged from the requests answered at their first copy (leaving out one answer
  // that a stall held back, see Slowest); 0 when none was.
  uint32_t SlowestAnswerMs(int length) const;

 private:
  // The slowest and the second slowest answer, in ms, to requests of one length.
  struct Slowest {
    uint32_t first = 0;
    uint32_t second = 0;
    int count = 0;
    // One answer held back far beyond the others (a stall) says nothing of how long such
    // requests take; so with two or more measured, the second slowest.
    uint32_t Ms(bool fromLine) const { return fromLine && count >= 2 ? second : first; }
  };

  void Measure(const CAnswerLedger::Delivery& delivery);
  // Waits out the answers still owed to the last request's copies; see OwedWaitMs.
  void WaitOutOwed();
  // How long, from now, to wait for the next answer still owed to the last request's copies.
  uint32_t OwedWaitMs() const;
  // About how long the device takes to answer a request that it already holds: as long as the
  // shortest requests measured took, whose own time on the line is next to nothing; 0 when none.
  uint32_t TurnMs() const;
  // How long to listen after the last answer of a transfer: as long as requests of the last one's
  // size took to be answered in this run (SlowestAnswerMs), plus the margin; no more than a whole
  // reply wait.
  uint32_t ListenMs() const;

  IByteLink& link_;
  CAnswerLedger& answers_;
  IMessageTap* tap_ = nullptr;
  int lastLength_ = 0;
  int copies_ = 0;         // copies of the current request sent
  bool answered_ = false;  // whether an answer to the current request was taken
  bool timed_ = true;
  const uint32_t wholeWaitMs_;
  const uint32_t marginMs_;
  const bool fromLine_;
  Clock::time_point sentAt_;      // when the last copy was queued
  Clock::time_point answeredAt_;  // when the last answer to the last request came
  // The slowest answers by request length, for requests answered at their first copy.
  std::map<int, Slowest> slowestByLength_;
  uint64_t conflictsAtStart_ = 0;
};

// The retry rules of one exchange: how long each attempt waits, at which time-out and at which
// refusal it fails, and the pause after an attempt that did not succeed.
struct RetryPolicy {
  uint32_t waitMs;
  int failingTimeout;  // the exchange fails at this time-out (6: after five it tries again)
  int failingRefusal;  // ... and at this refusal; 1: the first answer decides
  uint32_t pauseMs;
  bool (*accepts)(const DeviceAnswer& answer);
  bool timed = true;  // see CRequestChannel::Begin
};

// An answer without a status the updater knows is never a success.
inline bool AcceptsSuccess(const DeviceAnswer& a) {
  return a.known && a.status == kStatusOk;
}
inline bool AcceptsAny(const DeviceAnswer&) {
  return true;
}

enum class ExchangeEnding { Accepted, Refused, TimedOut, Aborted, OutOfStep };
struct ExchangeResult {
  ExchangeEnding ending;
  DeviceAnswer answer;  // the judged answer, for Accepted and Refused
};

// A refusal that carries this status, which the updater knows.
inline bool RefusedWith(const ExchangeResult& r, int32_t status) {
  return r.ending == ExchangeEnding::Refused && r.answer.known && r.answer.status == status;
}

// One request by its policy: begin, then send and wait until an answer is accepted or the policy
// gives up. Every exchange of the update runs through this one loop. An answer is judged only
// while the answers are in step.
ExchangeResult RunExchange(CRequestChannel& channel, const uint8_t* message, int length,
                           const RetryPolicy& policy);

}  // namespace px
