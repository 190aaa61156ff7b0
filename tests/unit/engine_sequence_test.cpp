// The update sequence against a scripted device: every branch, count and text, at scaled time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/event.h"
#include "engine/strings.h"
#include "engine/update_runner.h"
#include "recording_ui.h"
#include "scripted_device.h"
#include "wait_until.h"

namespace px {
namespace {

using test::AckOf;
using test::Answer;
using test::Bytes;
using test::Reply;
using test::Silence;
using test::WaitUntil;

EngineTiming Fast() {
  return test::ScriptedTiming();
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 151 + (i >> 8));
  return b;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(); }
  void TearDown() override { engine_.reset(); }

  void Make(EngineTiming timing = Fast()) {
    engine_.reset();
    engine_ = std::make_unique<CUpdateRunner>(
        dev_, ui_, timing, [this](int id, const uint8_t** bytes) -> int32_t {
          const Bytes* image = id == kFirmwareResource ? &firmware_
                               : id == kModuleResource ? &module_
                                                       : nullptr;
          if (image == nullptr || (id == kFirmwareResource && firmwareMissing_)) return -1;
          *bytes = image->data();
          return static_cast<int32_t>(image->size());
        });
    engine_->StartReplyThread();
  }

  void Run() {
    engine_->OnExecute(3);
    ASSERT_TRUE(engine_->WaitForWorker(60000));
  }

  // Answers by kind; kinds not listed get the default device's answer.
  void Script(
      std::function<std::vector<Answer>(const std::string& kind, int n, const Bytes& m)> f) {
    dev_.SetHandler([f, this](const Bytes& m, const std::string& kind, int n) {
      std::vector<Answer> a = f(kind, n, m);
      if (!a.empty() && a[0].bytes.empty())
        return test::ScriptedDevice::Default(m, kind, id_, variant_);
      return a;
    });
  }
  // Marks "answer as the default device would" inside a script.
  static std::vector<Answer> Usual() { return {Answer{}}; }

  std::vector<std::string> Errors() { return ui_.Errors(); }

  uint8_t id_ = 0x5E;
  uint8_t variant_ = 1;
  Bytes firmware_ = Pattern(2 * kWriteBlock + 100, 1);
  Bytes module_ = Pattern(9217, 7);
  bool firmwareMissing_ = false;
  test::ScriptedDevice dev_;
  test::RecordingUi ui_;
  std::unique_ptr<CUpdateRunner> engine_;
};

TEST_F(EngineTest, Variant1GoesThroughEveryStepInOrder) {
  Run();
  const std::vector<std::string> expected = {
      "IdentityRequest", "GetSemaphore",  "AudioMute",     "UpdateStart",   "FileDelete",
      "FileOpen",        "ResultRequest", "FileWrite",     "ResultRequest", "FileWrite",
      "ResultRequest",   "FileWrite",     "ResultRequest", "FileClose",     "RomErase",
      "RomWrite",        "RomWrite",      "RomWrite",      "UpdateComplete"};
  EXPECT_EQ(dev_.Kinds(), expected);
  EXPECT_EQ(ui_.Completions(), std::vector<std::string>{"Firmware update completed."});
  EXPECT_TRUE(Errors().empty());
  EXPECT_FALSE(engine_->UpdateInProgress());
  EXPECT_FALSE(ui_.Enabled()) << "controls stay disabled after a completed update";
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::Completed);

  // Chunks of 4096, 4096 and 1025 bytes; the last block carries the remaining 100 bytes at its
  // address.
  std::vector<uint32_t> chunks;
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  for (const Bytes& m : dev_.Received()) {
    if (test::KindOf(m) == "FileWrite") chunks.push_back(DecodeSeptet32(&m[11]));
    if (test::KindOf(m) == "RomWrite") {
      blocks.emplace_back(DecodeSeptet32(&m[5]), ReadSeptet14(&m[10]));
    }
  }
  EXPECT_EQ(chunks, (std::vector<uint32_t>{4096, 4096, 1025}));
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[2], std::make_pair(0x000A0000u + 2 * kWriteBlock, 100u));

  // The bar: 0, 5 before FileDelete, the module's bytes, +5 for the erase, the image, 100.
  const std::vector<int> p = ui_.Positions();
  ASSERT_GE(p.size(), 4u);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], 5);
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
  EXPECT_EQ(p.back(), 100);
  EXPECT_GE(p[p.size() - 2], 99);
  // The updater's own identity reply now names the device.
  EXPECT_EQ(engine_->OwnIdentityReply()[6], 0x5E);
}

