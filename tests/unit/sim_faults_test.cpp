#include <gtest/gtest.h>

#include "sim/framer.h"
#include "sim/pedal_model.h"
#include "sim_test_util.h"

namespace px::sim::test {
namespace {

using Kind = Answer::Kind;

FaultRule Parse(const char* text) {
  FaultRule rule;
  std::string error;
  EXPECT_TRUE(ParseFaultRule(text, rule, error)) << text << ": " << error;
  return rule;
}

TEST(SimFaultRule, ParsesTheScriptLanguage) {
  FaultRule r = Parse("GetSemaphore:1-99:status=2");
  EXPECT_EQ(r.kind, WireKind::GetSemaphore);
  EXPECT_EQ(r.when.first, 1u);
  EXPECT_EQ(r.when.last, 99u);
  EXPECT_EQ(r.action, FaultAction::Status);
  EXPECT_EQ(r.value, 2);

  r = Parse("romwrite#3:1-5:silence");
  EXPECT_EQ(r.block, 3);
  EXPECT_EQ(r.action, FaultAction::Silence);

  r = Parse("RomWrite@0xA9000:2-:late=6000");
  EXPECT_EQ(r.address, 0xA9000u);
  EXPECT_EQ(r.when.first, 2u);
  EXPECT_EQ(r.when.last, kForever);
  EXPECT_EQ(r.value, 6000);

  r = Parse("*:all:silence");
  EXPECT_FALSE(r.kind.has_value());
  r = Parse("FileDelete:7:value=-5");
  EXPECT_EQ(r.when.first, 7u);
  EXPECT_EQ(r.when.last, 7u);
  EXPECT_EQ(r.value, -5);
  r = Parse("FileWrite:all:code=34,-1");
  EXPECT_EQ(r.extra, -1);

  for (const char* text :
       {"GetSemaphore:1-99:status=2", "RomWrite#3:1-5:silence", "RomWrite@0x000A9000:2-:late=6000",
        "*:all:duplicate", "FileWrite:all:code=34,-1", "UpdateStart:4:ask-identity"}) {
    EXPECT_EQ(FormatFaultRule(Parse(text)), text);
  }

  FaultRule bad;
  std::string error;
  for (const char* text :
       {"GetSemaphore:1-99", "Nope:all:silence", "GetSemaphore#2:all:silence", "RomWrite:0:silence",
        "RomWrite:5-2:silence", "RomWrite:all:status", "RomWrite:all:status=200",
        "RomWrite:all:silence=1", "RomWrite:all:late=-1", "RomWrite:all:explode",
        "RomWrite:x:silence", "RomWrite#-1:all:silence"}) {
    EXPECT_FALSE(ParseFaultRule(text, bad, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

PedalConfig WithRules(std::initializer_list<const char*> rules, uint8_t member = 1) {
  PedalConfig c;
  c.member = member;
  c.eraseTimeMs = 0;
  for (const char* text : rules) c.rules.push_back(Parse(text));
  return c;
}

TEST(SimFaults, SemaphoreRefusedThenGranted) {
  CDriver d(WithRules({"GetSemaphore:1-99:status=2"}));
  d.Send(Identity());
  for (int i = 0; i < 99; ++i) ASSERT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5E)).value, 2);
  EXPECT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5E)).value, 0);
  EXPECT_EQ(d.Send(Msg(ComposeAudioMute, 0x5E)).value, 0);  // the grant is real
  const PedalReport r = d.Report();
  EXPECT_EQ(r.faults.size(), 99u);
  EXPECT_TRUE(r.violations.empty());
}

TEST(SimFaults, SilencesAndRefusalsInterleaved) {
  // First match wins: the silences at odd counts come before the catch-all refusal.
  CDriver d(WithRules({"GetSemaphore:1:silence", "GetSemaphore:3:silence", "GetSemaphore:5:silence",
                       "GetSemaphore:7:silence", "GetSemaphore:9:silence",
                       "GetSemaphore:1-104:status=2"}));
  d.Send(Identity());
  int silent = 0;
  int refused = 0;
  for (int i = 0; i < 104; ++i) {
    const Answer a = d.Send(Msg(ComposeGetSemaphore, 0x5E));
    if (a.kind == Kind::None) ++silent;
    if (a.kind == Kind::Ack && a.value == 2) ++refused;
  }
  EXPECT_EQ(silent, 5);
  EXPECT_EQ(refused, 99);
  EXPECT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5E)).value, 0);
  EXPECT_TRUE(d.Report().semaphoreHeld);
}

