// The engine against devices that answer more often than asked, a line that is never quiet, and
// a file handle that must be the one judged.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "engine/strings.h"
#include "engine/update_runner.h"
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
  EngineTiming t = test::ScriptedTiming();
  t.updateStartPauseMs = 300;
  t.lastAnswerMarginMs = 1000;
  return t;
}

// A line whose driver holds one request back: the first answer that starts after that request
// was queued began before it had left the host, as a device's late answer to an earlier request
// may. Every other byte leaves at once.
class HoldingDevice : public test::ScriptedDevice {
 public:
  std::string heldKind;  // the kind whose first copy is held

  uint64_t SendCounted(const uint8_t* data, int length) override {
    const std::string kind = test::KindOf(Bytes(data, data + length));
    const uint64_t queued = queued_.fetch_add(static_cast<uint64_t>(length)) + length;
    if (kind == heldKind && !held_.exchange(true)) {
      holding_ = true;
    } else if (!holding_.load()) {
      left_ = queued;
    }
    Send(data, length);
    return queued;
  }
  // The held copy leaves once the first answer after it has begun.
  uint64_t BytesLeftHost() const override {
    const uint64_t left = left_.load();
    if (holding_.exchange(false)) left_ = queued_.load();
    return left;
  }

 private:
  std::atomic<uint64_t> queued_{0};
  mutable std::atomic<uint64_t> left_{0};
  std::atomic<bool> held_{false};
  mutable std::atomic<bool> holding_{false};
};

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
    engine_ = std::make_unique<CUpdateRunner>(
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
    EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::OutOfStep);
  }

  HoldingDevice dev_;
  test::RecordingUi ui_;
  Bytes firmware_;
  Bytes module_;
  std::unique_ptr<CUpdateRunner> engine_;
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
  EXPECT_EQ(engine_->SurplusAnswers(), 1u);
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

Bytes SubReplyOf(uint8_t sub) {
  return {0xF0, 0x52, 0x00, 0x5E, 0x60, sub, 0, 0, 0, 0, 0, 0xF7};
}
Bytes CodeReplyOf(uint8_t code) {
  return {0xF0, 0x52, 0x00, 0x5E, 0x60, 0x04, code, 0xF7};
}
Bytes Code34Of(uint8_t error, int32_t value) {
  Bytes m = {0xF0, 0x52, 0x00, 0x5E, 0x60, 0x04, 34, error, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};
  EncodeSeptet32(static_cast<uint32_t>(value), m.data() + 11);
  return m;
}

// Answers whose status the updater does not know, for a block the device did not write: each is
// a refusal, so the block goes again and the run completes only once it is acknowledged; never
// a completion over the missing block.
class UnknownAnswerTest : public AnswersTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(UnknownAnswerTest, IsNeverASuccess) {
  const Bytes odd = GetParam();
  Run(0, [&](const std::string& kind, int n) -> std::optional<std::vector<Answer>> {
    if (kind == "RomWrite" && n == 1) return Reply(odd);
    return std::nullopt;
  });
  EXPECT_TRUE(ui_.Errors().empty());
  EXPECT_EQ(ui_.Completions().size(), 1u);
  std::vector<uint32_t> addresses;
  for (const Bytes& m : dev_.Received()) {
    if (test::KindOf(m) == "RomWrite") addresses.push_back(DecodeSeptet32(m.data() + 5));
  }
  ASSERT_EQ(addresses.size(), 4u) << "the second block is sent again";
  EXPECT_EQ(addresses[1], addresses[2]);
}

INSTANTIATE_TEST_SUITE_P(Answers, UnknownAnswerTest,
                         ::testing::Values(SubReplyOf(0x7F), SubReplyOf(0x09), CodeReplyOf(33),
                                           CodeReplyOf(0), Code34Of(1, 0), Code34Of(0, -5)),
                         [](const ::testing::TestParamInfo<Bytes>& info) {
                           const Bytes& m = info.param;
                           return (m[5] == 0x04 ? "Code" + std::to_string(m[6]) + "_" +
                                                      std::to_string(m.size() > 8 ? m[7] : 0)
                                                : "Sub" + std::to_string(m[5]));
                         });

// Refused every time with an answer it does not know: the block's error box, with the message's
// own code as the value; the file transfer alike.
TEST_F(AnswersTest, AnUnknownAnswerEndsWithTheExchangesErrorBox) {
  Run(0, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "RomWrite") return Reply(SubReplyOf(0x7F));
    return std::nullopt;
  });
  EXPECT_EQ(ui_.Errors(), std::vector<std::string>{"Transfer error occurred(ROM write:127)"});
  EXPECT_EQ(dev_.Count("RomWrite"), 7);
  EXPECT_TRUE(ui_.Completions().empty());
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::Refused);
}

