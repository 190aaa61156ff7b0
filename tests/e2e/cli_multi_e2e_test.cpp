// px550-update with several pedals in one process, against px550-sim on pseudo-terminals: one
// pedal failing among others, --all over a fixture tree, an interrupt during three runs, the
// output of each progress mode with its ports, and virtual pedals with arguments of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_folder.h"

namespace px {
namespace {

namespace fs = std::filesystem;
using test::Count;
using test::JsonValue;
using test::Process;
using test::ReadFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class CliMultiTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::FreshTestFolder("px550-multi"); }
  void TearDown() override {
    pedals_.clear();
    fs::remove_all(dir_);
  }

  // Starts a virtual pedal that checks the updater's images; returns its pty.
  std::string StartPedal(std::vector<std::string> args) {
    const std::string report = (dir_ / ("report" + std::to_string(pedals_.size()))).string();
    std::vector<std::string> argv = {PX_SIM_EXE,       "--pty",
                                     "--report",       report,
                                     "--expect-image", PX_FIRMWARE_BIN,
                                     "--expect-file",  std::string("LINESEL.TDL=") + PX_MODULE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pedals_.push_back(std::make_unique<Process>(argv));
    reports_.push_back(report);
    std::string pty;
    EXPECT_TRUE(pedals_.back()->ReadLine(pty, 10000)) << pedals_.back()->Result().err;
    return pty;
  }
  // Ends pedal i (it writes its report) and returns the report.
  std::string StopPedal(size_t i) {
    pedals_[i]->Signal(SIGTERM);
    pedals_[i]->Wait(10000);
    return ReadFile(reports_[i]);
  }

  test::ProcessResult Update(std::vector<std::string> args, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {PX_UPDATE_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back(std::string("PX550_SIM=") + PX_SIM_EXE);
    return test::Run(argv, env, 150000);
  }

  fs::path dir_;
  std::vector<std::unique_ptr<Process>> pedals_;
  std::vector<std::string> reports_;
};

// Three pedals, the second refusing block 6 every time: the other two complete with the image
// in their flash, and the summary and exit status say so.
TEST_F(CliMultiTest, OneFailingPedalDoesNotStopTheOthers) {
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    std::vector<std::string> args = {"--baud", "0", "--erase-ms", "100"};
    if (i == 1) args.insert(args.end(), {"--fault", "RomWrite#6:1-7:status=22"});
    ports.push_back(StartPedal(args));
  }
  const auto r = Update({"flash", "--port", ports[0], "--port", ports[1], "--port", ports[2],
                         "--yes", "--progress", "plain"});
  EXPECT_EQ(r.exitCode, 1) << r.err;

  // Every line names its port, up to the count at the end.
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u) << r.out;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    bool named = false;
    for (const std::string& p : ports) named = named || lines[i].rfind(p + ": ", 0) == 0;
    EXPECT_TRUE(named) << lines[i];
  }
  for (const std::string& p : ports) {
    EXPECT_TRUE(Has(r.out, p + ": step: write\n")) << r.out;
    EXPECT_TRUE(Has(r.out, p + ": 100%") || p == ports[1]) << r.out;
  }
  // The failing pedal's line is followed by what to try.
  const std::vector<std::string> summary(lines.end() - 5, lines.end());
  EXPECT_EQ(summary, (std::vector<std::string>{
                         ports[0] + ": Firmware update completed.",
                         ports[1] + ": Transfer error occurred(ROM write:22)",
                         ports[1] + ": Hint: The pedal kept refusing the data, "
                                    "as over a poor connection. Bring it "
                                    "nearer and start the update again.",
                         ports[2] + ": Firmware update completed.", "2 of 3 pedals updated."}));
  EXPECT_TRUE(Has(r.err, ports[1] + ": Error: Transfer error occurred(ROM write:22)\n")) << r.err;
  EXPECT_TRUE(Has(r.err, "Found 3 PX-550LN pedals:\n")) << r.err;

  for (size_t i : {0u, 2u}) {
    const std::string report = StopPedal(i);
    EXPECT_EQ(JsonValue(report, "success"), "true") << report;
    EXPECT_EQ(JsonValue(report, "matches"), "true") << report;
  }
  const std::string refused = StopPedal(1);
  EXPECT_EQ(JsonValue(refused, "updateComplete"), "false") << refused;
  EXPECT_EQ(JsonValue(refused, "matches"), "false");
}