TEST(SimFaults, BlockSilentForItsFirstSends) {
  PedalConfig config = WithRules({"RomWrite#1:1-5:silence"}, 0);
  const Bytes image = Pattern(12288 * 3, 20);
  config.expectedImage = image;
  CDriver d(config);
  d.Send(Identity());
  d.Send(Msg(ComposeUpdateStart, 0x5E));
  d.Send(RomErase(0x5E));
  EXPECT_EQ(d.Send(RomWrite(0x5E, image.data(), kFlashBase, 12288)).value, 0);
  const Bytes second = RomWrite(0x5E, image.data() + 12288, kFlashBase + 12288, 12288);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(d.Send(second).kind, Kind::None);
    EXPECT_EQ(d.Report().flash.bytesWritten, 12288u);  // a lost request changes nothing
  }
  EXPECT_EQ(d.Send(second).value, 0);
  EXPECT_EQ(d.Send(RomWrite(0x5E, image.data() + 24576, kFlashBase + 24576, 12288)).value, 0);
  d.Send(Msg(ComposeUpdateComplete, 0x5E));
  const PedalReport r = d.Report();
  EXPECT_TRUE(r.Success()) << (r.violations.empty() ? "" : r.violations.front().what);
  EXPECT_EQ(r.repeatedBlocks, 0u);
}

TEST(SimFaults, LateAnswerAndItsResend) {
  CDriver d(WithRules({"RomWrite#3:1:late=6000"}, 0));
  const Bytes image = Pattern(12288 * 5, 21);
  d.Send(Identity());
  d.Send(Msg(ComposeUpdateStart, 0x5E));
  d.Send(RomErase(0x5E));
  const std::vector<Answer> answers = d.WriteImage(image);
  EXPECT_EQ(answers[2].delayMs, 2u);
  EXPECT_EQ(answers[3].delayMs, 2u + 6000u);
  EXPECT_EQ(answers[3].value, 0);
  // The updater timed out and sent block 3 again: acknowledged as a repeat, not refused.
  EXPECT_EQ(d.Send(RomWrite(0x5E, image.data() + 3 * 12288, kFlashBase + 3 * 12288, 12288)).value,
            0);
  EXPECT_EQ(d.Report().repeatedBlocks, 1u);
}

TEST(SimFaults, AnswersReplacedDoubledOrCut) {
  {
    CDriver d(WithRules({"UpdateStart:all:duplicate"}, 0));
    d.Send(Identity());
    d.Send(Msg(ComposeUpdateStart, 0x5E));
    ASSERT_EQ(d.outputs().size(), 2u);
    EXPECT_EQ(d.outputs()[0].bytes, d.outputs()[1].bytes);
  }
  {
    CDriver d(WithRules({"RomErase:2:disconnect"}, 0));
    d.Send(Identity());
    d.Send(Msg(ComposeUpdateStart, 0x5E));
    d.Send(RomErase(0x5E));
    d.Send(RomErase(0x5E));
    ASSERT_EQ(d.outputs().size(), 1u);
    EXPECT_TRUE(d.outputs()[0].disconnect);
  }
  {
    CDriver d(WithRules({"FileDelete:all:value=255"}));
    d.Send(Identity());
    d.Send(Msg(ComposeGetSemaphore, 0x5E));
    d.Send(Msg(ComposeAudioMute, 0x5E));
    d.Send(Msg(ComposeUpdateStart, 0x5E));
    const Answer a = d.Send(FileDelete(0x5E, "LINESEL.TDL"));
    EXPECT_EQ(a.kind, Kind::Value);
    EXPECT_EQ(a.value, 255);
    EXPECT_NE(d.Report().File("LINESEL.TDL"), nullptr);  // not carried out
  }
  {
    CDriver d(WithRules({"UpdateStart:all:status=12", "IdentityRequest:2:status=5"}, 0));
    EXPECT_EQ(d.Send(Identity()).kind, Kind::Identity);
    EXPECT_EQ(d.Send(Msg(ComposeUpdateStart, 0x5E)).value, 12);
    EXPECT_FALSE(d.Report().updateMode);
    const Answer a = d.Send(Identity());
    EXPECT_EQ(a.kind, Kind::Ack);
    EXPECT_EQ(a.value, 5);
  }
  {
    CDriver d(WithRules({"*:all:silence"}));
    EXPECT_EQ(d.Send(Identity()).kind, Kind::None);
    EXPECT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5E)).kind, Kind::None);
  }
  {
    CDriver d(WithRules({"ResultRequest:1:result=1", "FileWrite:1:code=34,-1"}));
    d.ThroughFile(Pattern(100, 22));
    const PedalReport r = d.Report();
    EXPECT_EQ(r.faults.size(), 2u);
  }
}

TEST(SimFaults, ALyingPedalIsCaughtByTheImageCheck) {
  PedalConfig config = WithRules({"RomWrite#1:all:status=0"}, 0);
  const Bytes image = Pattern(12288 * 3, 23);
  config.expectedImage = image;
  CDriver d(config);
  d.Send(Identity());
  d.Send(Msg(ComposeUpdateStart, 0x5E));
  d.Send(RomErase(0x5E));
  for (const Answer& a : d.WriteImage(image)) EXPECT_EQ(a.value, 0);
  d.Send(Msg(ComposeUpdateComplete, 0x5E));
  const PedalReport r = d.Report();
  EXPECT_TRUE(r.violations.empty());
  EXPECT_FALSE(r.flash.matchesImage);
  EXPECT_EQ(r.flash.firstMismatch, 12288);
  EXPECT_FALSE(r.Success());
}

