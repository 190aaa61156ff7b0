#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/pedal_model.h"
#include "sim/report_verdicts.h"
#include "sim_test_util.h"

namespace px::sim::test {
namespace {

using Kind = Answer::Kind;

PedalConfig Member(uint8_t member) {
  PedalConfig c;
  c.member = member;
  c.eraseTimeMs = 300;
  return c;
}

// The updater sends a block again only when its wait ran out without an answer. From the pedal's
// side that is a copy that begins a whole wait after the first, no later than a little after the
// answer to the first left the line: no slip, however late the pedal itself was. A copy that
// comes sooner than the wait, or long after the answer was on the line, is the updater's.
TEST(SimModel, ResendIsJudgedAgainstWhenTheAnswerLeft) {
  constexpr uint64_t kWait = 5000;
  const uint64_t slack = ResendSlackMs(kWait);
  struct Case {
    const char* name;
    uint64_t resendAfter;  // from the first copy's first byte
    uint64_t answerLeft;   // the same
    bool slip;
  };
  const Case cases[] = {
      {"the answer left after the wait ran out", kWait + 100, kWait + 50, false},
      {"the answer was still queued", kWait + 100, kWait + 100, false},
      {"a loaded pedal: the answer left just before the resend", kWait, kWait - slack, false},
      {"a resend long before the wait ran out", kWait / 10, 2, true},
      {"a resend a wait after an answer that left at once", kWait + 100, 2, true},
  };
  const Bytes image = Pattern(2 * 12288, 3);
  const Bytes block = RomWrite(0x5E, image.data(), kFlashBase, 12288);
  for (const Case& c : cases) {
    PedalConfig config = Member(0);
    config.updaterReplyWaitMs = kWait;
    CPedalModel model(config);
    std::vector<Output> out;
    uint64_t now = 0;
    for (const Bytes& m : {Identity(), Msg(ComposeUpdateStart, 0x5E), RomErase(0x5E), block}) {
      out.clear();
      model.OnMessage(m.data(), m.size(), false, now += 1000, out);
    }
    const uint64_t start = now + c.resendAfter;
    const Arrival resend{start, start + 50, false, now + c.answerLeft};
    model.OnMessage(block.data(), block.size(), resend, out);
    EXPECT_EQ(HasViolation(model.Report(start + 100), "resent after its Ack"), c.slip) << c.name;
  }
}

// Until the updater addresses the pedal by its id (0x5D here) it rightly ignores the pedal's
// device commands; only those that come later are owed an answer.
TEST(SimModel, DeviceCommandsBeforeTheUpdaterKnowsUsAreOwedNothing) {
  PedalConfig config = Member(0);
  config.family = 0x5D;
  config.line.unknownCommandRate = 1.0;
  CDriver d(config);
  // Sends a request and answers the device command that comes before its answer.
  auto request = [&](const Bytes& m) {
    d.Send(m);
    const std::vector<Output> out = d.outputs();
    ASSERT_EQ(out.size(), 2u);
    const uint8_t command = out[0].bytes[4];
    d.Send(ComposeAck(0x5D, command == 0x01 || command == 0x04 || command == 0x05 ? 0 : 1));
  };
  d.Send(Identity());
  ASSERT_EQ(d.outputs().size(), 2u);  // a device command for an id the updater cannot know yet
  // Asked again, the pedal cannot tell whether the updater has read its first reply: it keeps
  // its commands until the updater shows it.
  d.Send(Identity());
  EXPECT_EQ(d.outputs().size(), 1u);
  request(Msg(ComposeUpdateStart, 0x5D));
  request(RomErase(0x5D));
  const Bytes image = Pattern(100, 4);
  request(RomWrite(0x5D, image.data(), kFlashBase, 100));
  request(Msg(ComposeUpdateComplete, 0x5D));
  const PedalReport r = d.Report();
  EXPECT_TRUE(r.violations.empty()) << r.violations.front().what;
  EXPECT_EQ(r.unansweredDeviceRequests, 0u);
}

TEST(SimModel, CorrectRunOfMember1StoresImageAndModuleFile) {
  PedalConfig config = Member(1);
  const Bytes image = Pattern(30000, 1);  // 12,288 + 12,288 + 5,424
  const Bytes module = Pattern(9217, 2);
  config.expectedImage = image;
  config.expectedFiles["LINESEL.TDL"] = module;
  CDriver d(config);

  const Answer id = d.Send(Identity());
  ASSERT_EQ(id.kind, Kind::Identity);
  EXPECT_EQ(id.bytes[6], 0x5E);
  EXPECT_EQ(id.bytes[8], 1);
  EXPECT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5E)).kind, Kind::Ack);
  EXPECT_EQ(d.Send(Msg(ComposeAudioMute, 0x5E)).value, 0);
  EXPECT_EQ(d.Send(Msg(ComposeUpdateStart, 0x5E)).value, 0);
  const Answer del = d.Send(FileDelete(0x5E, "LINESEL.TDL"));
  EXPECT_EQ(del.kind, Kind::Value);
  EXPECT_EQ(del.value, 0);  // the old module file was there
  EXPECT_EQ(d.Send(FileOpen(0x5E, "LINESEL.TDL")).kind, Kind::Value);
  EXPECT_EQ(d.Send(Result(0x5E)).kind, Kind::Result);
  for (uint32_t off = 0; off < module.size(); off += 4096) {
    const uint32_t n = std::min<uint32_t>(4096, static_cast<uint32_t>(module.size()) - off);
    const Answer w = d.Send(FileWrite(0x5E, module.data() + off, n));
    EXPECT_EQ(w.kind, Kind::Value);
    EXPECT_EQ(w.value, 0);
    EXPECT_EQ(d.Send(Result(0x5E)).value, 0);
  }
  EXPECT_EQ(d.Send(FileClose(0x5E)).value, 0);
  const Answer erase = d.Send(RomErase(0x5E));
  EXPECT_EQ(erase.value, 0);
  EXPECT_EQ(erase.delayMs, 2u + 300u);  // latency plus the erase time
  for (const Answer& a : d.WriteImage(image)) EXPECT_EQ(a.value, 0);
  EXPECT_EQ(d.Send(Msg(ComposeUpdateComplete, 0x5E)).value, 0);

  const PedalReport r = d.Report();
  EXPECT_TRUE(r.violations.empty()) << r.violations.front().what;
  EXPECT_TRUE(r.refusals.empty());
  EXPECT_TRUE(r.Success());
  EXPECT_TRUE(r.flash.matchesImage);
  EXPECT_EQ(r.flash.bytesWritten, image.size());
  EXPECT_EQ(r.flash.bytesErased, kFlashSize - image.size());
  EXPECT_EQ(r.blocksStored, 3u);
  const FileReport* f = r.File("LINESEL.TDL");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->contents, module);
  EXPECT_EQ(f->crc32, Crc32(module.data(), module.size()));
  EXPECT_FALSE(f->open);
  EXPECT_TRUE(r.semaphoreHeld);
  EXPECT_TRUE(r.updateComplete);
  EXPECT_FALSE(r.updateMode);
  EXPECT_EQ(r.Count(WireKind::FileWrite), 3u);
  EXPECT_EQ(r.Count(WireKind::ResultRequest), 4u);
  EXPECT_EQ(r.sequence.front(), WireKind::IdentityRequest);
  EXPECT_EQ(r.sequence.back(), WireKind::UpdateComplete);
}