// --all over a fixture tree: the Bluetooth port where nothing answers and the one where another
// device answers are left out with their reasons; the real pedal is updated; the USB adapter is
// not touched. The JSON lines carry their port and end with one result per port.
TEST_F(CliMultiTest, AllLeavesOutWhatIsNotAPedal) {
#if !PX_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks (fixture port roots, scaled times)";
#endif
  // The updater's pause after UpdateStart is scaled down too.
  const std::string real = StartPedal({"--baud", "0", "--erase-ms", "100", "--settle-ms", "0"});
  const std::string silent = StartPedal({"--baud", "0", "--silent"});
  const std::string other = StartPedal({"--baud", "0", "--family", "0x22"});
  const fs::path sys = dir_ / "sys";
  const fs::path dev = dir_ / "dev";
  fs::create_directories(dev);
  const std::pair<const char*, std::string> links[] = {
      {"rfcomm0", real}, {"rfcomm1", silent}, {"rfcomm2", other}};
  for (const auto& [name, pty] : links) {
    fs::create_directories(sys / "class/tty" / name);
    fs::create_symlink(pty, dev / name);
  }
  const fs::path usb = sys / "devices/usb1/1-1";
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  fs::create_directories(sys / "class/tty/ttyUSB0");
  fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", sys / "class/tty/ttyUSB0/device");

  // Reply waits of 250 ms: at 100 ms a loaded machine made the real pedal's answers late enough
  // to be taken for answers out of step.
  const auto r = Update({"flash", "--all", "--yes", "--progress", "json"},
                        {"PX550_SYSFS_ROOT=" + sys.string(), "PX550_DEV_ROOT=" + dev.string(),
                         "PX550_TEST_TIMING_SCALE=0.05"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string p0 = (dev / "rfcomm0").string();
  const std::string p1 = (dev / "rfcomm1").string();
  const std::string p2 = (dev / "rfcomm2").string();
  EXPECT_TRUE(Has(r.err, p1 + ": left out: Time out error(ID Request)\n")) << r.err;
  EXPECT_TRUE(Has(r.err, p2 + ": left out: Illegal device connected. The device reported code "
                              "0x22.\n"))
      << r.err;
  EXPECT_TRUE(Has(r.err, "Found 1 PX-550LN pedal:\n  " + p0 + "  device code 0x5E")) << r.err;
  EXPECT_FALSE(Has(r.out + r.err, "ttyUSB0"));

  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  for (const std::string& l : lines) {
    EXPECT_EQ(l.rfind("{\"port\":\"" + dev.string() + "/rfcomm", 0), 0u) << l;
    EXPECT_EQ(l.back(), '}') << l;
  }
  EXPECT_EQ(Count(r.out, "\"event\":\"completed\""), 1u);
  EXPECT_EQ(Count(r.out, "\"event\":\"error\""), 0u) << "left-out ports are not errors";
  const std::vector<std::string> results(lines.end() - 3, lines.end());
  EXPECT_EQ(results[0], "{\"port\":\"" + p0 +
                            "\",\"event\":\"result\",\"status\":\"completed\",\"exit\":0,"
                            "\"message\":\"\",\"hint\":\"\"}");
  EXPECT_EQ(results[1], "{\"port\":\"" + p1 +
                            "\",\"event\":\"result\",\"status\":\"left-out\",\"exit\":4,"
                            "\"message\":\"Time out error(ID Request)\",\"hint\":\"\"}");
  EXPECT_EQ(results[2], "{\"port\":\"" + p2 +
                            "\",\"event\":\"result\",\"status\":\"left-out\",\"exit\":1,"
                            "\"message\":\"Illegal device connected.\",\"hint\":\"\"}");
  const std::string report = StopPedal(0);
  EXPECT_EQ(JsonValue(report, "success"), "true") << report;
  EXPECT_EQ(JsonValue(report, "matches"), "true");
  EXPECT_EQ(JsonValue(StopPedal(1), "total"), "6") << "six IdentityRequests, and nothing after";
}

// Ctrl-C while three pedals take their blocks at 115,200 baud: exit 130 at once, and no pedal
// gets anything after the message that was on its line at the signal.
TEST_F(CliMultiTest, InterruptStopsEveryRun) {
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    ports.push_back(StartPedal({"--baud", "115200", "--erase-ms", "100", "--once"}));
  }
  const std::string trace = (dir_ / "trace.txt").string();
  Process update({PX_UPDATE_EXE, "flash", "--port", ports[0], "--port", ports[1], "--port",
                  ports[2], "--yes", "--progress", "json", "--trace", trace});
  auto sentBy = [](const std::string& t, const std::string& port) {
    return Count(t, " " + port + " -> ");
  };
  // Until every pedal has taken two flash blocks.
  bool writing = false;
  for (int i = 0; i < 600 && !writing; ++i) {
    const std::string t = ReadFile(trace);
    writing = true;
    for (const std::string& p : ports) writing = writing && Count(t, " " + p + " -> 14062") >= 2;
    if (!writing) usleep(50000);
  }
  ASSERT_TRUE(writing) << ReadFile(trace);
  const std::string before = ReadFile(trace);
  update.Signal(SIGINT);
  ASSERT_TRUE(update.Wait(3000)) << "the updater did not stop";
  EXPECT_EQ(update.Result().exitCode, 130);

  const std::string after = ReadFile(trace);
  const std::vector<std::string> lines = Lines(update.Result().out);
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(ports[i]);
    const size_t sentBefore = sentBy(before, ports[i]);
    const size_t sent = sentBy(after, ports[i]);
    EXPECT_LE(sent, sentBefore + 1) << "at most the message that was going out at the signal";
    // The pedal ends once the updater has closed its line, having read all there was.
    ASSERT_TRUE(pedals_[i]->Wait(10000));
    const std::string report = ReadFile(reports_[i]);
    const size_t total = static_cast<size_t>(atoi(JsonValue(report, "total").c_str()));
    EXPECT_LE(total, sent) << report;
    EXPECT_GE(total + 1, sent) << report;
    EXPECT_EQ(JsonValue(report, "updateComplete"), "false");
    EXPECT_EQ(lines[lines.size() - 3 + i],
              "{\"port\":\"" + ports[i] +
                  "\",\"event\":\"result\",\"status\":\"interrupted\",\"exit\":130,"
                  "\"message\":\"\",\"hint\":\"\"}");
  }
}

