// Which answers count: one per copy asked, a surplus repeated or contradicting, and answers that
// began before their request had left the host.
#include <gtest/gtest.h>

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
  return ledger.Answer(m.data(), m.size(), left);
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
  ledger.Forgive();  // its answer is taken as lost; when it comes after all, it is a surplus
  EXPECT_EQ(ledger.Owed(), 0u);
  EXPECT_EQ(Answer(ledger, kAck6), Verdict::Repeat);
  EXPECT_EQ(link.Sent().size(), 3u);
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
  CReplyState state;
  CMessageSet messages;
  CReplyReceiver receiver(link, state, messages);
  const Bytes block(100, 0x22);
  state.Answers.SendAsked(link, block.data(), 100, nullptr);
  link.Drain(50);
  link.StopWhenDrained(state.ReplyThreadRun);
  link.Inject(kAck0);
  receiver.ReplyMatcher();
  EXPECT_FALSE(state.ReplyEvent.IsSignalled());
  EXPECT_EQ(state.Answers.Surplus(), 1u);

  link.Drain(100);
  link.StopWhenDrained(state.ReplyThreadRun);
  link.Inject(kAck6);
  receiver.ReplyMatcher();
  EXPECT_TRUE(state.ReplyEvent.IsSignalled());
  EXPECT_EQ(state.ReplyStatus, 6);
}

}  // namespace
}  // namespace px