TEST_F(EngineTest, OtherVariantsSkipSemaphoreMuteAndModule) {
  variant_ = 0;
  id_ = 0x5D;
  Script([](const std::string&, int, const Bytes&) { return Usual(); });
  Run();
  EXPECT_EQ(dev_.Kinds(),
            (std::vector<std::string>{"IdentityRequest", "UpdateStart", "RomErase", "RomWrite",
                                      "RomWrite", "RomWrite", "UpdateComplete"}));
  for (const Bytes& m : dev_.Received()) {
    if (m[1] == 0x52) {
      EXPECT_EQ(m[3], 0x5D);
    }
  }
  const std::vector<int> p = ui_.Positions();
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], 5);
  EXPECT_EQ(p.back(), 100);
  EXPECT_EQ(ui_.Completions().size(), 1u);
}

TEST_F(EngineTest, Identification) {
  Script([](const std::string&, int, const Bytes&) { return Silence(); });
  Run();
  EXPECT_EQ(dev_.Count("IdentityRequest"), 6);
  EXPECT_EQ(dev_.Received().size(), 6u);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Time out error(ID Request)"});
  EXPECT_TRUE(ui_.Enabled());
  EXPECT_FALSE(engine_->UpdateInProgress());
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::TimedOut);

  // A device code that is not accepted ends the run before anything changes.
  id_ = 0x22;
  Script([](const std::string&, int, const Bytes&) { return Usual(); });
  Run();
  EXPECT_EQ(Errors().back(), "Illegal device connected.");
  EXPECT_EQ(dev_.Received().size(), 7u);
}

TEST_F(EngineTest, UpdateStartRefusals) {
  const std::pair<uint8_t, std::string> cases[] = {
      {11, "Please set the Firmware update mode."},
      {12, "Low battery."},
      {3, "Transfer error occurred(Update start:3)"},
  };
  for (const auto& [status, text] : cases) {
    const uint8_t s = status;
    Script([s](const std::string& kind, int, const Bytes&) {
      return kind == "UpdateStart" ? Reply(AckOf(s)) : Usual();
    });
    Run();
    EXPECT_EQ(Errors().back(), text);
    EXPECT_TRUE(ui_.Enabled());
    EXPECT_FALSE(engine_->UpdateInProgress());
  }
}

TEST_F(EngineTest, SemaphoreIsAskedUpToAHundredTimes) {
  // 99 refusals, then the grant.
  Script([](const std::string& kind, int n, const Bytes&) {
    return kind == "GetSemaphore" && n < 99 ? Reply(AckOf(2)) : Usual();
  });
  Run();
  EXPECT_EQ(dev_.Count("GetSemaphore"), 100);
  EXPECT_TRUE(Errors().empty());

  // The hundredth refusal ends the run; its status picks the text.
  for (const auto& [status, text] :
       {std::pair<uint8_t, std::string>{3, "Low battery."},
        std::pair<uint8_t, std::string>{2, "Transfer error occurred(Get semaphore:2)"}}) {
    const uint8_t s = status;
    const int before = dev_.Count("GetSemaphore");
    Script([s](const std::string& kind, int, const Bytes&) {
      return kind == "GetSemaphore" ? Reply(AckOf(s)) : Usual();
    });
    Run();
    EXPECT_EQ(dev_.Count("GetSemaphore") - before, 100);
    EXPECT_EQ(Errors().back(), text);
    EXPECT_EQ(dev_.Kinds().back(), "GetSemaphore");
  }
}