TEST(SimFaults, UnansweredOwnRequestIsBlamedOnlyOnACleanLine) {
  for (bool clean : {true, false}) {
    CDriver d(WithRules({"UpdateStart:all:ask-identity"}, 0));
    d.Send(Identity());
    d.Send(Msg(ComposeUpdateStart, 0x5E), /*damaged=*/!clean);
    d.model().OnLineReset(60000);  // the updater left without answering
    EXPECT_EQ(HasViolation(d.Report(), "no IdentityReply to the pedal's own request"), clean);
  }
}

// What a fault sets in motion is not the updater's doing: the answers that a duplicated
// identity reply displaces stay excused after the updater asks again, and the rest of a message
// that a flipped byte ended early is no loose bytes of its own.
TEST(SimFaults, ConsequencesOfAFaultAreNotBlamed) {
  for (const bool duplicated : {true, false}) {
    CDriver d(duplicated ? WithRules({"IdentityRequest:1:duplicate"}, 0) : WithRules({}, 0));
    d.Send(Identity());
    d.Send(Identity());      // asked again before the answers came
    d.Send(RomErase(0x5E));  // misled past UpdateStart by the spare identity reply
    EXPECT_EQ(HasViolation(d.Report(), "RomErase after IdentityRequest"), !duplicated);
  }
  for (const bool damaged : {true, false}) {
    CPedalModel model(WithRules({}, 0));
    std::vector<Output> out;
    const Bytes cut = {0xF0, 0x52, 0x00, 0x5E, 0x02, 0x00, 0xF7};  // a RomWrite ended by a flip
    model.OnMessage(cut.data(), cut.size(), damaged, 0, out);
    model.OnFramingEvent(CPedalFramer::Heard::StrayByte, false);
    EXPECT_EQ(HasViolation(model.Report(0), "bytes outside any message"), !damaged);
  }
}

TEST(SimFaults, UnacceptedFamilyMustEndTheRun) {
  PedalConfig config;
  config.family = 0x22;
  CDriver d(config);
  EXPECT_EQ(d.Send(Identity()).bytes[6], 0x22);
  EXPECT_TRUE(d.Report().violations.empty());
  d.Send(Msg(ComposeGetSemaphore, 0x22));  // an updater that went on regardless
  EXPECT_TRUE(HasViolation(d.Report(), "does not accept"));
}

TEST(SimFramer, TailOfAMessageCutByTheLineIsSkipped) {
  using E = CPedalFramer::Heard;
  CPedalFramer f;
  f.Push(0xF0);
  f.Push(0x52);
  f.Reset();
  EXPECT_EQ(f.Push(0x01), E::None);
  EXPECT_EQ(f.Push(0xF7), E::None);
  f.Push(0xF0);
  EXPECT_EQ(f.Push(0xF7), E::Message);
  f.Reset();
  EXPECT_EQ(f.Push(0x01), E::StrayByte);  // nothing was cut this time
}

TEST(SimFramer, SameRulesAsTheUpdatersReceiver) {
  CPedalFramer f;
  using E = CPedalFramer::Heard;
  auto push = [&](std::initializer_list<uint8_t> bytes) {
    std::vector<E> events;
    for (uint8_t b : bytes) {
      const E e = f.Push(b);
      if (e != E::None) events.push_back(e);
    }
    return events;
  };
  EXPECT_EQ(push({0x01, 0xF7}), (std::vector<E>{E::StrayByte, E::StrayByte}));
  EXPECT_EQ(push({0xF0, 0x52, 0xF8, 0x00, 0xF7}), (std::vector<E>{E::RealTime, E::Message}));
  EXPECT_EQ(f.message(), (Bytes{0xF0, 0x52, 0x00, 0xF7}));
  // A status byte cuts the message; its tail up to the next F0 belongs to the same fault.
  EXPECT_EQ(push({0xF0, 0x52, 0x90, 0x01, 0xF7, 0xF0, 0x7E, 0xF0, 0x01, 0xF7}),
            (std::vector<E>{E::Aborted, E::Restarted, E::Message}));
  EXPECT_EQ(f.message(), (Bytes{0xF0, 0x01, 0xF7}));
  Bytes big(CPedalFramer::kLimit + 10, 0x11);
  big[0] = 0xF0;
  std::vector<E> events;
  for (uint8_t b : big) {
    const E e = f.Push(b);
    if (e != E::None) events.push_back(e);
  }
  EXPECT_EQ(events, std::vector<E>{E::Overlong});
  EXPECT_EQ(f.message().size(), CPedalFramer::kLimit);
  // Damage sticks to the message the damaged byte went into.
  f.Push(0xF0);
  f.Push(0x52, true);
  EXPECT_EQ(f.Push(0xF7), E::Message);
  EXPECT_TRUE(f.lastDamaged());
  f.Push(0xF0);
  EXPECT_EQ(f.Push(0xF7), E::Message);
  EXPECT_FALSE(f.lastDamaged());
}

}  // namespace
}  // namespace px::sim::test