TEST(SimModel, CorrectRunOfOtherMemberWithAnotherAcceptedFamily) {
  PedalConfig config = Member(0);
  config.family = 0x5D;
  const Bytes image = Pattern(12288 * 2, 3);  // whole blocks: no short block at the end
  config.expectedImage = image;
  CDriver d(config);
  EXPECT_EQ(d.Send(Identity()).bytes[6], 0x5D);
  EXPECT_EQ(d.Send(Msg(ComposeUpdateStart, 0x5D)).value, 0);
  EXPECT_EQ(d.Send(RomErase(0x5D)).value, 0);
  for (const Answer& a : d.WriteImage(image)) EXPECT_EQ(a.value, 0);
  EXPECT_EQ(d.Send(Msg(ComposeUpdateComplete, 0x5D)).value, 0);
  const PedalReport r = d.Report();
  EXPECT_TRUE(r.Success()) << (r.violations.empty() ? "" : r.violations.front().what);
  EXPECT_FALSE(r.semaphoreHeld);
  // The old module file is untouched on this member.
  ASSERT_NE(r.File("LINESEL.TDL"), nullptr);
  EXPECT_EQ(r.File("LINESEL.TDL")->contents, PedalConfig::DefaultFiles().at("LINESEL.TDL"));
}

TEST(SimModel, FileStepsAndTheirAnswers) {
  PedalConfig config = Member(1);
  config.initialFiles.clear();
  config.fileSystemBytes = 5000;
  CDriver d(config);
  d.Send(Identity());
  EXPECT_EQ(d.Send(Result(0x5E)).value, status::kNothingToConfirm);
  d.Send(Msg(ComposeGetSemaphore, 0x5E));
  d.Send(Msg(ComposeAudioMute, 0x5E));
  d.Send(Msg(ComposeUpdateStart, 0x5E));
  EXPECT_EQ(d.Send(FileDelete(0x5E, "LINESEL.TDL")).value, status::kFileNotFound);
  EXPECT_EQ(d.Send(FileOpen(0x5E, "LINESEL.TDL")).value, 0);  // handle 0
  d.Send(Result(0x5E));
  const Bytes chunk = Pattern(4096, 4);
  Bytes bad = FileWrite(0x5E, chunk.data(), 4096);
  bad[bad.size() - 3] ^= 0x01;  // CRC field
  EXPECT_EQ(d.Send(bad).value, status::kFileBadCrc);
  EXPECT_EQ(d.Send(Result(0x5E)).value, 74);  // the last file step failed
  EXPECT_EQ(d.Send(FileWrite(0x5E, chunk.data(), 4096, 3)).value, status::kBadHandle);
  EXPECT_EQ(d.Send(FileWrite(0x5E, chunk.data(), 4096)).value, 0);
  EXPECT_EQ(d.Send(FileWrite(0x5E, chunk.data(), 1000)).value, status::kNoSpace);
  EXPECT_EQ(d.Send(FileClose(0x5E)).value, 0);
  EXPECT_EQ(d.Send(FileClose(0x5E)).value, 0);  // resent after a lost answer
  EXPECT_EQ(d.Send(FileClose(0x5E, 1)).value, status::kBadHandle);
  const PedalReport r = d.Report();
  ASSERT_NE(r.File("LINESEL.TDL"), nullptr);
  EXPECT_EQ(r.File("LINESEL.TDL")->contents, chunk);
}

