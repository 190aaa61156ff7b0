// The engine against devices that answer more often than asked, a line that is never quiet, and
// a file handle that must be the one judged.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "engine/strings.h"
#include "engine/update_engine.h"
#include "recording_ui.h"
#include "scripted_device.h"

namespace px {
namespace {

using test::AckOf;
using test::Answer;
using test::Bytes;
using test::Reply;

// Reply waits of a second, so that a loaded machine never turns a scripted answer into a
// time-out; the listening after a transfer gets as long.
EngineTiming Timing() {
  EngineTiming t;
  t.replyWaitMs = 1000;
  t.updateStartPauseMs = 300;
  t.resendPauseMs = 2;
  t.semaphorePauseMs = 1;
  t.eraseBytesPerMs = 1000000;
  t.eraseExtraMs = 1000;
  t.settleMarginMs = 1000;
  return t;
}

class AnswersTest : public ::testing::Test {
 protected:
  AnswersTest() : firmware_(3 * kWriteBlock, 0x3C), module_(100, 0x5A) {}
  void TearDown() override { engine_.reset(); }

  // variant 0: no file transfer; 1: with it. The script answers what it names (nothing: silence)
  // and leaves the rest to the usual device.
  using Script = std::function<std::optional<std::vector<Answer>>(const std::string&, int)>;
  void Run(uint8_t variant, Script script) {
    dev_.SetHandler([=](const Bytes& m, const std::string& kind, int n) {
      return script(kind, n).value_or(test::ScriptedDevice::Default(m, kind, 0x5E, variant));
    });
    engine_ = std::make_unique<CUpdateEngine>(
        dev_, ui_, Timing(), [this](int id, const uint8_t** bytes) -> int32_t {
          const Bytes& image = id == kFirmwareResource ? firmware_ : module_;
          *bytes = image.data();
          return static_cast<int32_t>(image.size());
        });
    engine_->StartReplyThread();
    engine_->OnExecute(3);
    ASSERT_TRUE(engine_->WaitForWorker(120000));
  }

  void ExpectOutOfStep() {
    EXPECT_EQ(ui_.Errors(), std::vector<std::string>{LoadText(IDS_ANSWERS_OUT_OF_STEP)});
    EXPECT_TRUE(ui_.Completions().empty());
    EXPECT_EQ(dev_.Count("UpdateComplete"), 0) << "the pedal must stay in update mode";
    EXPECT_TRUE(ui_.Enabled());
    EXPECT_FALSE(engine_->UpdateInProgress());
    EXPECT_EQ(engine_->LastOutcome(), RunOutcome::OutOfStep);
  }

  test::ScriptedDevice dev_;
  test::RecordingUi ui_;
  Bytes firmware_;
  Bytes module_;
  std::unique_ptr<CUpdateEngine> engine_;
};

// Block 1 answered twice: the copy taken for block 2's answer puts every later answer one behind,
// so block 2's refusal is read as block 3's and block 2 would never be written again.
TEST_F(AnswersTest, AnAnswerTooManyBeforeARefusalEndsOutOfStep) {
  Run(0, [](const std::string& kind, int n) -> std::optional<std::vector<Answer>> {
    if (kind != "RomWrite") return std::nullopt;
    if (n == 0) return Reply(AckOf(0));
    // Block 2: block 1's second answer at once, then block 2's own refusal once the updater
    // has moved on.
    if (n == 1) return std::vector<Answer>{{AckOf(0), 0}, {AckOf(6), 20}};
    return Reply(AckOf(0), 20);
  });
  ExpectOutOfStep();
}

TEST_F(AnswersTest, AnAnswerTooManyAtTheEndOfTheFileEndsOutOfStep) {
  Run(1, [](const std::string& kind, int n) -> std::optional<std::vector<Answer>> {
    // FileClose answered twice, the second copy after the first was taken.
    if (kind == "FileClose" && n == 0) return std::vector<Answer>{{AckOf(0), 0}, {AckOf(0), 400}};
    return std::nullopt;
  });
  ExpectOutOfStep();
  EXPECT_EQ(dev_.Count("RomErase"), 0);
}

// Answers that come while nothing is asked (during the pause after UpdateStart, 300 ms; the
// second copy comes 5 ms after the first): a repeat changes nothing, a contradiction ends the run.
TEST_F(AnswersTest, AnUnaskedAnswerRepeatingTheLastIsHarmless) {
  Run(0, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "UpdateStart") return std::vector<Answer>{{AckOf(0), 0}, {AckOf(0), 5}};
    return std::nullopt;
  });
  EXPECT_TRUE(ui_.Errors().empty());
  EXPECT_EQ(ui_.Completions().size(), 1u);
  EXPECT_EQ(engine_->Reply().Answers.Surplus(), 1u);
}