TEST_F(EngineTest, SemaphoreTimeoutsAndRefusalsCountApart) {
  // Five silences among 99 refusals, then the grant: 105 messages.
  Script([](const std::string& kind, int n, const Bytes&) {
    if (kind != "GetSemaphore") return Usual();
    if (n % 20 == 3 && n < 100) return Silence();
    return n < 104 ? Reply(AckOf(1)) : Usual();
  });
  Run();
  EXPECT_EQ(dev_.Count("GetSemaphore"), 105);
  EXPECT_TRUE(Errors().empty());

  // The sixth time-out fails it, whatever came before.
  const int before = dev_.Count("GetSemaphore");
  Script([before](const std::string& kind, int n, const Bytes&) {
    if (kind != "GetSemaphore") return Usual();
    return (n - before) % 2 == 0 ? Silence() : Reply(AckOf(1));
  });
  Run();
  EXPECT_EQ(Errors().back(), "Time out error(Get semaphore)");
  EXPECT_EQ(dev_.Count("GetSemaphore") - before, 11);
}

TEST_F(EngineTest, MuteAndSignedStatuses) {
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "AudioMute" ? Reply(AckOf(4)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Transfer error occurred(Audio mute:4)");
  EXPECT_EQ(dev_.Kinds().back(), "AudioMute");

  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "FileDelete" ? Reply(test::ValueReplyOf(-5)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Error occurred(File Delete:-5)");
}

TEST_F(EngineTest, EraseResendsAfterRefusalsButNotAfterSilence) {
  Script([](const std::string& kind, int n, const Bytes&) {
    return kind == "RomErase" && n < 6 ? Reply(AckOf(2)) : Usual();
  });
  Run();
  EXPECT_EQ(dev_.Count("RomErase"), 7);
  EXPECT_TRUE(Errors().empty());

  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "RomErase" ? Reply(AckOf(2)) : Usual();
  });
  Run();
  EXPECT_EQ(dev_.Count("RomErase"), 14);
  EXPECT_EQ(Errors().back(), "Transfer error occurred(ROM erase:2)");

  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "RomErase" ? Silence() : Usual();
  });
  Run();
  EXPECT_EQ(dev_.Count("RomErase"), 15);
  EXPECT_EQ(Errors().back(), "Time out error(ROM erase)");
  EXPECT_EQ(dev_.Kinds().back(), "RomErase");
}

// Counts the sends of each block address.
std::vector<int> SendsPerBlock(test::ScriptedDevice& dev) {
  std::vector<int> sends;
  uint32_t last = 0;
  for (const Bytes& m : dev.Received()) {
    if (test::KindOf(m) != "RomWrite") continue;
    const uint32_t address = static_cast<uint32_t>(DecodeSeptet32(&m[5]));
    if (sends.empty() || address != last) sends.push_back(0);
    ++sends.back();
    last = address;
  }
  return sends;
}

