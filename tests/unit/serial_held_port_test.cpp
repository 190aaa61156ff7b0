// A port refused as held just after this program closed it is tried again for a while; any other
// refusal stands. The refusals come from a backend of the test's own, since Wine lets a COM port
// be opened twice and a pty is let go at once.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>

#include "base/event.h"
#include "serial/held_port.h"
#include "serial/port_backend.h"
#include "serial/serial_link.h"
#include "wait_until.h"

namespace px {

struct SerialLinkProbe {
  using Opener = CSerialLink::BackendOpener;
  static void UseOpener(CSerialLink& link, Opener opener) { link.opener_ = std::move(opener); }
};

namespace {

using namespace std::chrono_literals;
using serial_detail::HeldPortRetryWait;
using serial_detail::OpenStep;
using Clock = std::chrono::steady_clock;

TEST(HeldPortRetryWait, OnlyWithinTwoSecondsOfOurOwnClose) {
  const Clock::time_point t0 = Clock::now();
  EXPECT_EQ(HeldPortRetryWait(std::nullopt, t0), std::nullopt) << "a port we never closed";
  EXPECT_EQ(HeldPortRetryWait(t0, t0), 250ms);
  EXPECT_EQ(HeldPortRetryWait(t0, t0 + 1000ms), 250ms);
  EXPECT_EQ(HeldPortRetryWait(t0, t0 + 1900ms), 100ms) << "never past the two seconds";
  EXPECT_EQ(HeldPortRetryWait(t0, t0 + 1999999us), 1ms) << "never a wait of 0 ms";
  EXPECT_EQ(HeldPortRetryWait(t0, t0 + 2000ms), std::nullopt);
  EXPECT_EQ(HeldPortRetryWait(t0, t0 + 5s), std::nullopt);
  EXPECT_EQ(HeldPortRetryWait(t0 + 1s, t0), std::nullopt) << "a close that is not behind us";

  // Tries one after another end at the two seconds: a few of them, never more.
  Clock::time_point now = t0 + 30ms;
  int tries = 1;
  while (auto wait = HeldPortRetryWait(t0, now)) {
    now += *wait;
    ++tries;
    ASSERT_LE(tries, 20);
  }
  EXPECT_EQ(tries, 9);
  EXPECT_GE(now, t0 + 2000ms);
  EXPECT_LT(now, t0 + 2001ms);
}

TEST(PortCloses, RemembersTheLastCloseUntilTheNextOpen) {
  serial_detail::CPortCloses closes;
  const Clock::time_point t0 = Clock::now();
  EXPECT_EQ(closes.LastClose("COM7"), std::nullopt);
  closes.Closed("COM7", t0);
  closes.Closed("COM7", t0 + 10ms);
  EXPECT_EQ(closes.LastClose("COM7"), t0 + 10ms);
  EXPECT_EQ(closes.LastClose("COM8"), std::nullopt);
  closes.Opened("COM7");
  EXPECT_EQ(closes.LastClose("COM7"), std::nullopt) << "opened since: the port was let go";
  // A close older than the two seconds is of no more use and is forgotten.
  closes.Closed("COM7", t0);
  closes.Closed("COM8", t0 + 3s);
  EXPECT_EQ(closes.LastClose("COM7"), std::nullopt);
  EXPECT_EQ(closes.LastClose("COM8"), t0 + 3s);
}

// A line on which nothing ever arrives.
class CQuietPort final : public serial_detail::CPortBackend {
 public:
  bool StartReading() override { return true; }
  serial_detail::ReadResult ReadOne(uint8_t&) override {
    if (!stopped_.load()) wake_.Lock(100);
    return serial_detail::ReadResult::kNothing;
  }
  void StopReading() override {}
  void Pause(uint32_t ms) override {
    if (!stopped_.load()) wake_.Lock(ms);
  }
  bool PrepareWrite() override { return true; }
  bool Write(const uint8_t*, uint32_t) override { return true; }
  void Interrupt() override {
    stopped_.store(true);
    wake_.SetEvent();
  }
  uint32_t OutputQueued() const override { return 0; }

 private:
  std::atomic<bool> stopped_{false};
  CEvent wake_;
};

// What each open of the port meets, in turn; the last answer repeats.
class CScriptedOpens {
 public:
  enum Answer { kOpens, kHeld, kMissing };

  explicit CScriptedOpens(std::deque<Answer> answers) : answers_(std::move(answers)) {}

  SerialLinkProbe::Opener Opener() {
    return [this](const std::string&, uint32_t, serial_detail::OpenFailure& failure,
                  std::vector<serial_detail::RefusedCall>& refused)
               -> std::unique_ptr<serial_detail::CPortBackend> {
      Answer answer = kOpens;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = answers_.front();
        if (answers_.size() > 1) answers_.pop_front();
      }
      tries_.fetch_add(1);
      if (answer == kHeld) failure = {OpenStep::kHeld, 5};
      if (answer == kMissing) failure = {OpenStep::kOpen, serial_detail::NoSuchPortError()};
      if (answer != kOpens) return nullptr;
      refused = refusals_;
      return std::make_unique<CQuietPort>();
    };
  }
  void Then(std::deque<Answer> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = std::move(answers);
  }
  void RefuseOnOpen(std::vector<serial_detail::RefusedCall> calls) { refusals_ = std::move(calls); }
  int Tries() const { return tries_.load(); }

