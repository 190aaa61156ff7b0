#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/byte_link.h"
#include "protocol/reply.h"

namespace px {

enum class Wait { Reply, TimedOut, Aborted };

// The worker's side of one request at a time: begin it (after the answers still owed to earlier
// copies), send copies, wait for answers, pause between attempts, and learn of the abort at every
// one of these. Abort may come from any thread; everything else is the worker's.
class CRequestChannel {
 public:
  CRequestChannel(IByteLink& link, CReplyState& reply) : link_(link), reply_(reply) {}

  void SetTap(IMessageTap* tap) { tap_ = tap; }

  // Before a new request: waits out the answers still owed to timed-out copies of earlier
  // requests, one reply wait at most each; the first that does not come is taken as lost, and
  // with it the rest. Then forgets any reply left over.
  void Begin(uint32_t owedWaitMs);
  // Queues one copy unless the run was aborted; false when aborted.
  bool Send(const uint8_t* message, int length);
  Wait WaitReply(uint32_t timeoutMs);
  // Pauses; false when the run was aborted meanwhile.
  bool Pause(uint32_t ms);
  // After the last answer of a transfer: waits out the answers still owed, then listens for
  // listenMs. False when an answer that nobody asked for came meanwhile, or had contradicted an
  // earlier one (or the run was aborted): the answers went out of step.
  bool Settle(uint32_t owedWaitMs, uint32_t listenMs);

  // A new run: nothing owed, no reply left over.
  void Reset();
  // True once, in this run, an answer came that contradicts the one taken before it.
  bool OutOfStep() const { return reply_.Answers.Conflicts() != conflictsAtReset_; }
  // The window goes: wakes a waiting worker with the abort mark; nothing is sent from now on.
  void Abort();
  bool Aborted() const { return aborted_.load(); }
  int32_t Status() const { return reply_.ReplyStatus.load(); }
  // The length of the last copy sent, for the time it takes on the line.
  int LastLength() const { return lastLength_; }

 private:
  IByteLink& link_;
  CReplyState& reply_;
  IMessageTap* tap_ = nullptr;
  int lastLength_ = 0;
  uint64_t conflictsAtReset_ = 0;
  std::atomic<bool> aborted_{false};
  std::mutex abortMutex_;
  std::condition_variable abortCv_;
};

// The retry rules of one exchange: how long each attempt waits, which time-out and which refusal
// end it, and the pause after an attempt that did not succeed.
struct RetryPolicy {
  uint32_t waitMs;
  int timeoutsAllowed;  // the exchange fails at this time-out
  int refusalsAllowed;  // ... and at this refusal; 1: the first answer decides
  uint32_t pauseMs;
  bool (*accepts)(int32_t status);
};

inline bool AcceptsSuccess(int32_t status) {
  return status == kStatusOk;
}
inline bool AcceptsAny(int32_t) {
  return true;
}

enum class Ending { Accepted, Refused, TimedOut, Aborted, OutOfStep };
struct Exchanged {
  Ending ending;
  int32_t status;  // the judged answer's status, for Accepted and Refused
};

// One request by its policy: begin, then send and wait until an answer is accepted or the policy
// gives up. Every exchange of the update runs through this one loop.
Exchanged RunExchange(CRequestChannel& channel, const uint8_t* message, int length,
                      const RetryPolicy& policy, uint32_t owedWaitMs);

}  // namespace px