// Gets a member-0 pedal to the point where the flash is erased.
CDriver Erased(PedalConfig config = Member(0)) {
  CDriver d(config);
  d.Send(Identity());
  d.Send(Msg(ComposeUpdateStart, d.id()));
  d.Send(RomErase(d.id()));
  return d;
}

TEST(SimModel, EachRomWriteFaultIsRefusedWithItsOwnStatus) {
  const Bytes block = Pattern(12288, 5);
  struct Case {
    const char* name;
    Bytes message;
    uint8_t status;
  };
  Bytes badCrc = RomWrite(0x5E, block.data(), kFlashBase, 12288);
  badCrc[badCrc.size() - 2] ^= 0x04;
  Bytes shortPayload = RomWrite(0x5E, block.data(), kFlashBase, 12288);
  shortPayload.erase(shortPayload.begin() + 100);
  Bytes padding = RomWrite(0x5E, block.data(), kFlashBase, 12);  // groups of 7 and 5 bytes
  padding[12 + 8] |= 0x01;  // a bit for a byte the short group does not have
  Bytes septet = RomWrite(0x5E, block.data(), kFlashBase, 100);
  septet[9] = 0x10;  // address bit 32
  const Case cases[] = {
      {"bad CRC", badCrc, status::kBadCrc},
      {"wrong length", shortPayload, status::kBadLength},
      {"empty block", RomWrite(0x5E, block.data(), kFlashBase, 0), status::kBadLength},
      {"below the flash", RomWrite(0x5E, block.data(), kFlashBase - 0x1000, 100),
       status::kOutOfRange},
      {"past the flash", RomWrite(0x5E, block.data(), kFlashBase + kFlashSize - 100, 200),
       status::kOutOfRange},
      {"padding bits", padding, status::kMalformed},
      {"bits above 31", septet, status::kMalformed},
  };
  for (const Case& c : cases) {
    CDriver d = Erased();
    const Answer a = d.Send(c.message);
    EXPECT_EQ(a.kind, Kind::Ack) << c.name;
    EXPECT_EQ(a.value, c.status) << c.name;
    const PedalReport r = d.Report();
    ASSERT_EQ(r.refusals.size(), 1u) << c.name;
    EXPECT_EQ(r.refusals[0].status, c.status) << c.name;
    EXPECT_FALSE(r.violations.empty()) << c.name << ": a correct updater never sends this";
    EXPECT_EQ(r.flash.bytesWritten, 0u) << c.name;
  }
}

