// Which answers count: one per copy asked, a surplus repeated or contradicting, and answers that
// began before their request had left the host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "memory_link.h"
#include "protocol/reply.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;
using Verdict = CAnswerLedger::Verdict;

// A link that numbers the bytes it is given and says how many have left, as a driver that
// reports its output queue does.
class QueueLink : public test::MemoryLink {
 public:
  uint64_t SendCounted(const uint8_t* data, int length) override {
    Send(data, length);
    queued_ += static_cast<uint64_t>(length);
    return queued_;
  }
  uint64_t BytesLeftHost() const override { return left_; }
  void Drain(uint64_t left) { left_ = left; }

 private:
  uint64_t queued_ = 0;
  uint64_t left_ = 0;
};

const Bytes kAck0 = {0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7};
const Bytes kAck6 = {0xF0, 0x52, 0x00, 0x5E, 0x00, 0x06, 0xF7};

Verdict Answer(CAnswerLedger& ledger, const Bytes& m, uint64_t left = UINT64_MAX) {
  DeviceAnswer a;
  a.kind = MessageKind::Ack;
  a.status = m[5];
  return ledger.Answer(m.data(), m.size(), left, a);
}

CAnswerLedger::Delivery Take(CAnswerLedger& ledger) {
  CAnswerLedger::Delivery d;
  EXPECT_EQ(ledger.Next(0, d), Wait::Reply);
  return d;
}

TEST(AnswerLedger, OneAnswerPerCopyAndSurplusesJudgedAgainstTheLastTaken) {
  test::MemoryLink link;
  CAnswerLedger ledger;
  EXPECT_EQ(Answer(ledger, kAck0), Verdict::Conflict);  // nothing asked, nothing taken yet
  ledger.SendAsked(link, kAck0.data(), 7, nullptr);
  ledger.SendAsked(link, kAck0.data(), 7, nullptr);  // a resend after a time-out
  EXPECT_EQ(ledger.Owed(), 2u);
  EXPECT_EQ(Answer(ledger, kAck0), Verdict::Owed);
  EXPECT_EQ(Answer(ledger, kAck6), Verdict::Owed);  // the timed-out copy's answer is owed too
  EXPECT_EQ(Answer(ledger, kAck6), Verdict::Repeat);
  EXPECT_EQ(Answer(ledger, kAck0), Verdict::Conflict);
  EXPECT_EQ(ledger.Surplus(), 3u);
  EXPECT_EQ(ledger.Conflicts(), 2u);

  ledger.SendAsked(link, kAck0.data(), 7, nullptr);
  ledger.GiveUpOwed();  // its answer is taken as lost; when it comes after all, it is a surplus
  EXPECT_EQ(ledger.Owed(), 0u);
  EXPECT_EQ(Answer(ledger, kAck6), Verdict::Repeat);
  EXPECT_EQ(link.Sent().size(), 3u);
}

// Each owed answer goes, whole, to the request whose copy it answers; the one handed out first is
// the oldest, and a second answer queues behind it instead of replacing it.
TEST(AnswerLedger, AnswersGoToTheRequestTheyAnswerInOrder) {
  test::MemoryLink link;
  CAnswerLedger ledger;
  ledger.BeginRequest();
  const uint64_t first = ledger.CurrentRequest();
  ledger.SendAsked(link, kAck0.data(), 7, nullptr);
  ledger.BeginRequest();
  ledger.SendAsked(link, kAck0.data(), 7, nullptr);
  EXPECT_EQ(Answer(ledger, kAck6), Verdict::Owed);
  EXPECT_EQ(Answer(ledger, kAck0), Verdict::Owed);
  const CAnswerLedger::Delivery a = Take(ledger);
  const CAnswerLedger::Delivery b = Take(ledger);
  EXPECT_EQ(a.request, first);
  EXPECT_EQ(a.answer.status, 6);
  EXPECT_EQ(b.request, first + 1);
  EXPECT_EQ(b.answer.status, 0);
  CAnswerLedger::Delivery none;
  EXPECT_EQ(ledger.Next(0, none), Wait::TimedOut);
  ledger.Stop();
  EXPECT_EQ(ledger.Next(0, none), Wait::Aborted);
  EXPECT_FALSE(ledger.Pause(60000)) << "the stop ends every pause, and is never taken back";
}

