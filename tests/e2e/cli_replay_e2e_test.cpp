// A recorded run played back: px550-update --trace against a virtual pedal with faults, then the
// same updater against px550-sim --replay of that trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_folder.h"

namespace px {
namespace {

namespace fs = std::filesystem;
using test::JsonValue;
using test::Process;
using test::ReadFile;

const std::vector<std::string> kScaled = {"PX550_TEST_TIMING_SCALE=0.05"};

// The error box's text: the line after "Error: ".
std::string BoxText(const std::string& err) {
  const size_t at = err.find("Error: ");
  return at == std::string::npos ? "" : err.substr(at + 7, err.find('\n', at) - at - 7);
}

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::FreshTestFolder("px550-replay");
    trace_ = (dir_ / "run.trace").string();
    report_ = (dir_ / "report.json").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A run of the updater against a virtual pedal with these options, traced.
  test::ProcessResult Record(std::vector<std::string> pedalArgs) {
    std::vector<std::string> argv = {PX_SIM_EXE, "--pty", "--baud", "0", "--erase-ms", "100"};
    argv.insert(argv.end(), pedalArgs.begin(), pedalArgs.end());
    Process pedal(argv);
    std::string pty;
    EXPECT_TRUE(pedal.ReadLine(pty, 30000)) << pedal.Result().err;
    auto r = Flash(pty, {"--trace", trace_});
    pedal.Signal(SIGTERM);
    EXPECT_TRUE(pedal.Wait(30000));
    return r;
  }

  test::ProcessResult Flash(const std::string& port, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {PX_UPDATE_EXE, "flash",      "--port", port,
                                     "--yes",       "--progress", "none"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::Run(argv, kScaled, 120000);
  }

  // Replays `trace` against the updater; the replayer's own ending is in replayer.
  test::ProcessResult Replay(const std::string& trace, test::ProcessResult& replayer) {
    Process sim({PX_SIM_EXE, "--pty", "--replay", trace, "--report", report_});
    std::string pty;
    EXPECT_TRUE(sim.ReadLine(pty, 30000)) << sim.Result().err;
    auto r = Flash(pty);
    // It ends by itself once the updater has closed the line.
    EXPECT_TRUE(sim.Wait(30000)) << "the replay did not end after the updater closed the line";
    replayer = sim.Result();
    return r;
  }

  fs::path dir_;
  std::string trace_;
  std::string report_;
};

// One block refused seven times: the replay brings the updater to the same ending and box.
TEST_F(ReplayTest, AFailedRunReplaysToTheSameEnding) {
  const auto recorded = Record({"--fault", "RomWrite#6:1-7:status=22"});
  ASSERT_EQ(recorded.exitCode, 1) << recorded.err;
  ASSERT_EQ(BoxText(recorded.err), "Transfer error occurred(ROM write:22)");

  test::ProcessResult replayer;
  const auto replayed = Replay(trace_, replayer);
  EXPECT_EQ(replayed.exitCode, recorded.exitCode) << replayed.err;
  EXPECT_EQ(BoxText(replayed.err), BoxText(recorded.err)) << replayed.err;
  EXPECT_EQ(replayer.exitCode, 0) << replayer.err;
  EXPECT_NE(replayer.err.find("replay: 28 of 28 updater messages as traced"), std::string::npos)
      << replayer.err;
  EXPECT_EQ(JsonValue(ReadFile(report_), "success"), "true");
}

// The trace of a build whose image differed in one byte of the third block: the replay names
// that block as the first difference, and stops answering there.
TEST_F(ReplayTest, AChangedUpdaterIsCaughtAtItsFirstDifference) {
  ASSERT_EQ(Record({"--variant", "0"}).exitCode, 0);
  std::ifstream in(trace_);
  std::ostringstream changed;
  std::string line;
  int blocks = 0;
  size_t changedLine = 0;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.find("-> 14062 RomWrite") != std::string::npos && ++blocks == 3) {
      const size_t byte100 = line.find(" | ") + 3 + 100 * 3;
      line[byte100 + 1] = line[byte100 + 1] == '0' ? '1' : '0';
      changedLine = number;
    }
    changed << line << "\n";
  }
  ASSERT_NE(changedLine, 0u);
  const std::string other = (dir_ / "other.trace").string();
  std::ofstream(other) << changed.str();

  test::ProcessResult replayer;
  const auto replayed = Replay(other, replayer);
  EXPECT_EQ(BoxText(replayed.err), "Time out error(ROM write)") << replayed.err;
  EXPECT_EQ(replayer.exitCode, 1);
  EXPECT_NE(
      replayer.err.find("px550-sim: DIFFERENCE: the updater's message 6 differs from the "
                        "trace (line " +
                        std::to_string(changedLine) + "): the trace has RomWrite addr=0x000A6000"),
      std::string::npos)
      << replayer.err;
  EXPECT_NE(replayer.err.find("; first difference at byte 100\n"), std::string::npos)
      << replayer.err;
  EXPECT_EQ(JsonValue(ReadFile(report_), "success"), "false");

  // A trace that ends early: the first message past its end is named.
  std::ifstream whole(trace_);
  std::ofstream cut(other, std::ios::trunc);
  for (int i = 0; i < 4 && std::getline(whole, line); ++i) cut << line << "\n";
  cut.close();
  Replay(other, replayer);
  EXPECT_EQ(replayer.exitCode, 1);
  EXPECT_NE(replayer.err.find("DIFFERENCE: the updater's message 3 comes after the trace's end: "
                              "RomErase"),
            std::string::npos)
      << replayer.err;
}

}  // namespace
}  // namespace px