// --simulate N, each virtual pedal with arguments of its own: the third is another device.
TEST_F(CliMultiTest, VirtualPedalsWithArgumentsOfTheirOwn) {
  auto r =
      Update({"flash", "--simulate", "3", "--yes", "--progress", "none", "--verbose",
              "--pedal-arg=--baud=0", "--pedal-arg=--erase-ms=100", "--pedal-arg=3:--family=0x22"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::vector<std::string> ports;
  for (const std::string& l : Lines(r.err)) {
    if (l.rfind("Virtual pedal on ", 0) == 0) ports.push_back(l.substr(17));
  }
  ASSERT_EQ(ports.size(), 3u) << r.err;
  const std::string equals =
      "Virtual pedal: its flash equals the firmware image; LINESEL.TDL "
      "equals the module image; no protocol violations.\n";
  EXPECT_TRUE(Has(r.err, ports[0] + ": " + equals)) << r.err;
  EXPECT_TRUE(Has(r.err, ports[1] + ": " + equals)) << r.err;
  EXPECT_TRUE(Has(r.err, ports[2] + ": Error: Illegal device connected.\n")) << r.err;
  EXPECT_TRUE(Has(r.out, ports[2] +
                             ": Illegal device connected. The device reported code "
                             "0x22.\n" +
                             ports[2] + ": Hint: Something other than a PX-550LN answered"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "\n2 of 3 pedals updated.\n")) << r.out;

  r = Update({"identify", "--simulate", "2", "--pedal-arg=--baud=0", "--pedal-arg=2:--variant=0"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "") << "the virtual pedals' own lines come only with --verbose";
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[0].substr(lines[0].find(": ")), ": Device code: 0x5E");
  EXPECT_EQ(lines[1].substr(lines[1].find(": ")), ": Variant: 1");
  EXPECT_EQ(lines[4].substr(lines[4].find(": ")), ": Variant: 0");
}

}  // namespace
}  // namespace px