// A tap that holds the sending thread (a slow trace file) must not hold the reply thread: the
// ledger takes answers while a copy is being traced.
class HoldingTap : public IMessageTap {
 public:
  void OnMessage(Direction direction, const uint8_t*, size_t) override {
    if (direction != Direction::Out) return;
    entered_.set_value();
    release_.get_future().wait();
  }
  std::promise<void> entered_;
  std::promise<void> release_;
};

TEST(AnswerLedger, ASlowTraceDoesNotHoldTheAnswers) {
  test::MemoryLink link;
  CAnswerLedger ledger;
  ledger.SendAsked(link, kAck0.data(), 7, nullptr);
  HoldingTap tap;
  std::thread sender([&] { ledger.SendAsked(link, kAck0.data(), 7, &tap); });
  tap.entered_.get_future().wait();
  auto answered = std::async(std::launch::async, [&] { return Answer(ledger, kAck6); });
  // A deadline only so that a hang fails instead of stalling the suite.
  const bool done = answered.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  tap.release_.set_value();
  sender.join();
  EXPECT_TRUE(done) << "the answer waited for the trace";
  EXPECT_EQ(answered.get(), Verdict::Owed);
}

TEST(AnswerLedger, AnAnswerThatBeganBeforeItsRequestLeftIsASurplus) {
  QueueLink link;
  CAnswerLedger ledger;
  const Bytes block(1000, 0x11);
  ledger.SendAsked(link, block.data(), 1000, nullptr);  // bytes 1 to 1000
  link.Drain(400);
  EXPECT_EQ(Answer(ledger, kAck0, link.BytesLeftHost()), Verdict::Conflict);
  EXPECT_EQ(ledger.Owed(), 1u);
  link.Drain(1000);
  EXPECT_EQ(Answer(ledger, kAck0, link.BytesLeftHost()), Verdict::Owed);

  // A copy that timed out and left long ago may be answered while its resend is still leaving.
  ledger.SendAsked(link, block.data(), 1000, nullptr);  // up to 2000, left whole
  link.Drain(2000);
  ledger.SendAsked(link, block.data(), 1000, nullptr);  // up to 3000, still leaving
  link.Drain(2500);
  EXPECT_EQ(Answer(ledger, kAck0, link.BytesLeftHost()), Verdict::Owed);
  EXPECT_EQ(Answer(ledger, kAck6, link.BytesLeftHost()), Verdict::Conflict);
  link.Drain(3000);
  EXPECT_EQ(Answer(ledger, kAck6, link.BytesLeftHost()), Verdict::Owed);
}

// The receiver looks at how far the line has got when an answer's first byte is read.
TEST(AnswerLedger, ReceiverMarksTheAnswerWhereItBegan) {
  QueueLink link;
  CAnswerLedger answers;
  CMessageSet messages;
  CReplyReceiver receiver(link, answers, messages);
  const Bytes block(100, 0x22);
  answers.SendAsked(link, block.data(), 100, nullptr);
  link.Drain(50);
  link.StopWhenDrained(receiver.ReplyThreadRun);
  link.Inject(kAck0);
  receiver.ReplyMatcher();
  EXPECT_EQ(answers.Surplus(), 1u);
  EXPECT_EQ(answers.Owed(), 1u);

  link.Drain(100);
  link.StopWhenDrained(receiver.ReplyThreadRun);
  link.Inject(kAck6);
  receiver.ReplyMatcher();
  EXPECT_EQ(Take(answers).answer.status, 6);
}

}  // namespace
}  // namespace px
