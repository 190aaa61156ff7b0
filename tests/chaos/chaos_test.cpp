// The short campaign, twenty updates at once, and the seeds that found faults, replayed.
#include "chaos.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/strings.h"

namespace px::chaos {
namespace {

// Sanitizers slow every thread several times over, and the tests share two cores with others:
// the mixes' times and the budgets stretch with them.
#if defined(__SANITIZE_THREAD__)
constexpr double kLoad = 3.0;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kLoad = 2.0;
#else
constexpr double kLoad = 1.0;
#endif
constexpr int kShortRuns = 200;

std::string Failures(const std::vector<RunResult>& runs, const RunOptions& run,
                     const MixOptions& mix) {
  std::ostringstream s;
  for (const RunResult& r : runs) {
    if (r.violations.empty()) continue;
    s << Summarize(r) << "\n";
    for (const std::string& v : r.violations) s << "  " << v << "\n";
    s << "  " << DrawMix(r.seed, mix).Describe()
      << "\n  replay: " << ReplayCommand(r.seed, run, mix) << "\n";
  }
  return s.str();
}

MixOptions Stretched(double scale) {
  MixOptions mix;
  mix.timeScale = scale;
  return mix;
}

TEST(ChaosCampaign, ShortCampaignKeepsEveryInvariant) {
  CampaignOptions o;
  o.firstSeed = 1;
  o.runs = kShortRuns;
  o.jobs = 4;
  o.run.loadFactor = kLoad;
  o.mix = Stretched(kLoad);
  const CampaignResult result = RunCampaign(o);
  EXPECT_EQ(result.Violations(), 0u) << Failures(result.runs, o.run, o.mix) << FormatTable(result);

  // The campaign has to reach every fault class and both endings to mean anything.
  size_t completed = 0;
  size_t failed = 0;
  std::vector<size_t> byClass(kFaultClassCount);
  for (const RunResult& r : result.runs) {
    completed += r.completed;
    failed += !r.completed && !r.errors.empty();
    for (size_t c = 0; c < kFaultClassCount; ++c) byClass[c] += (r.classes >> c) & 1u;
  }
  EXPECT_GT(completed, result.runs.size() / 5);
  EXPECT_GT(failed, result.runs.size() / 5);
  for (size_t c = 0; c < kFaultClassCount; ++c) {
    EXPECT_GE(byClass[c], 4u) << ClassName(static_cast<FaultClass>(c));
  }
}

// Twenty pedals on twenty pseudo-terminals, twenty engines, all at once, every one with faults.
TEST(ChaosCampaign, TwentyUpdatesAtOnce) {
  const MixOptions mix = Stretched(2 * kLoad);
  std::vector<Mix> mixes;
  for (uint64_t seed = 70001; mixes.size() < 20; ++seed) {
    Mix m = DrawMix(seed, mix);
    // An unasked-for second answer can mislead any updater of this protocol; see the campaign's
    // own count of those.
    if (!m.Has(FaultClass::Clean) && !m.Has(FaultClass::Duplicate)) mixes.push_back(std::move(m));
  }
  RunOptions options;
  options.loadFactor = 2 * kLoad;
  std::vector<RunResult> results(mixes.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < mixes.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = RunOne(mixes[i], options); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Failures(results, options, mix), "");
  for (const RunResult& r : results) EXPECT_TRUE(r.misled.empty()) << Summarize(r);
}

// Runs that found faults; each broke an invariant, in both transports, before its fix (at the
// time scale of 1, which the release build replays them at). The shifted answers after a late
// one were the engine's fault, the false alarms the pedal's checks'. The false alarms that need a
// particular thread timing to show have tests of their own with the pedal's model.
TEST(ChaosReplay, SeedsThatFoundFaults) {
  struct Case {
    uint64_t seed;
    const char* found;
  };
  const Case cases[] = {
      {133,
       "late answer to block 23 after its resend read as block 24's; a refused block later "
       "went unseen and the run reported completion over a hole"},
      {179, "pedal blamed the updater for asking ResultRequest again after it got no answer"},
      {26, "the same, with the unanswered ResultRequest repeated five times"},
      {299, "pedal blamed the updater's Ack 1 to a damaged identity reply for carrying 0x5E"},
      {531, "pedal forgot that the identity reply it had sent twice may answer UpdateStart"},
      {2966, "the same, with a pedal not in update mode"},
      {3274, "pedal expected an Ack to a device command sent before the updater knew its id"},
      {82961,
       "the close after a chunk that timed out showed the box for answers out of step after "
       "the chunk's own box"},
  };
  const MixOptions mix = Stretched(kLoad);
  for (const Case& c : cases) {
    for (const Transport t : {Transport::Pty, Transport::InProcess}) {
      RunOptions options;
      options.transport = t;
      options.loadFactor = kLoad;
      const RunResult r = RunOne(DrawMix(c.seed, mix), options);
      EXPECT_TRUE(r.violations.empty()) << c.found << "\n" << Failures({r}, options, mix);
    }
  }
}

TEST(ChaosChecks, StepTextsAreRecognised) {
  EXPECT_TRUE(NamesAStep("Time out error(ROM write)"));
  EXPECT_TRUE(NamesAStep("Transfer error occurred(ROM write:22)"));
  EXPECT_TRUE(NamesAStep("Error occurred(File Delete:-5)"));
  EXPECT_TRUE(NamesAStep("Time out error"));
  EXPECT_FALSE(NamesAStep("Transfer error occurred(ROM write:)"));
  EXPECT_FALSE(NamesAStep("Transfer error occurred(ROM write:%d)"));
  EXPECT_FALSE(NamesAStep("Firmware update completed."));
  EXPECT_FALSE(NamesAStep("Can't open COM Port."));
}

// A pedal that acknowledges a block it never stored: the checks must see through the completion
// it earns.
TEST(ChaosChecks, FalseCompletionIsCaught) {
  Mix m = DrawMix(4);
  m.classes = 1u << static_cast<unsigned>(FaultClass::Refusal);
  m.abortAtMs = -1;
  m.pedal.rules.clear();
  m.pedal.line = {};
  sim::FaultRule lie;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("RomWrite#1:1:status=0", lie, error)) << error;
  m.pedal.rules.push_back(lie);
  RunOptions options;
  options.transport = Transport::InProcess;
  options.loadFactor = kLoad;
  const RunResult r = RunOne(m, options);
  EXPECT_TRUE(r.completed);
  ASSERT_FALSE(r.violations.empty());
  EXPECT_NE(r.violations[0].find("flash differs"), std::string::npos) << r.violations[0];
}

// A replay is only as good as the mix it draws again.
TEST(ChaosChecks, SeedDrawsTheSameMixAgain) {
  for (uint64_t seed : {1u, 133u, 4817u}) {
    const Mix a = DrawMix(seed);
    const Mix b = DrawMix(seed);
    EXPECT_EQ(a.Describe(), b.Describe());
    EXPECT_EQ(*a.firmware, *b.firmware);
    EXPECT_EQ(*a.module, *b.module);
    EXPECT_EQ(a.pedal.seed, b.pedal.seed);
  }
}

// Block 0 answered twice, the second copy after the updater moved on, and block 1 refused for
// good: every later answer is one behind, and the run must end out of step, never completed. (A
// worker held up for longer than the pedal's 30 ms sees the second copy before it sends block 1:
// then it is a harmless repeat and block 1's refusals end the run.)
TEST(ChaosChecks, UnaskedSecondAnswerEndsOutOfStep) {
  Mix m = DrawMix(4);
  m.classes = 1u << static_cast<unsigned>(FaultClass::Duplicate);
  m.abortAtMs = -1;
  m.pedal.member = 0;
  m.pedal.expectedFiles.clear();
  m.pedal.line = {};
  // The second copy comes well after the updater moved on, and well within block 1's wait.
  m.pedal.replyLatencyMs = 30;
  m.timing.replyWaitMs = m.pedal.updaterReplyWaitMs = 300;
  m.pedal.rules.clear();
  for (const char* text : {"RomWrite#0:1:duplicate", "RomWrite#1:all:status=23"}) {
    sim::FaultRule rule;
    std::string error;
    ASSERT_TRUE(sim::ParseFaultRule(text, rule, error)) << error;
    m.pedal.rules.push_back(rule);
  }
  RunOptions options;
  options.transport = Transport::InProcess;
  options.loadFactor = kLoad;
  const RunResult r = RunOne(m, options);
  EXPECT_TRUE(r.violations.empty()) << Failures({r}, options, {});
  EXPECT_FALSE(r.completed);
  const std::string ending = r.errors.size() == 1 ? r.errors[0] : "";
  EXPECT_TRUE(ending == LoadText(IDS_ANSWERS_OUT_OF_STEP) ||
              ending == FormatText(IDS_ERROR_ROM_WRITE, 23))
      << Summarize(r);
  EXPECT_TRUE(r.misled.empty());
}

}  // namespace
}  // namespace px::chaos
