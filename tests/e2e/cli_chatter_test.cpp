// px550-update on a line that is never quiet: the virtual pedal sends a timing clock byte every
// 20 ms for as long as it runs, before, during and after the update.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_folder.h"

namespace px {
namespace {

namespace fs = std::filesystem;
using test::Count;
using test::Process;
using test::ReadFile;

// The pedal keeps its clock running for ten minutes after the update: an updater that waits for
// a quiet line to stop its reply thread would wait that long.
TEST(ChatteringLine, WholeUpdateEndsAndTheProgramExits) {
  const test::ProcessResult r =
      test::Run({PX_UPDATE_EXE, "flash", "--simulate", "--yes", "--progress", "none",
                 "--pedal-arg=--baud=921600", "--pedal-arg=--erase-ms=1500",
                 "--pedal-arg=--clock=20", "--pedal-arg=--linger=600000"},
                {}, 300000);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Firmware update completed."), std::string::npos) << r.out;
}

TEST(ChatteringLine, InterruptMidWriteStopsAtOnce) {
  const fs::path dir = test::FreshTestFolder("px550-chatter");
  const std::string trace = (dir / "trace.txt").string();
  const std::string report = (dir / "report.json").string();
  Process pedal({PX_SIM_EXE, "--pty", "--clock", "20", "--baud", "115200", "--erase-ms", "100",
                 "--report", report});
  std::string pty;
  ASSERT_TRUE(pedal.ReadLine(pty, 10000)) << pedal.Result().err;

  Process update(
      {PX_UPDATE_EXE, "flash", "--port", pty, "--yes", "--progress", "none", "--trace", trace});
  // The third flash block is on its way (every poll has its deadline).
  size_t sentAtSignal = 0;
  for (int i = 0; i < 1200; ++i) {
    const std::string t = ReadFile(trace);
    if (Count(t, "-> 14062") >= 3) {
      sentAtSignal = Count(t, " -> ");
      break;
    }
    usleep(50000);
  }
  ASSERT_GT(sentAtSignal, 0u) << "the third block never went out";
  update.Signal(SIGINT);
  // The clock never stops, so only an updater that does not wait for a quiet line gets here.
  ASSERT_TRUE(update.Wait(60000)) << "the updater did not stop";
  EXPECT_EQ(update.Result().exitCode, 130);
  // At most the message that was being handed over at the signal follows it.
  const std::string t = ReadFile(trace);
  EXPECT_LE(Count(t, " -> "), sentAtSignal + 1);
  EXPECT_EQ(Count(t, "UpdateComplete"), 0u);
  pedal.Signal(SIGTERM);
  ASSERT_TRUE(pedal.Wait(10000));
  EXPECT_NE(ReadFile(report).find("\"updateComplete\": false"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace px