TEST_F(AnswersTest, AnUnknownAnswerToAFileStepIsItsError) {
  Run(1, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "FileOpen") return Reply(CodeReplyOf(40));
    return std::nullopt;
  });
  EXPECT_EQ(ui_.Errors(), std::vector<std::string>{"Error occurred(File Open:40)"});
  EXPECT_EQ(dev_.Count("FileWrite"), 0);
}

// An answer that began before the identity request had left cannot be its answer; it contradicts
// nothing taken yet, so the answers are out of step, and nothing is judged (before, the run went
// on to judge whatever status and device code it last held).
TEST_F(AnswersTest, IdentificationOutOfStepIsNotJudged) {
  dev_.heldKind = "IdentityRequest";
  Run(1, [](const std::string& kind, int n) -> std::optional<std::vector<Answer>> {
    if (kind == "IdentityRequest" && n == 0) return Reply(AckOf(0));
    return std::nullopt;
  });
  ExpectOutOfStep();
  EXPECT_EQ(dev_.Count("IdentityRequest"), 1);
}

// UpdateComplete takes any answer, but not one judged while the answers went out of step: an
// answer that began before the request had left contradicts the last block's.
TEST_F(AnswersTest, AContradictionDuringUpdateCompleteIsNotACompletion) {
  dev_.heldKind = "UpdateComplete";
  Run(0, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "UpdateComplete") return std::vector<Answer>{{AckOf(6), 0}, {AckOf(0), 50}};
    return std::nullopt;
  });
  EXPECT_EQ(ui_.Errors(), std::vector<std::string>{LoadText(IDS_ANSWERS_OUT_OF_STEP)});
  EXPECT_TRUE(ui_.Completions().empty());
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::OutOfStep);
}

// After a refused chunk the close is still sent; it may time out, and its box is shown, but the
// run's outcome is the refusal that came first.
TEST_F(AnswersTest, TheFirstFailureDecidesTheOutcome) {
  Run(1, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "FileWrite") return Reply(test::ValueReplyOf(-74));
    if (kind == "FileClose") return test::Silence();
    return std::nullopt;
  });
  EXPECT_EQ(ui_.Errors(), (std::vector<std::string>{"Transfer error occurred(File Write:-74)",
                                                    "Time out error(File Close)"}));
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::Refused);
}

// The chunk's late answer begins while the close is still leaving, contradicting the last answer
// taken, and the close's own answer is lost: the close shows its own box or none, never the
// out-of-step box after the chunk's.
TEST_F(AnswersTest, TheCloseAfterAFailedChunkNeverShowsOutOfStep) {
  dev_.heldKind = "FileClose";
  Run(1, [](const std::string& kind, int) -> std::optional<std::vector<Answer>> {
    if (kind == "FileWrite") return test::Silence();
    if (kind == "FileClose") return Reply(test::ValueReplyOf(-9));
    return std::nullopt;
  });
  EXPECT_EQ(ui_.Errors(), std::vector<std::string>{"Time out error(File Write)"});
  EXPECT_EQ(engine_->LastResult().outcome, RunOutcome::TimedOut);
  EXPECT_EQ(dev_.Count("RomErase"), 0);
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
    CUpdateRunner engine(link, ui, Timing());
    engine.StartReplyThread();
    const uint64_t before = link.Given();
    while (link.Given() < before + 10) std::this_thread::yield();  // the reply thread reads
    engine.OnExecute(3);  // the worker waits for an identity reply that never comes
    engine.Shutdown();
    EXPECT_TRUE(link.Chattering()) << "the reply thread ended only once the line went quiet";
  }
  EXPECT_TRUE(ui.Errors().empty());
}

