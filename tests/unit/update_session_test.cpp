// One update session on the calling thread: what it finds, what it tells its observer and what it
// returns, over a connection to a scripted device that belongs to the test.
#include "engine/update_session.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/strings.h"
#include "scripted_device.h"

namespace px {
namespace {

using test::AckOf;
using test::Bytes;
using test::Reply;

EngineTiming Fast() {
  return test::ScriptedTiming();
}

class RecordingObserver : public IUpdateObserver {
 public:
  void OnStep(UpdateStep step) override { events.push_back(StepName(step)); }
  void OnPosition(int percent) override { positions.push_back(percent); }
  void OnFailure(const UpdateFailure& f) override { failures.push_back(f); }
  void OnCompleted(const std::string& text) override { events.push_back("done:" + text); }
  bool ConfirmStart(const UpdateDevice& device) override {
    asked.push_back(device);
    return confirm;
  }

  bool confirm = true;
  std::vector<std::string> events;
  std::vector<int> positions;
  std::vector<UpdateFailure> failures;
  std::vector<UpdateDevice> asked;
};

class UpdateSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.StartReplyThread()); }

  CUpdateSession NewSession() { return CUpdateSession(link_, Fast(), {firmware_, module_}); }

  Bytes firmware_ = Bytes(3000, 0x11);
  Bytes module_ = Bytes(5000, 0x22);
  test::ScriptedDevice dev_;
  CPedalLink link_{dev_};
};

// A session per run, over the same link and reply thread: each finds the device and completes.
TEST_F(UpdateSessionTest, EachRunItsOwnSessionCompletes) {
  for (int run = 0; run < 2; ++run) {
    CUpdateSession session = NewSession();
    const Identification id = session.Identify();
    ASSERT_TRUE(id.device.has_value());
    EXPECT_EQ(id.device->code, 0x5E);
    EXPECT_EQ(id.device->variant, 1);
    RecordingObserver observer;
    const UpdateResult r = session.Run(*id.device, observer);
    EXPECT_EQ(r.outcome, RunOutcome::Completed);
    EXPECT_EQ(r.text, LoadText(IDS_UPDATE_COMPLETED));
    EXPECT_EQ(r.position, 100);
    EXPECT_TRUE(observer.failures.empty());
    ASSERT_EQ(observer.asked.size(), 1u);
    EXPECT_EQ(observer.events.front(), "semaphore");
    EXPECT_EQ(observer.events.back(), std::string("done:") + LoadText(IDS_UPDATE_COMPLETED));
    EXPECT_EQ(observer.positions.back(), 100);
  }
  EXPECT_EQ(dev_.Count("UpdateComplete"), 2);
}

// A refused chunk is the run's failure; the close that follows it is refused too and told as a
// later failure, which changes nothing of the result.
TEST_F(UpdateSessionTest, TheFirstFailureDecidesALaterOneIsToldApart) {
  dev_.SetHandler([](const Bytes& m, const std::string& kind, int) {
    if (kind == "FileWrite") return Reply(AckOf(2));
    if (kind == "FileClose") return Reply(AckOf(3));
    return test::ScriptedDevice::Default(m, kind);
  });
  CUpdateSession session = NewSession();
  RecordingObserver observer;
  const UpdateResult r = session.Update(observer);
  EXPECT_EQ(r.outcome, RunOutcome::Refused);
  EXPECT_EQ(r.failedStep, UpdateStep::FileWrite);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.text, "Transfer error occurred(File Write:2)");
  ASSERT_EQ(observer.failures.size(), 2u);
  EXPECT_TRUE(observer.failures[0].first);
  EXPECT_FALSE(observer.failures[1].first);
  EXPECT_EQ(observer.failures[1].text, "Error occurred(File Close:3)");
  EXPECT_EQ(dev_.Count("RomErase"), 0);
}

// Nothing changes on the device before the question; a "no" ends the run with no failure.
TEST_F(UpdateSessionTest, DeclinedOrForeignOrStoppedSendsNothingMore) {
  {
    CUpdateSession session = NewSession();
    RecordingObserver observer;
    observer.confirm = false;
    EXPECT_EQ(session.Update(observer).outcome, RunOutcome::Declined);
    EXPECT_TRUE(observer.failures.empty());
    EXPECT_EQ(dev_.Kinds(), std::vector<std::string>{"IdentityRequest"});
  }
  dev_.SetHandler([](const Bytes& m, const std::string& kind, int) {
    return test::ScriptedDevice::Default(m, kind, 0x22, 1);
  });
  {
    CUpdateSession session = NewSession();
    RecordingObserver observer;
    const UpdateResult r = session.Update(observer);
    EXPECT_EQ(r.outcome, RunOutcome::Refused);
    EXPECT_EQ(r.text, LoadText(IDS_ILLEGAL_DEVICE));
    ASSERT_EQ(observer.failures.size(), 1u);
    EXPECT_TRUE(observer.asked.empty());
  }
  link_.Stop();
  {
    CUpdateSession session = NewSession();
    RecordingObserver observer;
    EXPECT_EQ(session.Update(observer).outcome, RunOutcome::Aborted);
    EXPECT_TRUE(observer.failures.empty());
  }
  EXPECT_EQ(dev_.Count("IdentityRequest"), 2);
}

}  // namespace
}  // namespace px
