#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "base/event.h"
#include "protocol/reply.h"
#include "sim/harness.h"
#include "sim_test_util.h"
#include "wait_until.h"

namespace px::sim::test {
namespace {

// The updater's side in miniature: the real reply receiver on its own thread, and a worker that
// resends on a time-out or a refusal. Its wait is long enough that only a lost answer times out,
// never a slow one: a late answer would be taken for the next request's.
class CMiniUpdater {
 public:
  explicit CMiniUpdater(IByteLink& link) : link_(link), receiver_(link, answers_, messages_) {
    receiver_.ReplyThreadRun = 1;
    thread_ = std::thread([this] { receiver_.Run(); });
  }
  ~CMiniUpdater() {
    receiver_.ReplyThreadRun = 0;
    thread_.join();
  }

  // The status of the first reply within waitMs, resending up to attempts times.
  std::optional<int32_t> Exchange(const Bytes& m, uint32_t waitMs = 1000, int attempts = 8) {
    for (int i = 0; i < attempts; ++i) {
      answers_.SendAsked(link_, m.data(), static_cast<int>(m.size()), nullptr);
      CAnswerLedger::Delivery d;
      if (answers_.Next(waitMs, d) == Wait::Reply) {
        last_ = d.answer;
        return d.answer.status;
      }
    }
    return std::nullopt;
  }
  // Resends after refusals too, as the flash transfer does.
  bool Until0(const Bytes& m, uint32_t waitMs = 1000) {
    for (int i = 0; i < 8; ++i) {
      const std::optional<int32_t> s = Exchange(m, waitMs);
      if (s && *s == 0) return true;
      Sleep(10);
    }
    return false;
  }
  const DeviceAnswer& last() const { return last_; }
  // What the update-start step does to the updater's own identity reply.
  void NameDevice(uint8_t id) { messages_.SetIdentityReplyDevice(id); }

