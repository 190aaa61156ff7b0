#include "engine/request_channel.h"

#include <algorithm>

namespace px {
namespace {

uint32_t MsBetween(CRequestChannel::Clock::time_point from, CRequestChannel::Clock::time_point to) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
  return ms <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX));
}

}  // namespace

CRequestChannel::CRequestChannel(IByteLink& link, CAnswerLedger& answers,
                                 const EngineTiming& timing)
    : link_(link),
      answers_(answers),
      wholeWaitMs_(timing.replyWaitMs),
      marginMs_(timing.lastAnswerMarginMs),
      fromLine_(timing.answerWaitsFromLine),
      conflictsAtStart_(answers.Conflicts()) {
  answers_.GiveUpOwed();
}

void CRequestChannel::Begin(bool timed) {
  WaitOutOwed();
  answers_.BeginRequest();
  copies_ = 0;
  answered_ = false;
  timed_ = timed;
}

void CRequestChannel::WaitOutOwed() {
  CAnswerLedger::Delivery late;
  while (answers_.Owed() > 0 && answers_.Next(OwedWaitMs(), late) == Wait::Reply) {
    answeredAt_ = late.at;
  }
  answers_.GiveUpOwed();
}

// Answers come in the order of their requests, and the device answers each copy it receives once.
// Once a resend has been answered, the answer taken was either the resend's own, and the earlier
// copy's answer was lost and never comes, or the earlier copy's, late, and the resend's own is
// still to come. The resend reached the device within one request-time (of its size, in this
// run) of being queued, and the device takes it up as soon as it is done with the earlier copy:
// its answer comes no later than one request-time after the resend was queued, or, when the
// earlier answer came after that, once the device has turned the resend round after it, which
// takes no longer than the shortest requests took to be answered (their own time on the line is
// next to nothing). Each further owed answer follows the one before it alike. Nothing measured,
// or the request never answered: a whole reply wait, for its answer may still be on its way.
uint32_t CRequestChannel::OwedWaitMs() const {
  if (!fromLine_ || !timed_ || !answered_ || slowestByLength_.empty()) return wholeWaitMs_;
  const auto ms = [](uint64_t n) { return std::chrono::milliseconds(n); };
  const Clock::time_point until =
      std::max(sentAt_ + ms(SlowestAnswerMs(lastLength_)), answeredAt_ + ms(TurnMs())) +
      ms(marginMs_);
  return std::min(MsBetween(Clock::now(), until), wholeWaitMs_);
}

uint32_t CRequestChannel::TurnMs() const {
  if (slowestByLength_.empty()) return 0;
  return slowestByLength_.begin()->second.Ms(fromLine_);
}

bool CRequestChannel::Send(const uint8_t* message, int length) {
  if (Aborted()) return false;
  sentAt_ = Clock::now();
  answers_.SendAsked(link_, message, length, tap_);
  lastLength_ = length;
  ++copies_;
  return true;
}

Wait CRequestChannel::WaitReply(uint32_t timeoutMs, DeviceAnswer& answer) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const uint64_t request = answers_.CurrentRequest();
  for (;;) {
    CAnswerLedger::Delivery delivery;
    const Wait w = answers_.Next(MsBetween(Clock::now(), deadline), delivery);
    if (w != Wait::Reply) return w;
    if (delivery.request != request) continue;  // an earlier request's, already given up
    Measure(delivery);
    answered_ = true;
    answeredAt_ = delivery.at;
    answer = delivery.answer;
    return Wait::Reply;
  }
}

// Only an answer to a first copy says how long the request took: after a resend, the answer may
// be the first copy's, late.
void CRequestChannel::Measure(const CAnswerLedger::Delivery& delivery) {
  if (!timed_ || copies_ != 1) return;
  Slowest& slowest = slowestByLength_[lastLength_];
  const uint32_t ms = MsBetween(sentAt_, delivery.at);
  if (ms > slowest.first) {
    slowest.second = slowest.first;
    slowest.first = ms;
  } else {
    slowest.second = std::max(slowest.second, ms);
  }
  ++slowest.count;
}

// A request's time to be answered is mostly its time on the line, plus a little that does not
// depend on its length. So a request of `length` bytes takes no less than a shorter one took, and
// about its share of what a longer one took.
uint32_t CRequestChannel::SlowestAnswerMs(int length) const {
  uint64_t slowest = 0;
  for (const auto& [measured, times] : slowestByLength_) {
    const uint32_t ms = times.Ms(fromLine_);
    if (measured <= length) {
      slowest = std::max<uint64_t>(slowest, ms);
    } else {
      const uint64_t share =
          (uint64_t{ms} * static_cast<uint64_t>(length) + static_cast<uint64_t>(measured) - 1) /
          static_cast<uint64_t>(measured);
      slowest = std::max(slowest, share);
    }
  }
  return static_cast<uint32_t>(std::min<uint64_t>(slowest, UINT32_MAX));
}

bool CRequestChannel::Pause(uint32_t ms) {
  return answers_.Pause(ms);
}

// Answers carry no sequence number. Had the device once answered too often, every answer since
// was taken for the request after its own: the answer taken last was really the one before the
// last request, and the device had only then finished with that one. The last request's own
// answer is then still to come, at most as long after that as requests of its size took to be
// answered in this run. With no request answered at its first copy in this run, the whole reply
// wait.
uint32_t CRequestChannel::ListenMs() const {
  if (slowestByLength_.empty()) return wholeWaitMs_;
  const uint64_t listen = uint64_t{SlowestAnswerMs(lastLength_)} + marginMs_;
  return static_cast<uint32_t>(std::min<uint64_t>(listen, wholeWaitMs_));
}

bool CRequestChannel::StayedInStep() {
  WaitOutOwed();
  const uint64_t before = answers_.Surplus();
  if (!Pause(ListenMs())) return false;
  return answers_.Surplus() == before && !OutOfStep();
}

ExchangeResult RunExchange(CRequestChannel& channel, const uint8_t* message, int length,
                           const RetryPolicy& policy) {
  channel.Begin(policy.timed);
  int timeouts = 0;
  int refusals = 0;
  for (;;) {
    if (channel.OutOfStep()) return {ExchangeEnding::OutOfStep, {}};
    if (!channel.Send(message, length)) return {ExchangeEnding::Aborted, {}};
    DeviceAnswer answer;
    const Wait w = channel.WaitReply(policy.waitMs, answer);
    if (w == Wait::Aborted) return {ExchangeEnding::Aborted, {}};
    // An answer that came while the answers went out of step may be another request's.
    if (channel.OutOfStep()) return {ExchangeEnding::OutOfStep, {}};
    if (w == Wait::TimedOut) {
      if (++timeouts == policy.failingTimeout) return {ExchangeEnding::TimedOut, {}};
    } else {
      if (policy.accepts(answer)) return {ExchangeEnding::Accepted, answer};
      if (++refusals == policy.failingRefusal) return {ExchangeEnding::Refused, answer};
    }
    if (policy.pauseMs > 0 && !channel.Pause(policy.pauseMs)) return {ExchangeEnding::Aborted, {}};
  }
}

}  // namespace px