TEST_F(EngineTest, EveryBlockHasItsOwnAllowance) {
  // Blocks 0 and 1 each time out five times, block 2 is refused six times: all succeed.
  Script([](const std::string& kind, int n, const Bytes&) {
    if (kind != "RomWrite") return Usual();
    if (n < 5 || (n >= 6 && n < 11)) return Silence();
    if (n >= 12 && n < 18) return Reply(AckOf(5));
    return Usual();
  });
  Run();
  EXPECT_TRUE(Errors().empty());
  EXPECT_EQ(SendsPerBlock(dev_), (std::vector<int>{6, 6, 7}));

  // The sixth time-out of one block fails the run; so does the seventh refusal.
  Script([](const std::string& kind, int, const Bytes& m) {
    return kind == "RomWrite" && DecodeSeptet32(&m[5]) == 0x000A3000 ? Silence() : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Time out error(ROM write)");
  EXPECT_EQ(SendsPerBlock(dev_), (std::vector<int>{6, 6, 7, 1, 6}));

  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "RomWrite" ? Reply(AckOf(9)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Transfer error occurred(ROM write:9)");
  EXPECT_EQ(SendsPerBlock(dev_).back(), 7);
}

// Block 0's first copy is answered only once its resend has come (so its wait surely ran out),
// and after the resend's own answer: two answers come for block 0. The second must not pass for
// block 1's, which the device refuses: taken for it, block 1 would be skipped and the run end in
// a completion over a hole in the flash.
TEST_F(EngineTest, AnswerToAnEarlierCopyDoesNotAnswerTheNextBlock) {
  variant_ = 0;
  Script([](const std::string& kind, int n, const Bytes& m) {
    if (kind != "RomWrite") return Usual();
    const uint32_t address = static_cast<uint32_t>(DecodeSeptet32(&m[5]));
    if (address == 0x000A0000) {
      if (n == 0) return Silence();
      // The resend's answer, then the first copy's, well inside the wait for what is owed.
      return std::vector<Answer>{{AckOf(0), 0}, {AckOf(0), 100}};
    }
    if (address == 0x000A3000) return Reply(AckOf(23));
    return Usual();
  });
  Run();
  EXPECT_EQ(Errors(), std::vector<std::string>{"Transfer error occurred(ROM write:23)"});
  EXPECT_TRUE(ui_.Completions().empty());
  EXPECT_EQ(SendsPerBlock(dev_), (std::vector<int>{2, 7}));
}

TEST_F(EngineTest, ImageOfWholeBlocksSendsNoEmptyBlock) {
  firmware_ = Pattern(2 * kWriteBlock, 3);
  Run();
  EXPECT_EQ(SendsPerBlock(dev_), (std::vector<int>{1, 1}));
  EXPECT_LE(engine_->LastResult().position, 100);
}

TEST_F(EngineTest, FileSteps) {
  // FileOpen taken, but its result says no: no FileClose follows.
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "ResultRequest" ? Reply(test::ResultReplyOf(1)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Transfer error occurred(Result:1)");
  EXPECT_EQ(dev_.Kinds().back(), "ResultRequest");
  EXPECT_EQ(dev_.Count("FileClose"), 0);

  // A refused chunk still closes the file.
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "FileWrite" ? Reply(AckOf(2)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Transfer error occurred(File Write:2)");
  EXPECT_EQ(dev_.Kinds().back(), "FileClose");

  // A chunk without an answer is never sent again.
  const int writes = dev_.Count("FileWrite");
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "FileWrite" ? Silence() : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Time out error(File Write)");
  EXPECT_EQ(dev_.Count("FileWrite") - writes, 1);
  EXPECT_EQ(dev_.Kinds().back(), "FileClose");
}

TEST_F(EngineTest, ModuleOfTwoWholeChunks) {
  module_ = Pattern(8192, 9);
  Run();
  EXPECT_EQ(dev_.Count("FileWrite"), 2);
  EXPECT_TRUE(Errors().empty());
}

// Aborts from inside the device's Send, that is while the worker is sending.
TEST_F(EngineTest, AbortWhileSendingEndsSilently) {
  Script([this](const std::string& kind, int n, const Bytes&) {
    if (kind == "RomWrite" && n == 1) engine_->Abort();
    return Usual();
  });
  Run();
  EXPECT_EQ(dev_.Kinds().back(), "RomWrite");
  EXPECT_EQ(dev_.Count("RomWrite"), 2);
  EXPECT_TRUE(Errors().empty());
  EXPECT_TRUE(ui_.Completions().empty());
  EXPECT_TRUE(engine_->UpdateInProgress()) << "an abort leaves the run state alone";
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::Aborted);
}

// A reply wait that would outlast the test: only the event the test sends can end it.
EngineTiming Patient() {
  EngineTiming t = Fast();
  t.replyWaitMs = 3600000;
  return t;
}

TEST_F(EngineTest, AbortDuringAWaitOrAPause) {
  // The device goes quiet after UpdateStart; the window closes while the worker waits.
  Make(Patient());
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "FileDelete" ? Silence() : Usual();
  });
  engine_->OnExecute(3);
  ASSERT_TRUE(WaitUntil([&] { return dev_.Count("FileDelete") > 0; }, "FileDelete to be sent"));
  engine_->Abort();
  ASSERT_TRUE(engine_->WaitForWorker(30000));
  EXPECT_EQ(dev_.Kinds().back(), "FileDelete");
  EXPECT_TRUE(Errors().empty());

  // A pause after UpdateStart that would outlast the test: only the abort can end the worker,
  // and nothing more is sent.
  EngineTiming slow = Fast();
  slow.updateStartPauseMs = 3600000;
  Make(slow);
  const size_t before = dev_.Received().size();
  engine_->OnExecute(3);
  ASSERT_TRUE(WaitUntil([&] { return dev_.Count("UpdateStart") >= 2; }, "UpdateStart"));
  engine_->Abort();
  ASSERT_TRUE(engine_->WaitForWorker(30000)) << "the abort did not cut the pause short";
  EXPECT_EQ(dev_.Kinds().back(), "UpdateStart");
  EXPECT_EQ(dev_.Received().size() - before, 4u);
  EXPECT_TRUE(Errors().empty());
}

// A reply left over from one block must not answer the next one: it came while nothing was
// asked, so it is a surplus, neither stored nor signalled.
TEST_F(EngineTest, LeftoverReplyDoesNotAnswerTheNextBlock) {
  struct StaleUi : test::RecordingUi {
    std::function<void()> afterBlock;
    void OnTransfer(uint64_t, uint64_t) override {
      if (afterBlock) afterBlock();
    }
  } ui;
  engine_.reset();  // one reader of the device only
  variant_ = 0;
  CUpdateRunner engine(dev_, ui, Fast(), [this](int id, const uint8_t** bytes) -> int32_t {
    const Bytes& image = id == kFirmwareResource ? firmware_ : module_;
    *bytes = image.data();
    return static_cast<int32_t>(image.size());
  });
  engine.StartReplyThread();
  // After the first block a duplicate Ack 0 arrives; the device refuses the second block.
  ui.afterBlock = [&] {
    if (dev_.Count("RomWrite") != 1) return;
    dev_.Inject(AckOf(0));
    ASSERT_TRUE(WaitUntil([&] { return engine.SurplusAnswers() > 0; },
                          "the reply thread to take the duplicate Ack"));
    ASSERT_EQ(engine.SurplusAnswers(), 1u);
  };
  Script([](const std::string& kind, int, const Bytes& m) {
    return kind == "RomWrite" && DecodeSeptet32(&m[5]) == 0x000A3000 ? Reply(AckOf(6)) : Usual();
  });
  engine.OnExecute(3);
  ASSERT_TRUE(engine.WaitForWorker(60000));
  EXPECT_EQ(ui.Errors(), std::vector<std::string>{"Transfer error occurred(ROM write:6)"});
  EXPECT_TRUE(ui.Completions().empty());
}

TEST_F(EngineTest, SecondRunWaitsForTheWorkerClosingItsFile) {
  // The FileClose after a refused chunk waits for its answer while the controls are back.
  Make(Patient());
  Script([](const std::string& kind, int, const Bytes&) {
    if (kind == "FileWrite") return Reply(AckOf(2));
    if (kind == "FileClose") return Silence();
    return Usual();
  });
  engine_->OnExecute(3);
  ASSERT_TRUE(WaitUntil([&] { return ui_.Enabled() && dev_.Count("FileClose") > 0; },
                        "the controls back and FileClose sent"));
  EXPECT_FALSE(engine_->UpdateInProgress());
  ASSERT_TRUE(engine_->WorkerAlive());
  engine_->OnExecute(3);
  EXPECT_EQ(Errors().back(), "In Progress.");
  dev_.Inject(AckOf(0));
  ASSERT_TRUE(engine_->WaitForWorker(30000));
  EXPECT_EQ(dev_.Count("IdentityRequest"), 1);
  Script([](const std::string&, int, const Bytes&) { return Usual(); });
  engine_->OnExecute(3);  // now it starts
  ASSERT_TRUE(engine_->WaitForWorker(60000));
  EXPECT_EQ(dev_.Count("IdentityRequest"), 2);
  EXPECT_EQ(ui_.Completions().size(), 1u);
}

TEST_F(EngineTest, RunsThatCannotStartSayWhyAndSendNothing) {
  engine_->SetThreadStarterForTest([](std::function<void()>) { return false; });
  engine_->OnExecute(3);
  EXPECT_EQ(Errors().back(), "The update could not be started.");
  EXPECT_TRUE(ui_.Enabled());
  EXPECT_FALSE(engine_->UpdateInProgress());

  Make();
  firmwareMissing_ = true;
  engine_->OnExecute(3);
  EXPECT_EQ(Errors().back(), "The firmware image could not be loaded.");
  firmwareMissing_ = false;
  module_ = Bytes(kModuleFileBufferSize + 1);
  engine_->OnExecute(3);
  EXPECT_EQ(Errors().back(), "The firmware image could not be loaded.");

  dev_.openResult = false;
  module_ = Pattern(100, 1);
  engine_->OnExecute(3);
  ASSERT_TRUE(engine_->WaitForWorker(30000));
  EXPECT_EQ(Errors().back(), "Can't open COM Port.");
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::PortFailed);
  EXPECT_TRUE(dev_.Received().empty());
  EXPECT_TRUE(ui_.Enabled());
}

// A port that takes seconds to open (a Bluetooth one connects inside the system's open): the
// caller of OnExecute never waits for it, and the run is active all the while.
class SlowOpenTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dev_.opener = [this] {
      opening_ = true;
      const bool released = release_.Lock(30000);
      opening_ = false;
      return released && opens_.load();
    };
  }
  void WaitForTheOpen() {
    ASSERT_TRUE(WaitUntil([&] { return opening_.load(); }, "the worker to open the port"));
  }

  CEvent release_;
  std::atomic<bool> opening_{false};
  std::atomic<bool> opens_{true};
};