TEST_F(AnswersTest, AnUnaskedAnswerContradictingTheLastEndsOutOfStep) {
  Run(0, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "UpdateStart") return std::vector<Answer>{{AckOf(0), 0}, {AckOf(11), 5}};
    return std::nullopt;
  });
  ExpectOutOfStep();
  EXPECT_EQ(dev_.Count("RomErase"), 0) << "nothing more goes to the pedal";
}

// FileOpen's first copy is answered late, together with the answer to its resend, and the two
// answers differ. Whichever the worker judges, the handle sent with every FileWrite and FileClose
// is that judged value, never the other answer that came right after it.
TEST_F(AnswersTest, TheFileHandleIsTheAnswerThatWasJudged) {
  Run(1, [](const std::string& kind, int n) -> std::optional<std::vector<Answer>> {
    if (kind == "FileOpen" && n == 0) return test::Silence();
    if (kind == "FileOpen" && n == 1) {
      return std::vector<Answer>{{test::ValueReplyOf(0), 0}, {test::ValueReplyOf(9), 0}};
    }
    return std::nullopt;
  });
  int handles = 0;
  for (const Bytes& m : dev_.Received()) {
    const std::string kind = test::KindOf(m);
    if (kind != "FileWrite" && kind != "FileClose") continue;
    EXPECT_EQ(DecodeSeptet32(m.data() + field::kSubValue), 0) << kind;
    ++handles;
  }
  if (ui_.Errors().empty()) {
    EXPECT_EQ(handles, 2);
  } else {
    EXPECT_EQ(ui_.Errors(), std::vector<std::string>{"Error occurred(File Open:9)"});
    EXPECT_EQ(handles, 0);
  }
}

// A line that is never quiet: a timing clock byte every few ms, for as long as the test lasts.
class ChatteringLink : public IPortLink {
 public:
  bool ReadByte(uint8_t& byte) override {
    if (given_.load() >= kLimit) return false;  // ends the chatter of a receiver that never stops
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    byte = 0xF8;
    given_.fetch_add(1);
    return true;
  }
  void Send(const uint8_t*, int) override {}
  bool Open(int, uint32_t) override { return true; }
  bool Open(const std::string&, uint32_t) override { return true; }
  void Close() override {}
  int LastOpenError() const override { return 0; }
  bool Chattering() const { return given_.load() < kLimit; }
  uint64_t Given() const { return given_.load(); }

  // About two minutes of chatter.
  static constexpr uint64_t kLimit = 60000;

 private:
  std::atomic<uint64_t> given_{0};
};

TEST(ChatteringLine, ShutdownDoesNotWaitForTheLineToGoQuiet) {
  ChatteringLink link;
  test::RecordingUi ui;
  {
    CUpdateEngine engine(link, ui, Timing());
    engine.StartReplyThread();
    const uint64_t before = link.Given();
    while (link.Given() < before + 10) std::this_thread::yield();  // the reply thread reads
    engine.OnExecute(3);  // the worker waits for an identity reply that never comes
    engine.Shutdown();
    EXPECT_TRUE(link.Chattering()) << "the reply thread ended only once the line went quiet";
  }
  EXPECT_TRUE(ui.Errors().empty());
}

}  // namespace
}  // namespace px