TEST(SimModel, RomWriteNeedsAnErasedRangeWrittenOnce) {
  const Bytes block = Pattern(4096, 6);
  {
    CDriver d(Member(0));
    d.Send(Identity());
    d.Send(Msg(ComposeUpdateStart, 0x5E));
    d.Send(RomErase(0x5E, kFlashBase, 0x1000));  // one sector only
    EXPECT_EQ(d.Send(RomWrite(0x5E, block.data(), kFlashBase + 0x800, 4096)).value,
              status::kNotErased);
    EXPECT_EQ(d.Report().flash.bytesWritten, 0u);
  }
  {
    CDriver d = Erased();
    const Bytes write = RomWrite(0x5E, block.data(), kFlashBase, 4096);
    EXPECT_EQ(d.Send(write).value, 0);
    EXPECT_EQ(d.Send(write).value, 0);  // the same block again: its answer went missing
    EXPECT_EQ(d.Report().repeatedBlocks, 1u);
    const Bytes other = Pattern(4096, 7);
    EXPECT_EQ(d.Send(RomWrite(0x5E, other.data(), kFlashBase, 4096)).value, status::kWrittenTwice);
    EXPECT_TRUE(HasViolation(d.Report(), "already written"));
  }
  {
    CDriver d(Member(0));
    d.Send(Identity());
    EXPECT_EQ(d.Send(RomErase(0x5E)).value, status::kNotInUpdateMode);
    EXPECT_EQ(d.Send(RomWrite(0x5E, block.data(), kFlashBase, 4096)).value,
              status::kNotInUpdateMode);
  }
}

TEST(SimModel, DeviceStatesGiveTheirStatuses) {
  PedalConfig notReady = Member(0);
  notReady.updateModeReady = false;
  CDriver a(notReady);
  a.Send(Identity());
  EXPECT_EQ(a.Send(Msg(ComposeUpdateStart, 0x5E)).value, status::kNotInUpdateMode);

  PedalConfig low = Member(1);
  low.batteryLow = true;
  CDriver b(low);
  b.Send(Identity());
  EXPECT_EQ(b.Send(Msg(ComposeGetSemaphore, 0x5E)).value, status::kSemaphoreBatteryLow);

  PedalConfig later = Member(0);
  later.batteryLowAfterBlock = 2;
  CDriver c = Erased(later);
  const std::vector<Answer> answers = c.WriteImage(Pattern(12288 * 3, 8));
  EXPECT_EQ(answers[0].value, 0);
  EXPECT_EQ(answers[1].value, 0);
  EXPECT_EQ(answers[2].value, status::kBatteryLow);
  EXPECT_TRUE(c.Report().batteryLow);

  PedalConfig refusing = Member(1);
  refusing.semaphoreRefusals = 3;
  refusing.semaphoreRefusalStatus = 9;
  CDriver e(refusing);
  e.Send(Identity());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(e.Send(Msg(ComposeGetSemaphore, 0x5E)).value, 9);
  EXPECT_EQ(e.Send(Msg(ComposeAudioMute, 0x5E)).value, status::kNoSemaphore);
  EXPECT_EQ(e.Send(Msg(ComposeGetSemaphore, 0x5E)).value, 0);
  EXPECT_TRUE(HasViolation(e.Report(), "AudioMute after GetSemaphore was refused"));
}

