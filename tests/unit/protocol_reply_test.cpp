#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "memory_link.h"
#include "protocol/reply.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;

class ReplyTest : public ::testing::Test {
 protected:
  // Collects every message ReadSysEx delivers from the injected bytes (the first quiet 100 ms
  // ends the collection).
  std::vector<Bytes> Frame(const Bytes& wire) {
    link_.StopWhenDrained(state_.ReplyThreadRun);
    link_.Inject(wire);
    std::vector<Bytes> out;
    size_t n = 0;
    while (const uint8_t* m = receiver_.ReadSysEx(n)) out.emplace_back(m, m + n);
    return out;
  }

  // Delivers the messages to the matcher, with one answer asked for, and reports whether
  // ReplyEvent was set.
  bool MatchAll(const Bytes& wire) {
    state_.ReplyEvent.ResetEvent();
    Ask();
    for (const Bytes& m : Frame(wire)) receiver_.Match(m.data(), m.size());
    return state_.ReplyEvent.Lock(0);
  }

  // One request sent, so that one answer is owed.
  void Ask() {
    state_.Answers.Forgive();
    state_.Answers.SendAsked(requests_, IdentityRequest.data(), 6, nullptr);
  }

  test::MemoryLink link_;
  test::MemoryLink requests_;
  CReplyState state_;
  CMessageSet messages_;
  CReplyReceiver receiver_{link_, state_, messages_};
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
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0x33, 0x5E, 0x00, 0x07, 0xF7}));  // byte 2 not examined
  EXPECT_EQ(state_.ReplyStatus, 7);
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5D, 0x00, 0x00, 0xF7}));  // another device
  EXPECT_EQ(state_.ReplyStatus, 7);
  EXPECT_FALSE(MatchAll({0xF0, 0x41, 0x00, 0x5E, 0x00, 0x00, 0xF7}));  // another maker
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0x00, 0x5E, 0x02, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 0);
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5E, 0x03, 0xF7}));
  EXPECT_TRUE(link_.Sent().empty());
  // A status lost on the line never reads as success: the short Ack is ignored.
  state_.ReplyStatus = 9;
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0x00, 0x5E, 0x00, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 9);
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
  state_.ReplyStatus = 3;
  EXPECT_TRUE(MatchAll({0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x5D, 0x00, 0x01, 0x00, 0x31, 0x30,
                        0x30, 0x30, 0x01, 0x02, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 0);
  EXPECT_EQ(state_.ReportedDeviceId, 0x5D);
  EXPECT_EQ(state_.DeviceVariant, 1);
  EXPECT_TRUE(MatchAll({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x22, 0x00, 0x04, 0xF7}));
  EXPECT_EQ(state_.ReportedDeviceId, 0x22);
  EXPECT_EQ(state_.DeviceVariant, 4);
  // Too short to hold the member code: ignored.
  EXPECT_FALSE(MatchAll({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x11, 0xF7}));
  EXPECT_EQ(state_.ReportedDeviceId, 0x22);
}

TEST_F(ReplyTest, SubReplies) {
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x03, 0x7A, 0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, -6);
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x05, 0x02, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 2);
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 17, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 0);

  auto code34 = [](uint8_t e0, uint8_t e1, uint8_t sign) {
    return Bytes{0xF0, 0x52, 0,    0x5E, 0x60, 0x04, 34,   e0,  e1,
                 0,    0,    0x7A, 0x7F, 0x7F, 0x7F, sign, 0xF7};
  };
  state_.ReplyStatus = 5;
  EXPECT_TRUE(MatchAll(code34(0, 0, 0x0F)));  // no error, negative value
  EXPECT_EQ(state_.ReplyStatus, -1);
  EXPECT_TRUE(MatchAll(code34(0, 0, 0x07)));  // no error, positive value
  EXPECT_EQ(state_.ReplyStatus, 0);
  state_.ReplyStatus = 5;
  EXPECT_TRUE(MatchAll(code34(1, 0, 0x0F)));  // an error value leaves the status
  EXPECT_EQ(state_.ReplyStatus, 5);
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 33, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 5);
  EXPECT_TRUE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x7F, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 5);

  // Short messages are ignored, without reading past their end.
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x03, 0x7A, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0x04, 34, 0, 0, 0xF7}));
  EXPECT_FALSE(MatchAll({0xF0, 0x52, 0, 0x5E, 0x60, 0xF7}));
  EXPECT_EQ(state_.ReplyStatus, 5);
}

TEST(ReplyThread, StopsAndWakesWaiterWithAbortMark) {
  test::MemoryLink link;
  CReplyState state;
  CMessageSet messages;
  CReplyReceiver receiver(link, state, messages);
  state.ReplyThreadRun = 1;
  std::thread reply([&] { receiver.Run(); });
  state.Answers.SendAsked(link, IdentityRequest.data(), 6, nullptr);
  link.Inject({0xF0, 0x52, 0x00, 0x5E, 0x00, 0x04, 0xF7});
  ASSERT_TRUE(state.ReplyEvent.Lock(2000));
  EXPECT_EQ(state.ReplyStatus, 4);

  std::thread worker([&] {
    ASSERT_TRUE(state.ReplyEvent.Lock(5000));
    EXPECT_EQ(state.ReplyStatus, kAbortStatus);
  });
  // The destroy step: stop flag, abort mark, event.
  state.ReplyThreadRun = 0;
  state.ReplyStatus = kAbortStatus;
  state.ReplyEvent.SetEvent();
  worker.join();
  reply.join();
}

// The worker composes and resends a request while the reply thread answers device commands;
// answers never touch OutgoingBuffer.
TEST(ReplyThread, AnswersNeverAlterTheWorkersRequest) {
  test::MemoryLink link;
  CReplyState state;
  CMessageSet messages;
  CReplyReceiver receiver(link, state, messages);
  state.ReplyThreadRun = 1;
  std::thread reply([&] { receiver.Run(); });
  const int n = messages.FileDelete("LINESEL.TDL");
  const Bytes request(messages.OutgoingBuffer, messages.OutgoingBuffer + n);
  for (int i = 0; i < 200; ++i) {
    link.Inject({0xF0, 0x52, 0x00, 0x5E, 0x06, 0xF7, 0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    SendToDevice(link, messages.OutgoingBuffer, n);
  }
  Bytes answer = {0xF0, 0x52, 0x00, 0x5E, 0x00, 0x01, 0xF7};
  size_t requests = 0, answers = 0;
  for (int tries = 0; tries < 100 && answers < 400; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    answers = 0;
    for (const Bytes& m : link.Sent()) answers += m != request;
  }
  for (const Bytes& m : link.Sent()) {
    if (m == request) {
      ++requests;
    } else {
      EXPECT_TRUE(m == answer || m.size() == kIdentityReplyLength);
    }
  }
  EXPECT_EQ(requests, 200u);
  EXPECT_EQ(answers, 400u);
  state.ReplyThreadRun = 0;
  reply.join();
}

}  // namespace
}  // namespace px
