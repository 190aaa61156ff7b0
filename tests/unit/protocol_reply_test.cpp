#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <optional>
#include <thread>
#include <vector>

#include "memory_link.h"
#include "protocol/reply.h"
#include "wait_until.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;

class ReplyTest : public ::testing::Test {
 protected:
  // Collects every message ReadSysEx delivers from the injected bytes (the first quiet 100 ms
  // ends the collection).
  std::vector<Bytes> Frame(const Bytes& wire) {
    link_.StopWhenDrained(receiver_.ReplyThreadRun);
    link_.Inject(wire);
    std::vector<Bytes> out;
    size_t n = 0;
    while (const uint8_t* m = receiver_.ReadSysEx(n)) out.emplace_back(m, m + n);
    return out;
  }

  // Delivers the messages to the matcher, with one answer asked for: the answer that the request
  // got, if any.
  std::optional<DeviceAnswer> MatchAll(const Bytes& wire) {
    Ask();
    for (const Bytes& m : Frame(wire)) receiver_.Match(m.data(), m.size());
    CAnswerLedger::Delivery d;
    if (answers_.Next(0, d) != Wait::Reply) return std::nullopt;
    return d.answer;
  }
  int32_t StatusOf(const Bytes& wire) {
    const auto a = MatchAll(wire);
    EXPECT_TRUE(a && a->known);
    return a ? a->status : INT32_MIN;
  }
  // The code an answer without a known status shows.
  int32_t UnknownOf(const Bytes& wire) {
    const auto a = MatchAll(wire);
    EXPECT_TRUE(a && !a->known);
    return a ? a->status : INT32_MIN;
  }

  // One request sent, so that one answer is owed.
  void Ask() {
    answers_.GiveUpOwed();
    answers_.BeginRequest();
    answers_.SendAsked(requests_, IdentityRequest.data(), 6, nullptr);
  }

  test::MemoryLink link_;
  test::MemoryLink requests_;
  CAnswerLedger answers_;
  CMessageSet messages_;
  CReplyReceiver receiver_{link_, answers_, messages_};
};

TEST_F(ReplyTest, FramingSkipsRealTimeAndStrays) {
  // Stray data and an F7 before any F0; a real-time byte inside; a status byte cutting the
  // second message; F0 restarting the third.
  const auto got = Frame({0x01, 0xF7, 0xF0, 0x52, 0xF8, 0x00, 0xFE, 0x5E, 0x00, 0x00, 0xF7, 0xF0,
                          0x52, 0x90, 0x01, 0xF7, 0x33, 0xF0, 0x52, 0x01, 0xF0, 0x7E, 0x00, 0xF7});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Bytes{0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(got[1], (Bytes{0xF0, 0x7E, 0x00, 0xF7}));
}

TEST_F(ReplyTest, OverlongMessageIsCutAndItsRestDiscarded) {
  Bytes wire = {0xF0};
  wire.insert(wire.end(), 16383 + 50, 0x11);
  wire.push_back(0xF7);
  wire.insert(wire.end(), {0xF0, 0x52, 0xF7});
  const auto got = Frame(wire);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), 16384u);
  EXPECT_EQ(got[0][0], 0xF0);
  EXPECT_EQ(got[0].back(), 0x11);
  EXPECT_EQ(got[1], (Bytes{0xF0, 0x52, 0xF7}));
}

TEST_F(ReplyTest, DeviceSpecificReplies) {
  EXPECT_EQ(StatusOf({0xF0, 0x52, 0x33, 0x5E, 0x00, 0x07, 0xF7}), 7);  // byte 2 not examined
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5D, 0x00, 0x00, 0xF7}));  // another device
  EXPECT_FALSE(MatchAll({0xF0, 0x41, 0x00, 0x5E, 0x00, 0x00, 0xF7}));  // another maker
  EXPECT_EQ(StatusOf({0xF0, 0x52, 0x00, 0x5E, 0x02, 0xF7}), 0);
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5E, 0x03, 0xF7}));
  EXPECT_TRUE(link_.Sent().empty());
  // A status lost on the line never reads as success: the short Ack is ignored.
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5E, 0x00, 0xF7}));
}

TEST_F(ReplyTest, DeviceCommandsAreAnswered) {
  messages_.DeviceId = 0x5D;
  for (uint8_t command : {0x01, 0x04, 0x05}) {
    EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5D, command, 0xF7}));
  }
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5D, 0x06, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x7E, 0x00, 0x06, 0x09, 0xF7}));  // general info, unknown
  EXPECT_FALSE(MatchAll({0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}));  // not general info: ignored
  const auto sent = link_.Sent();
  ASSERT_EQ(sent.size(), 5u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sent[i], (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(sent[3], (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(sent[4], (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x00, 0x01, 0xF7}));
}

TEST_F(ReplyTest, IdentityExchange) {
  // The device asks first: the updater answers with byte 6 still 0.
  EXPECT_FALSE(MatchAll({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
  auto sent = link_.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31, 0x30,
                            0x30, 0x30, 0xF7}));

  // Replies are taken whatever their channel, maker byte and length.
  auto a = MatchAll({0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x5D, 0x00, 0x01, 0x00, 0x31, 0x30, 0x30,
                     0x30, 0x01, 0x02, 0xF7});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, MessageKind::IdentityReply);
  EXPECT_TRUE(a->known);
  EXPECT_EQ(a->status, 0);
  EXPECT_EQ(a->deviceId, 0x5D);
  EXPECT_EQ(a->variant, 1);
  EXPECT_EQ(a->revision, ReadRevision(reinterpret_cast<const uint8_t*>("1000")));
  a = MatchAll({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x22, 0x00, 0x04, 0xF7});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->deviceId, 0x22);
  EXPECT_EQ(a->variant, 4);
  EXPECT_EQ(a->revision, 0u);
  // Too short to hold the member code: ignored.
  EXPECT_FALSE(MatchAll({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x11, 0xF7}));
}