// Each entry takes a member-1 pedal through its own steps and expects one kind of violation.
TEST(SimModel, ConformanceViolationsAreRecorded) {
  const Bytes image = Pattern(12288 * 2 + 10, 9);
  const Bytes module = Pattern(5000, 10);
  struct Case {
    const char* expect;
    std::function<void(CDriver&)> run;
  };
  const std::vector<Case> cases = {
      {"byte 2 is 0x01",
       [](CDriver& d) {
         Bytes m = Identity();
         m[2] = 0x01;
         d.Send(m);
       }},
      {"device id 0x5D",
       [](CDriver& d) {
         d.Send(Identity());
         EXPECT_EQ(d.Send(Msg(ComposeGetSemaphore, 0x5D)).kind, Kind::None);  // not for us
       }},
      {"UpdateStart of 7 bytes",
       [](CDriver& d) {
         d.Send(Identity());
         Bytes m = Msg(ComposeUpdateStart, 0x5E);
         m.insert(m.end() - 1, 0x00);
         EXPECT_EQ(d.Send(m).value, status::kMalformed);
       }},
      {"GetSemaphore before any IdentityRequest",
       [](CDriver& d) { d.Send(Msg(ComposeGetSemaphore, 0x5E)); }},
      {"AudioMute after IdentityRequest; its row takes it once GetSemaphore was granted",
       [](CDriver& d) {
         d.Send(Identity());
         d.Send(Msg(ComposeAudioMute, 0x5E));
       }},
      {"UpdateStart after IdentityRequest",  // skipped the semaphore and the mute
       [](CDriver& d) {
         d.Send(Identity());
         d.Send(Msg(ComposeUpdateStart, 0x5E));
       }},
      {"RomErase after UpdateStart",  // skipped the module file
       [](CDriver& d) {
         d.Send(Identity());
         d.Send(Msg(ComposeGetSemaphore, 0x5E));
         d.Send(Msg(ComposeAudioMute, 0x5E));
         d.Send(Msg(ComposeUpdateStart, 0x5E));
         d.Send(RomErase(0x5E));
       }},
      {"name field",
       [](CDriver& d) {
         d.Send(Identity());
         d.Send(Msg(ComposeGetSemaphore, 0x5E));
         d.Send(Msg(ComposeAudioMute, 0x5E));
         d.Send(Msg(ComposeUpdateStart, 0x5E));
         Bytes m = FileDelete(0x5E, "LINESEL.TDL");
         m[18] = 'X';  // no NUL in the field
         d.Send(m);
       }},
      {"open mode 2",
       [&](CDriver& d) {
         d.ThroughFile(module);
         d.Send(FileOpen(0x5E, "LINESEL.TDL", 2));
       }},
      {"ResultRequest argument 1",
       [&](CDriver& d) {
         d.ThroughFile(module);
         d.Send(Result(0x5E, 1));
       }},
      {"FileWrite after FileOpen; its row takes it once FileOpen",
       [&](CDriver& d) {
         d.Send(Identity());
         d.Send(Msg(ComposeGetSemaphore, 0x5E));
         d.Send(Msg(ComposeAudioMute, 0x5E));
         d.Send(Msg(ComposeUpdateStart, 0x5E));
         d.Send(FileDelete(0x5E, "LINESEL.TDL"));
         d.Send(FileOpen(0x5E, "LINESEL.TDL"));
         d.Send(FileWrite(0x5E, module.data(), 100));
       }},
      {"the next block is at 0x000A3000",
       [&](CDriver& d) {
         d.ThroughFile(module);
         d.Send(RomErase(0x5E));
         d.Send(RomWrite(0x5E, image.data(), kFlashBase, 12288));
         d.Send(RomWrite(0x5E, image.data(), kFlashBase + 2 * 12288, 12288));
       }},
      {"UpdateComplete after 12288 of 24586 image bytes",
       [&](CDriver& d) {
         d.ThroughFile(module);
         d.Send(RomErase(0x5E));
         d.Send(RomWrite(0x5E, image.data(), kFlashBase, 12288));
         d.Send(Msg(ComposeUpdateComplete, 0x5E));
       }},
      {"that answers nothing",
       [](CDriver& d) {
         d.Send(Identity());
         d.Send({0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7});
       }},
      {"unknown command",
       [](CDriver& d) {
         d.Send(Identity());
         EXPECT_EQ(d.Send({0xF0, 0x52, 0x00, 0x5E, 0x33, 0xF7}).value, status::kUnknownCommand);
       }},
      {"bytes outside any message",
       [](CDriver& d) { d.model().OnFramingEvent(CPedalFramer::Heard::StrayByte, false); }},
  };
  for (const Case& c : cases) {
    PedalConfig config = Member(1);
    config.expectedImage = image;
    CDriver d(config);
    c.run(d);
    EXPECT_TRUE(HasViolation(d.Report(), c.expect)) << "expected a violation: " << c.expect;
  }
}