// The waits for answers still owed to a resent request's earlier copies, on the channel alone:
// the test plays the reply thread, handing each answer to the ledger as it comes. A whole reply
// wait here is ten minutes, so that a channel that waited one would be seen at once.
class OwedAnswersTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kWholeWaitMs = 600000;

  // A channel whose whole reply wait is kWholeWaitMs, with this margin on the times measured.
  static EngineTiming Timing(uint32_t marginMs) {
    EngineTiming t;
    t.replyWaitMs = kWholeWaitMs;
    t.lastAnswerMarginMs = marginMs;
    return t;
  }
  OwedAnswersTest() : channel_(std::in_place, link_, answers_, Timing(0)) {}

  // One copy of the request; the answer, when given, comes at once.
  void Request(bool answered = true) {
    channel_->Begin();
    SendAndWait(answered);
  }
  void SendAndWait(bool answered) {
    ASSERT_TRUE(channel_->Send(kRequest.data(), static_cast<int>(kRequest.size())));
    if (answered) Answer(AckOf(0));
    DeviceAnswer answer;
    EXPECT_EQ(channel_->WaitReply(answered ? kWholeWaitMs : 0, answer),
              answered ? Wait::Reply : Wait::TimedOut);
  }
  // A request whose first copy got no answer in its wait, and whose resend was answered.
  void Resent() {
    channel_->Begin();
    SendAndWait(false);
    SendAndWait(true);
    ASSERT_EQ(answers_.Owed(), 1u) << "the first copy is still owed its answer";
  }
  void Answer(const Bytes& m) {
    DeviceAnswer a;
    a.kind = MessageKind::Ack;
    a.status = m[5];
    answers_.Answer(m.data(), m.size(), UINT64_MAX, a);
  }
  // Runs `step` on a thread of its own; true once it returned, false when it was still waiting
  // after far longer than any answer sized from this line could take (then it is stopped).
  bool Returns(const std::function<void()>& step) {
    std::future<void> done = std::async(std::launch::async, step);
    if (done.wait_for(std::chrono::seconds(60)) == std::future_status::ready) return true;
    answers_.Stop();
    done.wait();
    return false;
  }
  // Begin, while the answer still owed comes from another thread: true once Begin returned.
  bool BeginsAsTheOwedAnswerComes() {
    return Returns([&] {
      std::thread owedAnswer([&] { Answer(AckOf(0)); });
      channel_->Begin();
      owedAnswer.join();
    });
  }
  // The next request, sent once: whether an answer was left over for it. Then its own answer
  // comes, so that nothing stays owed.
  bool NextRequestFindsAnAnswer() {
    EXPECT_TRUE(channel_->Send(kRequest.data(), static_cast<int>(kRequest.size())));
    DeviceAnswer answer;
    const bool found = channel_->WaitReply(0, answer) == Wait::Reply;
    Answer(AckOf(0));
    return found;
  }

  const Bytes kRequest = {0xF0, 0x52, 0x00, 0x5E, 0x01, 0xF7};
  test::MemoryLink link_;
  CAnswerLedger answers_;
  std::optional<CRequestChannel> channel_;
};

// The resend was answered by its own answer; the first copy's never comes. Neither the next
// request nor the listening after a transfer waits a whole reply wait for it.
TEST_F(OwedAnswersTest, AResendAnsweredByItsOwnAnswerCostsNoWholeWait) {
  Request();  // measured: the line answers such a request at once
  Resent();
  EXPECT_TRUE(Returns([&] { channel_->Begin(); }));
  EXPECT_FALSE(NextRequestFindsAnAnswer());
  EXPECT_EQ(answers_.Surplus(), 0u);

  Resent();
  bool inStep = false;
  EXPECT_TRUE(Returns([&] { inStep = channel_->StayedInStep(); }));
  EXPECT_TRUE(inStep);
}

// The first copy's answer came late and was taken; the resend's own follows while the next
// request begins. It answers the resent request, never the next one, and it is no surplus.
TEST_F(OwedAnswersTest, TheResendsOwnAnswerAfterALateOneIsStillOwed) {
  channel_.emplace(link_, answers_, Timing(60000));
  Request();
  Resent();
  // A margin of a minute: the resend's answer, handed over right after, is within it.
  EXPECT_TRUE(BeginsAsTheOwedAnswerComes());
  EXPECT_EQ(answers_.Owed(), 0u);
  EXPECT_FALSE(NextRequestFindsAnAnswer()) << "the resend's answer was taken for the next request";
  EXPECT_EQ(answers_.Surplus(), 0u);
}

// Nothing measured yet, or the last request never answered: the owed answer gets the whole reply
// wait, for it may still be on its way.
TEST_F(OwedAnswersTest, WithNothingMeasuredTheOwedAnswerGetsTheWholeWait) {
  Resent();  // the first request of the channel: nothing measured before it
  EXPECT_TRUE(BeginsAsTheOwedAnswerComes());
  EXPECT_FALSE(NextRequestFindsAnAnswer());
  EXPECT_EQ(answers_.Surplus(), 0u);

  Request(false);  // measured now, but this one timed out: its answer is still owed
  EXPECT_TRUE(BeginsAsTheOwedAnswerComes());
  EXPECT_FALSE(NextRequestFindsAnAnswer());
  EXPECT_EQ(answers_.Surplus(), 0u);
}

}  // namespace
}  // namespace px