// Every sub-reply answers; one whose status the updater does not know carries its own code.
TEST_F(ReplyTest, SubReplies) {
  EXPECT_EQ(StatusOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x03, 0x7A, 0x7F, 0x7F, 0x7F, 0x0F, 0xF7}), -6);
  EXPECT_EQ(StatusOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x05, 0x02, 0xF7}), 2);
  for (uint8_t code : kSuccessCodes) {
    EXPECT_EQ(StatusOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, code, 0xF7}), 0) << int{code};
  }

  auto code34 = [](uint8_t e0, uint8_t e1, uint8_t sign) {
    return Bytes{0xF0, 0x52, 0,    0x5E, 0x60, 0x04, 34,   e0,  e1,
                 0,    0,    0x7A, 0x7F, 0x7F, 0x7F, sign, 0xF7};
  };
  EXPECT_EQ(StatusOf(code34(0, 0, 0x0F)), -1);   // no error, negative value
  EXPECT_EQ(StatusOf(code34(0, 0, 0x07)), 0);    // no error, positive value
  EXPECT_EQ(UnknownOf(code34(1, 0, 0x07)), 34);  // an error value: no status, whatever the value
  EXPECT_EQ(UnknownOf(code34(0, 1, 0x07)), 34);
  EXPECT_EQ(UnknownOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 33, 0xF7}), 33);
  EXPECT_EQ(UnknownOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 0, 0xF7}), 0);
  // Zeros where a known sub-reply would carry its status do not make an unknown one a success.
  EXPECT_EQ(UnknownOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x7F, 0, 0, 0, 0, 0, 0xF7}), 0x7F);
  EXPECT_EQ(UnknownOf({0xF0, 0x52, 0, 0x5E, 0x60, 0x06, 0xF7}), 0x06);

  // Short messages are ignored, without reading past their end.
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x03, 0x7A, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 34, 0, 0, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0xF7}));
}

// The window goes: the reply thread stops, and a worker waiting for an answer wakes at once,
// told apart from any answer a device could give.
TEST(ReplyThread, StopsAndWakesAWaitingWorker) {
  test::MemoryLink link;
  CAnswerLedger answers;
  CMessageSet messages;
  CReplyReceiver receiver(link, answers, messages);
  receiver.ReplyThreadRun = 1;
  std::thread reply([&] { receiver.Run(); });
  answers.BeginRequest();
  answers.SendAsked(link, IdentityRequest.data(), 6, nullptr);
  link.Inject({0xF0, 0x52, 0x00, 0x5E, 0x00, 0x04, 0xF7});
  CAnswerLedger::Delivery d;
  ASSERT_EQ(answers.Next(30000, d), Wait::Reply);
  EXPECT_EQ(d.answer.status, 4);

  std::thread worker([&] { EXPECT_EQ(answers.Next(600000, d), Wait::Aborted); });
  receiver.ReplyThreadRun = 0;
  answers.Stop();
  worker.join();
  reply.join();
}

// The worker composes and resends a request while the reply thread answers device commands;
// answers never alter the request.
TEST(ReplyThread, AnswersNeverAlterTheWorkersRequest) {
  test::MemoryLink link;
  CAnswerLedger ledger;
  CMessageSet messages;
  CReplyReceiver receiver(link, ledger, messages);
  receiver.ReplyThreadRun = 1;
  std::thread reply([&] { receiver.Run(); });
  const Message request = messages.FileDelete("LINESEL.TDL");
  const int n = static_cast<int>(request.size());
  for (int i = 0; i < 200; ++i) {
    link.Inject({0xF0, 0x52, 0x00, 0x5E, 0x06, 0xF7, 0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    SendToDevice(link, request.data(), n);
  }
  Bytes answer = {0xF0, 0x52, 0x00, 0x5E, 0x00, 0x01, 0xF7};
  size_t requests = 0, answers = 0;
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        answers = 0;
        for (const Bytes& m : link.Sent()) answers += m != request;
        return answers >= 400;
      },
      "400 answers from the reply thread"));
  for (const Bytes& m : link.Sent()) {
    if (m == request) {
      ++requests;
    } else {
      EXPECT_TRUE(m == answer || m.size() == kIdentityReplyLength);
    }
  }
  EXPECT_EQ(requests, 200u);
  EXPECT_EQ(answers, 400u);
  receiver.ReplyThreadRun = 0;
  reply.join();
}

}  // namespace
}  // namespace px