 private:
  std::mutex mutex_;
  std::deque<Answer> answers_;
  std::vector<serial_detail::RefusedCall> refusals_;
  std::atomic<int> tries_{0};
};

class HeldPortTest : public ::testing::Test {
 protected:
  // A port name of this test alone: the memory of closes is the whole process's.
  std::string PortName() const {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("/held-port-test/") + test->name();
  }

  CSerialLink link_;
};

TEST_F(HeldPortTest, APortWeNeverClosedIsRefusedAtOnce) {
  CScriptedOpens opens({CScriptedOpens::kHeld});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  EXPECT_FALSE(link_.Open(PortName(), 115200));
  EXPECT_EQ(opens.Tries(), 1);
  EXPECT_NE(link_.LastOpenErrorText().find("is held by another program"), std::string::npos)
      << link_.LastOpenErrorText();
}

TEST_F(HeldPortTest, APortHeldJustAfterOurCloseIsTriedAgainUntilItOpens) {
  CScriptedOpens opens({CScriptedOpens::kOpens});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  link_.Close();
  opens.Then({CScriptedOpens::kHeld, CScriptedOpens::kHeld, CScriptedOpens::kOpens});
  ASSERT_TRUE(link_.Open(PortName(), 115200)) << link_.LastOpenErrorText();
  EXPECT_EQ(opens.Tries(), 4);
  EXPECT_TRUE(link_.IsOpen());
  const std::vector<std::string> notes = link_.LastOpenNotes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("opened at try 3"), std::string::npos) << notes[0];

  // Held by our own other link (it opened since the close): refused at once.
  CSerialLink other;
  CScriptedOpens held({CScriptedOpens::kHeld});
  SerialLinkProbe::UseOpener(other, held.Opener());
  EXPECT_FALSE(other.Open(PortName(), 115200));
  EXPECT_EQ(held.Tries(), 1);
}

TEST_F(HeldPortTest, APortStillHeldTwoSecondsAfterOurCloseCountsAsHeld) {
  CScriptedOpens opens({CScriptedOpens::kOpens});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  link_.Close();
  opens.Then({CScriptedOpens::kHeld});
  const int before = opens.Tries();
  ASSERT_FALSE(link_.Open(PortName(), 115200));
  const int tries = opens.Tries() - before;
  EXPECT_GE(tries, 3) << "a few tries over the two seconds";
  EXPECT_LE(tries, 10);
  EXPECT_NE(link_.LastOpenErrorText().find("is held by another program"), std::string::npos);

  // The close as if it were three seconds ago: one try only.
  serial_detail::PortCloses().Closed(serial_detail::DevicePathOfName(PortName()),
                                     Clock::now() - 3s);
  const int later = opens.Tries();
  EXPECT_FALSE(link_.Open(PortName(), 115200));
  EXPECT_EQ(opens.Tries() - later, 1);
}

TEST_F(HeldPortTest, OnlyARefusalAsHeldIsTriedAgain) {
  CScriptedOpens opens({CScriptedOpens::kOpens});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  link_.Close();
  opens.Then({CScriptedOpens::kMissing});
  const int before = opens.Tries();
  EXPECT_FALSE(link_.Open(PortName(), 115200));
  EXPECT_EQ(opens.Tries() - before, 1);
}

TEST_F(HeldPortTest, ACloseEndsTheTriesAtOnce) {
  CScriptedOpens opens({CScriptedOpens::kOpens});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  link_.Close();
  opens.Then({CScriptedOpens::kHeld});
  const int before = opens.Tries();
  auto open = std::async(std::launch::async, [&] { return link_.Open(PortName(), 115200); });
  ASSERT_TRUE(test::WaitUntil([&] { return opens.Tries() - before >= 2; }, "a second try"));
  link_.Close();
  ASSERT_EQ(open.wait_for(test::kEventDeadline), std::future_status::ready);
  EXPECT_FALSE(open.get());
  EXPECT_LT(opens.Tries() - before, 9) << "no try after the Close";
}

// Calls that the port refused while opening do not stop it; they are told, one line each.
TEST_F(HeldPortTest, RefusedSettingsAreToldAndThePortStillOpens) {
  CScriptedOpens opens({CScriptedOpens::kOpens});
  opens.RefuseOnOpen({{"SetCommTimeouts", 50}, {"SetCommState", 87}});
  SerialLinkProbe::UseOpener(link_, opens.Opener());
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  const std::string path = serial_detail::DevicePathOfName(PortName());
  EXPECT_EQ(
      link_.LastOpenNotes(),
      (std::vector<std::string>{path + " refused SetCommTimeouts, used with the settings it has: " +
                                    serial_detail::SystemErrorText(50),
                                path + " refused SetCommState, used with the settings it has: " +
                                    serial_detail::SystemErrorText(87)}));
  opens.RefuseOnOpen({});
  ASSERT_TRUE(link_.Open(PortName(), 115200));
  EXPECT_TRUE(link_.LastOpenNotes().empty()) << "each opening tells its own";
}

}  // namespace
}  // namespace px
