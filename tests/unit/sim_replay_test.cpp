// Reading traces and the replay's decisions, apart from any line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/replay.h"

namespace px::sim {
namespace {

using std::chrono::microseconds;

const char* const kTrace =
    "    0.001000 -> 6     IdentityRequest | F0 7E 00 06 01 F7\n"
    "    0.018000 <- 15    IdentityReply family=0x5E member=1 | F0 7E 00 06 02 52 5E 00 01 00 "
    "31 33 30 30 F7\n"
    "    0.020000 -> 6     UpdateStart id=5E | F0 52 00 5E 01 F7\n"
    "    0.025000 <- 7     Ack status=0 id=5E | F0 52 00 5E 00 00 F7\n"
    "    0.030000 <- 7     Ack status=0 id=5E | F0 52 00 5E 00 00 F7\n"
    "    0.031000 !! surplus answer, nothing was asked for it: Ack status=0 id=5E\n"
    "\n"
    "    5.100000 -> 6     UpdateStart id=5E | F0 52 00 5E 01 F7\n";

std::vector<TraceMessage> Read(const std::string& text, const std::string& port = "") {
  std::istringstream in(text);
  std::vector<TraceMessage> messages;
  std::string error;
  EXPECT_TRUE(ReadTrace(in, port, messages, error)) << error;
  return messages;
}

std::string ReadError(const std::string& text, const std::string& port = "") {
  std::istringstream in(text);
  std::vector<TraceMessage> messages;
  std::string error;
  EXPECT_FALSE(ReadTrace(in, port, messages, error));
  return error;
}

TEST(ReplayTrace, ReadsMessagesSkipsNotesAndPicksOnePedal) {
  const std::vector<TraceMessage> m = Read(kTrace);
  ASSERT_EQ(m.size(), 6u);
  EXPECT_TRUE(m[0].fromUpdater);
  EXPECT_FALSE(m[1].fromUpdater);
  EXPECT_EQ(m[1].name, "IdentityReply family=0x5E member=1");
  EXPECT_EQ(m[1].bytes.size(), 15u);
  EXPECT_EQ(m[5].line, 8u);
  EXPECT_DOUBLE_EQ(m[5].seconds, 5.1);

  const std::string several =
      "    0.001 /dev/pts/3 -> 6 IdentityRequest | F0 7E 00 06 01 F7\n"
      "    0.002 /dev/pts/4 -> 6 IdentityRequest | F0 7E 00 06 01 F7\n"
      "    0.003 /dev/pts/4 <- 7 Ack status=0 id=5E | F0 52 00 5E 00 00 F7\n";
  EXPECT_NE(ReadError(several).find("/dev/pts/3 /dev/pts/4"), std::string::npos);
  EXPECT_EQ(Read(several, "/dev/pts/4").size(), 2u);
  EXPECT_NE(ReadError(several, "/dev/pts/9").find("no messages"), std::string::npos);

  EXPECT_NE(ReadError("not a trace\n").find("line 1"), std::string::npos);
  EXPECT_NE(ReadError("0.1 -> 7 Ack | F0 52 F7\n").find("length 7"), std::string::npos);
  EXPECT_NE(ReadError("0.1 -> 3 Ack | F0 5G F7\n").find("bytes"), std::string::npos);
  EXPECT_NE(ReadError("").find("no messages"), std::string::npos);
}

TEST(Replay, AnswersAsTracedWithTheTracesTiming) {
  CReplay replay(Read(kTrace));
  EXPECT_TRUE(replay.Opening().empty());
  const std::vector<uint8_t> identity = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  auto answers = replay.OnUpdaterMessage(identity.data(), identity.size());
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].delay, microseconds(17000));
  EXPECT_EQ(answers[0].bytes.size(), 15u);
  // Two answers to one request (one of them surplus) keep their spacing.
  const std::vector<uint8_t> start = {0xF0, 0x52, 0x00, 0x5E, 0x01, 0xF7};
  answers = replay.OnUpdaterMessage(start.data(), start.size());
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].delay, microseconds(5000));
  EXPECT_EQ(answers[1].delay, microseconds(10000));
  // The resend after a time-out got no answer.
  EXPECT_TRUE(replay.OnUpdaterMessage(start.data(), start.size()).empty());
  EXPECT_TRUE(replay.Complete());
  EXPECT_FALSE(replay.Diverged());
  replay.OnLineClosed();
  EXPECT_FALSE(replay.Diverged());
  EXPECT_EQ(replay.Summary(), "replay: 3 of 3 updater messages as traced, 3 answers given");
  EXPECT_NE(replay.ReportJson("t").find("\"success\": true"), std::string::npos);

  // Anything after the trace's end is a difference.
  const std::vector<uint8_t> extra = {0xF0, 0x52, 0x00, 0x5E, 0x04, 0xF7};
  EXPECT_TRUE(replay.OnUpdaterMessage(extra.data(), extra.size()).empty());
  EXPECT_NE(replay.Difference().find("message 4 comes after the trace's end"), std::string::npos)
      << replay.Difference();
}

TEST(Replay, TheFirstDifferenceIsNamedAndEndsTheAnswers) {
  CReplay replay(Read(kTrace));
  const std::vector<uint8_t> identity = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  replay.OnUpdaterMessage(identity.data(), identity.size());
  const std::vector<uint8_t> other = {0xF0, 0x52, 0x00, 0x5D, 0x01, 0xF7};
  EXPECT_TRUE(replay.OnUpdaterMessage(other.data(), other.size()).empty());
  EXPECT_EQ(replay.Difference().rfind("the updater's message 2 differs from the trace (line 3): "
                                      "the trace has UpdateStart id=5E, the updater sent ",
                                      0),
            0u)
      << replay.Difference();
  EXPECT_NE(replay.Difference().find("; first difference at byte 3"), std::string::npos);
  // Later messages, even traced ones, get nothing: the run has left the trace.
  const std::vector<uint8_t> start = {0xF0, 0x52, 0x00, 0x5E, 0x01, 0xF7};
  EXPECT_TRUE(replay.OnUpdaterMessage(start.data(), start.size()).empty());
  EXPECT_FALSE(replay.Complete());
  EXPECT_NE(replay.ReportJson("t").find("\"success\": false"), std::string::npos);
}

TEST(Replay, AnUpdaterThatStopsEarlyIsADifferenceToo) {
  CReplay replay(Read(kTrace));
  const std::vector<uint8_t> identity = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  replay.OnUpdaterMessage(identity.data(), identity.size());
  replay.OnLineClosed();
  EXPECT_EQ(replay.Difference(),
            "the updater closed the line after 1 of 3 messages; the trace goes on with "
            "UpdateStart id=5E (line 3)");
}

}  // namespace
}  // namespace px::sim
