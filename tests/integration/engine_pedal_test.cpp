// The engine against the virtual pedal in the same process: whole updates with the real images,
// and the pedal's own account of what it now holds.
#include <gtest/gtest.h>

#include <vector>

#include "engine/images.h"
#include "engine/progress.h"
#include "engine/update_runner.h"
#include "recording_ui.h"
#include "sim/harness.h"

namespace px {
namespace {

using sim::CPedalHarness;
using sim::PedalConfig;
using sim::WireKind;

std::vector<uint8_t> Image(int id) {
  const uint8_t* bytes = nullptr;
  const int32_t size = LoadDeviceImage(id, &bytes);
  return std::vector<uint8_t>(bytes, bytes + (size > 0 ? size : 0));
}

// The bar as it should move: 0; a fixed step's share before the module; each chunk's and block's
// share (a float sum, shown truncated); a fixed step's share for the erase; 100 at the end.
std::vector<int> ExpectedBar(bool withModule) {
  const size_t firmware = Image(kFirmwareResource).size();
  const size_t module = Image(kModuleResource).size();
  const double fixed = kFixedStepPercent;
  const float perByte =
      withModule ? static_cast<float>((100.0 - 2 * fixed) / static_cast<double>(firmware + module))
                 : static_cast<float>((100.0 - fixed) / static_cast<double>(firmware));
  std::vector<int> bar = {0};
  float p = 0.0f;
  auto show = [&](float add) {
    p += add;
    if (p > 100.0f) p = 100.0f;
    if (static_cast<int>(p) != bar.back()) bar.push_back(static_cast<int>(p));
  };
  if (withModule) {
    show(kFixedStepPercent);
    for (size_t off = 0; off < module; off += 4096) {
      show(static_cast<float>(std::min<size_t>(4096, module - off)) * perByte);
    }
  }
  show(kFixedStepPercent);
  for (size_t off = 0; off < firmware; off += 12288) {
    show(static_cast<float>(std::min<size_t>(12288, firmware - off)) * perByte);
  }
  if (bar.back() != 100) bar.push_back(100);
  return bar;
}

struct Result {
  sim::PedalReport report;
  RunOutcome outcome = RunOutcome::None;
};

Result Update(test::RecordingUi& ui, PedalConfig config, EngineTiming timing = {}) {
  config.expectedImage = Image(kFirmwareResource);
  if (config.member == 1) config.expectedFiles["LINESEL.TDL"] = Image(kModuleResource);
  CPedalHarness pedal(config);
  sim::CHarnessPort port(pedal);
  Result run;
  {
    CUpdateRunner engine(port, ui, timing);
    engine.StartReplyThread();
    engine.OnExecute(7);
    EXPECT_TRUE(engine.WaitForWorker(120000));
    run.outcome = engine.LastResult().outcome;
  }
  pedal.Stop();
  run.report = pedal.Report();
  return run;
}

PedalConfig Quick() {
  PedalConfig c;
  c.replyLatencyMs = 0;
  c.eraseTimeMs = 50;
  return c;
}

TEST(EnginePedal, Variant1UpdatesFlashAndModuleFile) {
  test::RecordingUi ui;
  const Result run = Update(ui, Quick());
  EXPECT_EQ(run.outcome, RunOutcome::Completed);
  EXPECT_EQ(ui.Completions().size(), 1u);
  EXPECT_TRUE(run.report.Success()) << sim::ReportToJson(run.report);
  EXPECT_TRUE(run.report.flash.matchesImage);
  const sim::FileReport* file = run.report.File("LINESEL.TDL");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->contents, Image(kModuleResource));
  EXPECT_EQ(run.report.Count(WireKind::RomWrite), 41u);
  EXPECT_EQ(run.report.Count(WireKind::FileWrite), 3u);
  EXPECT_EQ(run.report.Count(WireKind::ResultRequest), 4u);
  EXPECT_TRUE(run.report.violations.empty());
  EXPECT_EQ(ui.Positions(), ExpectedBar(true));
}

TEST(EnginePedal, Variant0WritesOnlyTheFlash) {
  PedalConfig c = Quick();
  c.member = 0;
  c.family = 0x5D;
  test::RecordingUi ui;
  const Result run = Update(ui, c);
  EXPECT_EQ(run.outcome, RunOutcome::Completed);
  EXPECT_TRUE(run.report.Success()) << sim::ReportToJson(run.report);
  EXPECT_EQ(run.report.Count(WireKind::GetSemaphore), 0u);
  EXPECT_EQ(run.report.Count(WireKind::FileWrite), 0u);
  EXPECT_EQ(ui.Positions(), ExpectedBar(false));
}

// The first answer to block 3 comes after the updater gave up waiting and resent it: the block
// goes again and the update still ends with the flash equal to the image.
TEST(EnginePedal, LateAnswerIsSurvived) {
  PedalConfig c = Quick();
  sim::FaultRule rule;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("RomWrite#3:1:late=1600", rule, error)) << error;
  c.rules.push_back(rule);
  EngineTiming t;
  t.replyWaitMs = 1000;  // the resend goes at 1,100 ms, its answer well before 1,600
  test::RecordingUi ui;
  const Result run = Update(ui, c, t);
  EXPECT_EQ(run.outcome, RunOutcome::Completed) << ui.Errors().size();
  EXPECT_TRUE(run.report.flash.matchesImage);
  EXPECT_GE(run.report.Count(WireKind::RomWrite), 42u);
}

TEST(EnginePedal, DeviceValueOf255IsShownNotTakenForAnAbort) {
  PedalConfig c = Quick();
  sim::FaultRule rule;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultRule("FileDelete:all:value=255", rule, error)) << error;
  c.rules.push_back(rule);
  test::RecordingUi ui;
  const Result run = Update(ui, c);
  EXPECT_EQ(ui.Errors(), std::vector<std::string>{"Error occurred(File Delete:255)"});
  EXPECT_TRUE(ui.Enabled());
  EXPECT_EQ(run.report.Count(WireKind::FileOpen), 0u);
}

}  // namespace
}  // namespace px
