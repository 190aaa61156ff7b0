// The Windows runner's request and reply lines, and the checks of what a runner reports: a field
// lost on the way, or one the checks never look at, would let a Windows run pass unjudged.
#include <gtest/gtest.h>

#include <string>

#include "chaos.h"
#include "engine/strings.h"
#include "run_lines.h"

namespace px::chaos {
namespace {

TEST(ChaosLines, RequestReadsBackWhole) {
  const Mix mix = DrawMix(7000123);
  RunOptions options;
  options.loadFactor = 1.5;
  RunRequest q;
  q.run = UpdaterRunOf(mix, options);
  q.run.abortAtMs = 417;
  q.run.timing = {61, 23, 3, 2, 17, 61, 59};
  q.port = "COM22";
  q.trace = true;

  RunRequest back;
  std::string error;
  ASSERT_TRUE(DecodeRequest(EncodeRequest(q), back, error)) << error;
  EXPECT_EQ(back.run.seed, 7000123u);
  EXPECT_EQ(back.port, "COM22");
  EXPECT_TRUE(back.trace);
  EXPECT_EQ(back.run.abortAtMs, 417);
  EXPECT_DOUBLE_EQ(back.run.worstCaseMs, WorstCaseMs(mix) * 1.5);
  EXPECT_DOUBLE_EQ(back.run.loadFactor, 1.5);
  const EngineTiming& t = back.run.timing;
  EXPECT_EQ(t.replyWaitMs, 61u);
  EXPECT_EQ(t.updateStartPauseMs, 23u);
  EXPECT_EQ(t.resendPauseMs, 3u);
  EXPECT_EQ(t.semaphorePauseMs, 2u);
  EXPECT_EQ(t.eraseBytesPerMs, 17u);
  EXPECT_EQ(t.eraseExtraMs, 61u);
  EXPECT_EQ(t.lastAnswerMarginMs, 59u);
  EXPECT_EQ(*back.run.firmware, *mix.firmware);
  EXPECT_EQ(*back.run.module, *mix.module);
}

TEST(ChaosLines, ReplyReadsBackWhole) {
  RunReply p;
  p.seed = 99;
  Shown& s = p.shown;
  s.errors = {"Time out error(ROM write)", "Error occurred(File Close:-9)"};
  s.completions = 2;
  s.outcome = RunOutcome::OutOfStep;
  s.elapsedMs = 1234.5;
  s.stillRunning = s.aborted = s.ranOnAfterAbort = s.inProgress = true;
  s.controlsEnabled = false;
  s.callsAfterAbort = 3;
  s.sendsAfterAbort = 4;
  s.successCommands = 5;
  p.lineFailed = true;

  RunReply back;
  std::string error;
  ASSERT_TRUE(DecodeReply(EncodeReply(p), back, error)) << error;
  const Shown& b = back.shown;
  EXPECT_EQ(back.seed, 99u);
  EXPECT_EQ(b.errors, s.errors);
  EXPECT_EQ(b.completions, 2u);
  EXPECT_EQ(b.outcome, RunOutcome::OutOfStep);
  EXPECT_DOUBLE_EQ(b.elapsedMs, 1234.5);
  EXPECT_TRUE(b.stillRunning && b.aborted && b.ranOnAfterAbort && b.inProgress);
  EXPECT_FALSE(b.controlsEnabled);
  EXPECT_EQ(b.callsAfterAbort, 3);
  EXPECT_EQ(b.sendsAfterAbort, 4);
  EXPECT_EQ(b.successCommands, 5);
  EXPECT_TRUE(back.lineFailed);
  EXPECT_TRUE(back.error.empty());
}

TEST(ChaosLines, BrokenLinesAreRefused) {
  RunReply p;
  p.seed = 5;
  const std::string whole = EncodeReply(p);
  RunReply back;
  std::string error;
  EXPECT_FALSE(DecodeReply(whole.substr(0, whole.size() / 2), back, error));
  EXPECT_FALSE(error.empty());
  RunRequest q;
  error.clear();
  EXPECT_FALSE(DecodeRequest("{\"seed\": 1}", q, error));
  EXPECT_FALSE(error.empty());
  std::string odd = EncodeRequest(RunRequest{UpdaterRunOf(DrawMix(3), {}), "COM21", false});
  odd.replace(odd.find("\"firmware\":\"") + 12, 1, "g");
  EXPECT_FALSE(DecodeRequest(odd, q, error));
}

// What a runner says is held to the same checks as a run in this process.
TEST(ChaosChecks, WhatARunnerShowsIsJudged) {
  Mix mix = DrawMix(7000123);
  mix.pedal.member = 0;
  const RunOptions options;
  sim::PedalReport report;
  report.flash.matchesImage = false;

  Shown completed;
  completed.completions = 1;
  completed.outcome = RunOutcome::Completed;
  completed.elapsedMs = 10;
  RunResult r = Judge(mix, options, completed, report);
  ASSERT_FALSE(r.violations.empty());
  EXPECT_NE(r.violations[0].find("flash differs"), std::string::npos) << r.violations[0];
  report.flash.matchesImage = true;
  EXPECT_TRUE(Judge(mix, options, completed, report).violations.empty());

  Shown closed;
  closed.aborted = true;
  closed.ranOnAfterAbort = true;
  closed.callsAfterAbort = 2;
  closed.sendsAfterAbort = 1;
  closed.outcome = RunOutcome::Aborted;
  r = Judge(mix, options, closed, report);
  EXPECT_EQ(r.violations.size(), 3u);

  Shown hung;
  hung.stillRunning = true;
  hung.errors = {LoadText(IDS_TIMEOUT_ROM_WRITE)};
  hung.outcome = RunOutcome::TimedOut;
  r = Judge(mix, options, hung, report);
  ASSERT_FALSE(r.violations.empty());
  EXPECT_EQ(r.violations[0].rfind("hang", 0), 0u) << r.violations[0];

  Shown quiet;
  quiet.outcome = RunOutcome::TimedOut;
  quiet.controlsEnabled = false;
  r = Judge(mix, options, quiet, report);
  EXPECT_EQ(r.violations.size(), 2u);  // no box, and the controls kept
}

}  // namespace
}  // namespace px::chaos
