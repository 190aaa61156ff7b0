// The question before a pedal changes, asked on a terminal: the answer decides, and Ctrl-C while
// it waits ends the program at once with nothing sent to the pedal.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "child_process.h"

namespace px {
namespace {

constexpr const char* kQuestion = "[y/N] ";

// px550-update on one virtual pedal, with a terminal of its own as stdin.
class QuestionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openpty(&terminal_, &stdin_, nullptr, nullptr, nullptr), 0); }
  void TearDown() override {
    close(terminal_);
    if (stdin_ >= 0) close(stdin_);
  }

  test::Process Start() {
    test::Process p({PX_UPDATE_EXE, "flash", "--simulate", "--progress", "none",
                     "--pedal-arg=--baud=0", "--pedal-arg=--erase-ms=100"},
                    {}, stdin_);
    close(stdin_);
    stdin_ = -1;
    return p;
  }
  void Type(const std::string& text) {
    ASSERT_EQ(write(terminal_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  int terminal_ = -1;
  int stdin_ = -1;
};

TEST_F(QuestionTest, YesUpdates) {
  test::Process update = Start();
  ASSERT_TRUE(update.WaitForError(kQuestion, 60000)) << update.Result().err;
  Type("y\n");
  ASSERT_TRUE(update.Wait(120000));
  EXPECT_EQ(update.Result().exitCode, 0) << update.Result().err;
  EXPECT_NE(update.Result().out.find("Firmware update completed."), std::string::npos);
}

TEST_F(QuestionTest, AnythingElseDeclines) {
  test::Process update = Start();
  ASSERT_TRUE(update.WaitForError(kQuestion, 60000)) << update.Result().err;
  Type("yess\n");
  ASSERT_TRUE(update.Wait(60000));
  EXPECT_EQ(update.Result().exitCode, 1) << update.Result().err;
  EXPECT_EQ(update.Result().out.find("Firmware update completed."), std::string::npos);
}

TEST_F(QuestionTest, InterruptWhileAskingEndsTheProgram) {
  test::Process update = Start();
  ASSERT_TRUE(update.WaitForError(kQuestion, 60000)) << update.Result().err;
  update.Signal(SIGINT);
  ASSERT_TRUE(update.Wait(60000)) << "the question went on waiting after Ctrl-C";
  EXPECT_EQ(update.Result().exitCode, 130) << update.Result().err;
  EXPECT_EQ(update.Result().out.find("Firmware update completed."), std::string::npos);
}

}  // namespace
}  // namespace px