// The updater names a message by its command bytes and length, so a composer that swapped two
// fields would pass its own reading. The pedal reads each field where its row puts it.
TEST(SimModel, SwappedFieldsAreReportedThoughTheUpdatersReadingTakesThem) {
  struct Case {
    const char* name;
    Bytes message;
    px::MessageKind updaterReads;
    const char* expect;
  };
  Bytes open = FileOpen(0x5E, "LINESEL.TDL");
  std::fill(open.begin() + 6, open.end() - 1, 0x00);  // the name first, the mode behind it
  std::copy_n("LINESEL.TDL", 11, open.begin() + 6);
  EncodeSeptet32(1, open.data() + 23);
  Bytes erase = RomErase(0x5E, kFlashSize, kFlashBase);  // size first, then the address
  const Case cases[] = {
      {"FileOpen, name and mode", open, px::MessageKind::FileOpen,
       "FileOpen mode field with bits above 31; its row has the mode in bytes 6 to 10"},
      {"RomErase, address and size", erase, px::MessageKind::RomErase,
       "RomErase of 0x000A0000 bytes at 0x00100000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(px::ClassifyMessage(c.message.data(), c.message.size(), Sender::Updater),
              c.updaterReads)
        << c.name;
    CDriver d(Member(1));
    d.Send(Identity());
    d.Send(Msg(ComposeGetSemaphore, 0x5E));
    d.Send(Msg(ComposeAudioMute, 0x5E));
    d.Send(Msg(ComposeUpdateStart, 0x5E));
    d.Send(FileDelete(0x5E, "LINESEL.TDL"));
    if (c.updaterReads == px::MessageKind::RomErase) {
      d.Send(FileOpen(0x5E, "LINESEL.TDL"));
      d.Send(Result(0x5E));
      const Bytes chunk = Pattern(100, 12);
      d.Send(FileWrite(0x5E, chunk.data(), 100));
      d.Send(Result(0x5E));
      d.Send(FileClose(0x5E));
    }
    d.Send(c.message);
    EXPECT_TRUE(HasViolation(d.Report(), c.expect)) << c.name;
  }
}

