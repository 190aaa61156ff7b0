#include "engine/request_channel.h"

#include <chrono>

namespace px {

void CRequestChannel::Begin(uint32_t owedWaitMs) {
  while (reply_.Answers.Owed() > 0 && WaitReply(owedWaitMs) == Wait::Reply) {
  }
  reply_.Answers.Forgive();
  reply_.ReplyEvent.ResetEvent();
}

bool CRequestChannel::Send(const uint8_t* message, int length) {
  if (Aborted()) return false;
  reply_.Answers.SendAsked(link_, message, length, tap_);
  lastLength_ = length;
  return true;
}

Wait CRequestChannel::WaitReply(uint32_t timeoutMs) {
  if (Aborted()) return Wait::Aborted;
  const bool signalled = reply_.ReplyEvent.Lock(timeoutMs);
  // The abort mark counts only when the window really goes; a device may answer 255 too.
  if (Aborted()) return Wait::Aborted;
  return signalled ? Wait::Reply : Wait::TimedOut;
}

bool CRequestChannel::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(abortMutex_);
  abortCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return aborted_.load(); });
  return !aborted_.load();
}

bool CRequestChannel::Settle(uint32_t owedWaitMs, uint32_t listenMs) {
  while (reply_.Answers.Owed() > 0 && WaitReply(owedWaitMs) == Wait::Reply) {
  }
  reply_.Answers.Forgive();
  const uint64_t before = reply_.Answers.Surplus();
  if (!Pause(listenMs)) return false;
  return reply_.Answers.Surplus() == before && !OutOfStep();
}

void CRequestChannel::Reset() {
  conflictsAtReset_ = reply_.Answers.Conflicts();
  reply_.Answers.Forgive();
  reply_.ReplyEvent.ResetEvent();
}

void CRequestChannel::Abort() {
  {
    std::lock_guard<std::mutex> lock(abortMutex_);
    aborted_ = true;
  }
  reply_.ReplyStatus = kAbortStatus;
  reply_.ReplyEvent.SetEvent();
  abortCv_.notify_all();
}

Exchanged RunExchange(CRequestChannel& channel, const uint8_t* message, int length,
                      const RetryPolicy& policy, uint32_t owedWaitMs) {
  channel.Begin(owedWaitMs);
  int timeouts = 0;
  int refusals = 0;
  for (;;) {
    if (channel.OutOfStep()) return {Ending::OutOfStep, 0};
    if (!channel.Send(message, length)) return {Ending::Aborted, 0};
    const Wait w = channel.WaitReply(policy.waitMs);
    if (w == Wait::Aborted) return {Ending::Aborted, 0};
    if (w == Wait::TimedOut) {
      if (++timeouts == policy.timeoutsAllowed) return {Ending::TimedOut, 0};
    } else {
      const int32_t status = channel.Status();
      if (policy.accepts(status)) return {Ending::Accepted, status};
      if (++refusals == policy.refusalsAllowed) return {Ending::Refused, status};
    }
    if (policy.pauseMs > 0 && !channel.Pause(policy.pauseMs)) return {Ending::Aborted, 0};
  }
}

}  // namespace px