TEST_F(SlowOpenTest, TheWorkerOpensThePortWhileTheRunIsActive) {
  engine_->OnExecute(3);
  WaitForTheOpen();
  EXPECT_EQ(ui_.Events(), std::vector<std::string>{"disable"});
  EXPECT_EQ(ui_.Positions(), std::vector<int>{0});
  EXPECT_TRUE(engine_->UpdateInProgress());
  EXPECT_EQ(dev_.closes.load(), 1) << "what an earlier run left open goes first";
  engine_->OnExecute(3);
  EXPECT_EQ(Errors(), std::vector<std::string>{"In Progress."});
  release_.SetEvent();
  ASSERT_TRUE(engine_->WaitForWorker(60000));
  EXPECT_EQ(ui_.Completions().size(), 1u);

  // A port that fails to open: its box, then the controls back, as after any failed run.
  Make();
  opens_ = false;
  engine_->OnExecute(3);
  WaitForTheOpen();
  EXPECT_TRUE(engine_->UpdateInProgress());
  release_.SetEvent();
  ASSERT_TRUE(engine_->WaitForWorker(30000));
  const std::vector<std::string> events = ui_.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"disable", "error:Can't open COM Port.", "enable"}));
  EXPECT_FALSE(engine_->UpdateInProgress());
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::PortFailed);
}