TEST(SimModel, PedalsOwnRequestsMustBeAnsweredRight) {
  PedalConfig config = Member(0);
  config.rules.push_back(
      {WireKind::UpdateStart, -1, {}, Occurrences::Always(), FaultAction::AskIdentity});
  config.rules.push_back(
      {WireKind::RomErase, -1, {}, Occurrences::Always(), FaultAction::UnknownCommand});
  CDriver d(config);
  d.Send(Identity());
  d.Send(Msg(ComposeUpdateStart, 0x5E));
  ASSERT_EQ(d.outputs().size(), 2u);
  EXPECT_EQ(d.outputs()[0].bytes, (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
  // The updater's own identity reply, naming the device after its UpdateStart.
  CMessageSet messages;
  messages.SetIdentityReplyDevice(0x5E);
  d.Send(messages.IdentityReply());
  EXPECT_TRUE(d.Report().violations.empty());
  d.Send(RomErase(0x5E));
  ASSERT_EQ(d.outputs().size(), 2u);
  const uint8_t command = d.outputs()[0].bytes[4];
  const uint8_t owed = command == 0x01 || command == 0x04 || command == 0x05 ? 0 : 1;
  d.Send({0xF0, 0x52, 0x00, 0x5E, 0x00, static_cast<uint8_t>(owed ^ 1), 0xF7});
  EXPECT_TRUE(HasViolation(d.Report(), "to a device command that gets Ack"));
  // A reply naming device 0x00 after UpdateStart is stale.
  d.Send(Msg(ComposeUpdateComplete, 0x5E));
  messages.SetIdentityReplyDevice(0x00);
  d.Send(messages.IdentityReply());
  EXPECT_TRUE(HasViolation(d.Report(), "that answers nothing"));
}

TEST(SimModel, DamagedMessagesAreRefusedButNotBlamed) {
  CDriver d = Erased();
  const Bytes block = Pattern(12288, 11);
  Bytes m = RomWrite(0x5E, block.data(), kFlashBase, 12288);
  m[500] ^= 0x02;
  EXPECT_EQ(d.Send(m, /*damaged=*/true).value, status::kBadCrc);
  const PedalReport r = d.Report();
  EXPECT_TRUE(r.violations.empty());
  EXPECT_EQ(r.damagedMessages, 1u);
  EXPECT_EQ(r.refusals.size(), 1u);
}

// The block's check covers its data, not its address: a block whose address the line changed is
// written where it says, and the clash with the true block there later is the line's doing.
TEST(SimModel, AClashWithABlockTheLineMovedIsNotBlamed) {
  CDriver d = Erased();
  const Bytes first = Pattern(4096, 12);
  const Bytes second = Pattern(4096, 13);
  EXPECT_EQ(d.Send(RomWrite(0x5E, first.data(), kFlashBase + 4096, 4096), /*damaged=*/true).value,
            0);
  EXPECT_EQ(d.Send(RomWrite(0x5E, second.data(), kFlashBase + 4096, 4096)).value,
            status::kWrittenTwice);
  EXPECT_FALSE(HasViolation(d.Report(), "already written"));
  EXPECT_EQ(d.Report().flash.bytesWritten, 4096u);
}

// Damage that the block's check let through changed nothing the device keeps: the block counts
// as the image's own.
TEST(SimModel, ABlockDamagedHarmlesslyStillMatchesTheImage) {
  PedalConfig config = Member(0);
  const Bytes block = Pattern(4096, 14);
  config.expectedImage = block;
  CDriver d = Erased(config);
  EXPECT_EQ(d.Send(RomWrite(0x5E, block.data(), kFlashBase, 4096), /*damaged=*/true).value, 0);
  EXPECT_LT(d.Report().flash.firstMismatch, 0);
}

TEST(SimModel, PauseAfterUpdateStartIsChecked) {
  PedalConfig config = Member(0);
  config.settleAfterUpdateStartMs = 500;
  CPedalModel model(config);
  std::vector<Output> out;
  const Bytes id = Identity();
  const Bytes start = Msg(ComposeUpdateStart, 0x5E);
  const Bytes erase = RomErase(0x5E);
  model.OnMessage(id.data(), id.size(), false, 0, out);
  model.OnMessage(start.data(), start.size(), false, 1000, out);
  model.OnMessage(erase.data(), erase.size(), false, 1100, out);  // 98 ms after the answer
  EXPECT_TRUE(HasViolation(model.Report(2000), "after UpdateStart was answered"));

  CPedalModel patient(config);
  patient.OnMessage(id.data(), id.size(), false, 0, out);
  patient.OnMessage(start.data(), start.size(), false, 1000, out);
  patient.OnMessage(erase.data(), erase.size(), false, 1505, out);
  EXPECT_TRUE(patient.Report(2000).violations.empty());
}

// A file name or finding holds whatever came over the line; the report stays JSON that reads back.
TEST(SimReport, OddTextReadsBack) {
  PedalReport r;
  FileReport f;
  f.name = "LINE\"SEL\\\x01\xFF.TDL";
  f.matchesExpected = false;
  r.files.push_back(f);
  r.missingFiles.push_back("A\nB");
  r.violations.push_back({3, WireKind::FileOpen, "a name with \"quotes\" and \ttabs"});
  r.refusals.push_back({4, WireKind::RomWrite, -1, "bad CRC"});
  r.flash.expectedImageGiven = true;
  r.flash.firstMismatch = 73728;
  const nlohmann::json j = nlohmann::json::parse(ReportToJson(r));
  EXPECT_FALSE(j.at("success").get<bool>());
  // A byte that is not UTF-8 becomes the replacement mark.
  EXPECT_EQ(j.at("files").at(0).at("name"), "LINE\"SEL\\\x01\xEF\xBF\xBD.TDL");
  EXPECT_FALSE(j.at("files").at(0).at("matchesExpected").get<bool>());
  EXPECT_EQ(j.at("missingFiles").at(0), "A\nB");
  EXPECT_EQ(j.at("violations").at(0).at("what"), r.violations[0].what);
  EXPECT_EQ(j.at("violations").at(0).at("message"), 3);
  EXPECT_EQ(j.at("refusals").at(0).at("status"), -1);
  EXPECT_EQ(j.at("flash").at("expectedImage").at("firstMismatch"), 73728);
  EXPECT_EQ(j.at("flash").at("crc32"), "0x00000000");
  EXPECT_TRUE(j.at("sequence").is_array());
}

// The verdicts that the command line reads back are those the report was written with; what the
// report does not say (no image given, no such file, no report at all) reads as not said.
TEST(SimReport, TheVerdictsReadBackAsWritten) {
  auto read = [](const std::string& text) {
    std::istringstream in(text);
    return ReadReportVerdicts(in, "LINESEL.TDL");
  };
  PedalReport r;
  EXPECT_EQ(read(ReportToJson(r)).flashMatches, std::nullopt);
  EXPECT_FALSE(read(ReportToJson(r)).fileMatches);
  r.flash.expectedImageGiven = true;
  FileReport other;
  other.name = "OTHER.TDL";
  other.matchesExpected = true;
  FileReport module;
  module.name = "LINESEL.TDL";
  r.files = {other, module};
  EXPECT_EQ(read(ReportToJson(r)).flashMatches, std::optional<bool>(false));
  EXPECT_FALSE(read(ReportToJson(r)).fileMatches) << "no expectation is no match";
  r.flash.matchesImage = true;
  r.files[1].matchesExpected = true;
  EXPECT_EQ(read(ReportToJson(r)).flashMatches, std::optional<bool>(true));
  EXPECT_TRUE(read(ReportToJson(r)).fileMatches);
  EXPECT_EQ(read("").flashMatches, std::nullopt);
  EXPECT_EQ(read("{\"flash\": 3, \"files\": {}}").flashMatches, std::nullopt);
}

}  // namespace
}  // namespace px::sim::test