 private:
  IByteLink& link_;
  CAnswerLedger answers_;
  CMessageSet messages_;
  CReplyReceiver receiver_;
  DeviceAnswer last_;
  std::thread thread_;
};

TEST(SimHarness, WholeUpdateOverTheInProcessLine) {
  PedalConfig config;
  config.eraseTimeMs = 40;
  const Bytes image = Pattern(12288 * 2 + 777, 30);
  const Bytes module = Pattern(4096 + 50, 31);
  config.expectedFiles["LINESEL.TDL"] = module;
  CPedalHarness pedal(config);
  EXPECT_FALSE(pedal.SetExpectedImageFile("/nonexistent/image.bin"));
  pedal.SetExpectedImage(image);
  {
    CMiniUpdater u(pedal.HostLink());
    ASSERT_EQ(u.Exchange(Identity()), 0);
    EXPECT_EQ(u.last().deviceId, 0x5E);
    EXPECT_EQ(u.last().variant, 1);
    ASSERT_EQ(u.Exchange(Msg(ComposeGetSemaphore, 0x5E)), 0);
    ASSERT_EQ(u.Exchange(Msg(ComposeAudioMute, 0x5E)), 0);
    ASSERT_EQ(u.Exchange(Msg(ComposeUpdateStart, 0x5E)), 0);
    ASSERT_EQ(u.Exchange(FileDelete(0x5E, "LINESEL.TDL")), 0);
    ASSERT_EQ(u.Exchange(FileOpen(0x5E, "LINESEL.TDL")), 0);
    ASSERT_EQ(u.Exchange(Result(0x5E)), 0);
    for (uint32_t off = 0; off < module.size(); off += 4096) {
      const uint32_t n = std::min<uint32_t>(4096, static_cast<uint32_t>(module.size()) - off);
      ASSERT_EQ(u.Exchange(FileWrite(0x5E, module.data() + off, n), 1000, 1), 0);
      ASSERT_EQ(u.Exchange(Result(0x5E)), 0);
    }
    ASSERT_EQ(u.Exchange(FileClose(0x5E)), 0);
    ASSERT_EQ(u.Exchange(RomErase(0x5E)), 0);
    for (uint32_t off = 0; off < image.size(); off += 12288) {
      const uint32_t n = std::min<uint32_t>(12288, static_cast<uint32_t>(image.size()) - off);
      ASSERT_TRUE(u.Until0(RomWrite(0x5E, image.data() + off, kFlashBase + off, n)));
    }
    ASSERT_TRUE(u.Exchange(Msg(ComposeUpdateComplete, 0x5E)).has_value());
  }
  pedal.Stop();
  pedal.Stop();  // idempotent
  const PedalReport r = pedal.Report();
  EXPECT_TRUE(r.Success()) << pedal.ReportJson();
  EXPECT_EQ(r.bytesSent, 15u + 7 * 3 + 12 * 5 + 8 * 3 + 7 * 5);
  const nlohmann::json json = nlohmann::json::parse(pedal.ReportJson());
  EXPECT_EQ(json["success"], true);
  EXPECT_EQ(json["files"][0]["name"], "LINESEL.TDL");
  EXPECT_EQ(json["flash"]["expectedImage"]["matches"], true);
}

// Bytes dropped and flipped both ways, real-time bytes, strays and the pedal's own requests: an
// updater that resends as it should still gets the image in, and nothing is blamed on it.
TEST(SimHarness, NoisyLineStillUpdatesAndBlamesNobody) {
  PedalConfig config;
  config.member = 0;
  config.eraseTimeMs = 20;
  config.seed = 7;
  config.line.dropToPedal = 0.00003;
  config.line.flipToPedal = 0.00003;
  config.line.dropToHost = 0.01;
  config.line.flipToHost = 0.01;
  config.line.realTimeRate = 0.05;
  config.line.strayRate = 0.3;
  config.line.unknownCommandRate = 0.3;
  config.line.askIdentityAtBlock = 2;
  const Bytes image = Pattern(12288 * 8, 32);
  config.expectedImage = image;
  CPedalHarness pedal(config);
  {
    CMiniUpdater u(pedal.HostLink());
    ASSERT_TRUE(u.Until0(Identity()));
    u.NameDevice(0x5E);
    ASSERT_TRUE(u.Until0(Msg(ComposeUpdateStart, 0x5E)));
    ASSERT_TRUE(u.Until0(RomErase(0x5E)));
    for (uint32_t off = 0; off < image.size(); off += 12288) {
      ASSERT_TRUE(u.Until0(RomWrite(0x5E, image.data() + off, kFlashBase + off, 12288)));
    }
    ASSERT_TRUE(u.Until0(Msg(ComposeUpdateComplete, 0x5E)));
    EXPECT_TRUE(
        ::px::test::WaitUntil([&] { return pedal.Report().Count(WireKind::IdentityReply) >= 1; },
                              "the updater's answer to the pedal's own IdentityRequest"));
  }
  const PedalReport r = pedal.Report();
  EXPECT_TRUE(r.flash.matchesImage);
  EXPECT_TRUE(r.violations.empty()) << pedal.ReportJson();
  EXPECT_GT(r.Count(WireKind::Ack), 0u);
  EXPECT_EQ(r.Count(WireKind::IdentityReply), 1u);
  EXPECT_GT(r.damagedMessages, 0u);
}

TEST(SimHarness, DisconnectSilencesBothDirections) {
  PedalConfig config;
  config.line.disconnectAfterBytes = 6 + 3;  // the IdentityRequest and part of the next message
  CPedalHarness pedal(config);
  CMiniUpdater u(pedal.HostLink());
  ASSERT_EQ(u.Exchange(Identity()), 0);
  EXPECT_FALSE(u.Exchange(Msg(ComposeGetSemaphore, 0x5E), 200, 2).has_value());
  EXPECT_FALSE(u.Exchange(Identity(), 200, 1).has_value());
  ASSERT_TRUE(
      ::px::test::WaitUntil([&] { return pedal.Report().disconnected; }, "the line to go down"));
  const PedalReport r = pedal.Report();
  EXPECT_TRUE(r.disconnected);
  EXPECT_EQ(r.bytesReceived, 9u);
  EXPECT_EQ(r.Count(WireKind::GetSemaphore), 0u);
}

// In process, an answer has left the pedal when the updater has read it. A block sent again while
// its answer was still unread is a resend after a wait; sent again long after the answer was read,
// it is the updater's slip.
TEST(SimHarness, AResendIsJudgedByWhenItsAnswerWasRead) {
  for (const bool readFirst : {false, true}) {
    PedalConfig config;
    config.member = 0;
    config.replyLatencyMs = 0;
    config.eraseTimeMs = 0;
    config.settleAfterUpdateStartMs = 0;
    config.updaterReplyWaitMs = 100;
    CPedalHarness pedal(config);
    IByteLink& line = pedal.HostLink();
    CPedalFramer framer;
    // The next whole message from the pedal, within the event deadline.
    auto answer = [&] {
      const auto until = std::chrono::steady_clock::now() + ::px::test::kEventDeadline;
      uint8_t b = 0;
      while (std::chrono::steady_clock::now() < until) {
        if (line.ReadByte(b) && framer.Push(b) == CPedalFramer::Heard::Message) return true;
      }
      return false;
    };
    auto send = [&](const Bytes& m) { line.Send(m.data(), static_cast<int>(m.size())); };
    for (const Bytes& m : {Identity(), Msg(ComposeUpdateStart, 0x5E), RomErase(0x5E)}) {
      send(m);
      ASSERT_TRUE(answer());
    }
    const Bytes data = Pattern(100, 34);
    const Bytes block = RomWrite(0x5E, data.data(), kFlashBase, 100);
    send(block);
    ASSERT_TRUE(::px::test::WaitUntil([&] { return pedal.Report().Count(WireKind::RomWrite) == 1; },
                                      "the pedal to answer the block"));
    if (readFirst) {
      ASSERT_TRUE(answer());
      // Time has to pass here: the slip is a resend long after the answer was read.
      std::this_thread::sleep_for(std::chrono::milliseconds(ResendSlackMs(100) + 200));
    }
    send(block);
    ASSERT_TRUE(::px::test::WaitUntil([&] { return pedal.Report().repeatedBlocks == 1; },
                                      "the pedal to take the block again"));
    EXPECT_EQ(HasViolation(pedal.Report(), "resent after its Ack"), readFirst) << readFirst;
  }
}

TEST(SimHarness, PacedLineTakesItsTime) {
  PedalConfig config;
  config.member = 0;
  config.baud = 38400;  // 3,840 bytes a second
  config.replyLatencyMs = 0;
  config.eraseTimeMs = 0;
  CPedalHarness pedal(config);
  CMiniUpdater u(pedal.HostLink());
  ASSERT_EQ(u.Exchange(Identity(), 30000, 1), 0);
  ASSERT_EQ(u.Exchange(Msg(ComposeUpdateStart, 0x5E), 30000, 1), 0);
  ASSERT_EQ(u.Exchange(RomErase(0x5E), 30000, 1), 0);
  const Bytes data = Pattern(800, 33);
  const Bytes m = RomWrite(0x5E, data.data(), kFlashBase, 800);  // 932 bytes
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(u.Exchange(m, 30000, 1), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  // A lower bound only: the line cannot carry the bytes faster (bench_update_speed has figures).
  EXPECT_GE(ms, (932 + 7) * 1000 / 3840 - 5);
}

}  // namespace
}  // namespace px::sim::test