TEST_F(SlowOpenTest, AWindowClosedWhileThePortOpensHearsNothingOfIt) {
  const size_t sent = dev_.Received().size();
  engine_->OnExecute(3);
  WaitForTheOpen();
  // This system cannot cancel the open: the worker stays in it past the stop.
  EXPECT_FALSE(engine_->StopWorker(50));
  release_.SetEvent();
  EXPECT_TRUE(engine_->StopWorker(30000));
  EXPECT_EQ(dev_.Received().size(), sent) << "nothing is sent once the window has gone";
  EXPECT_EQ(ui_.Events(), std::vector<std::string>{"disable"});

  // Nor of an open that fails after the close.
  Make();
  opens_ = false;
  engine_->OnExecute(3);
  WaitForTheOpen();
  engine_->Abort();
  release_.SetEvent();
  EXPECT_TRUE(engine_->StopWorker(30000));
  EXPECT_TRUE(Errors().empty());
  EXPECT_TRUE(engine_->UpdateInProgress()) << "an abort leaves the run state alone";
}

TEST_F(EngineTest, DeviceStatus255IsAnOrdinaryStatus) {
  Script([](const std::string& kind, int, const Bytes&) {
    return kind == "FileDelete" ? Reply(test::ValueReplyOf(255)) : Usual();
  });
  Run();
  EXPECT_EQ(Errors().back(), "Error occurred(File Delete:255)");
  EXPECT_TRUE(ui_.Enabled());
  EXPECT_FALSE(engine_->UpdateInProgress());
}

}  // namespace
}  // namespace px
