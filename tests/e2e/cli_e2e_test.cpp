// px550-update against px550-sim over a pseudo-terminal: whole updates, every exit status, the
// interrupt, the JSON progress, and the port listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_folder.h"
#include "wait_until.h"

namespace px {
namespace {

namespace fs = std::filesystem;
using test::JsonValue;
using test::Process;
using test::ReadFile;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::FreshTestFolder("px550-e2e");
    report_ = (dir_ / "report.json").string();
  }
  void TearDown() override {
    pedal_.reset();
    fs::remove_all(dir_);
  }

  // Starts the virtual pedal; returns its pty.
  std::string StartPedal(std::vector<std::string> args) {
    std::vector<std::string> argv = {PX_SIM_EXE, "--pty",          "--report",
                                     report_,    "--expect-image", PX_FIRMWARE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pedal_ = std::make_unique<Process>(argv);
    std::string pty;
    EXPECT_TRUE(pedal_->ReadLine(pty, 30000)) << pedal_->Result().err;
    return pty;
  }
  // Ends the pedal (it writes its report) and returns the report.
  std::string StopPedal() {
    pedal_->Signal(SIGTERM);
    EXPECT_TRUE(pedal_->Wait(30000)) << "the pedal did not end on SIGTERM";
    return ReadFile(report_);
  }

  test::ProcessResult Update(std::vector<std::string> args, std::vector<std::string> env = {},
                             int timeoutMs = 120000) {
    std::vector<std::string> argv = {PX_UPDATE_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::Run(argv, env, timeoutMs);
  }

  fs::path dir_;
  std::string report_;
  std::unique_ptr<Process> pedal_;
};

TEST_F(CliTest, BothVariantsComplete) {
  for (const char* variant : {"1", "0"}) {
    std::vector<std::string> pedal = {"--baud", "0", "--erase-ms", "200", "--variant", variant};
    if (std::string(variant) == "1") {
      pedal.insert(pedal.end(), {"--expect-file", std::string("LINESEL.TDL=") + PX_MODULE_BIN});
    }
    const std::string pty = StartPedal(pedal);
    const auto r = Update({"flash", "--port", pty, "--yes", "--progress", "plain"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Firmware update completed.\n"), std::string::npos);
    EXPECT_NE(r.out.find("100%"), std::string::npos);
    const std::string report = StopPedal();
    EXPECT_EQ(JsonValue(report, "success"), "true") << report;
    EXPECT_EQ(JsonValue(report, "matches"), "true");
    EXPECT_EQ(JsonValue(report, "GetSemaphore"), std::string(variant) == "1" ? "1" : "");
  }
}

TEST_F(CliTest, FailuresGiveTheirTextAndExitStatus) {
  struct Case {
    std::vector<std::string> pedal;
    std::string text;
    int exit;
  };
  const Case cases[] = {
      {{"--family", "0x22"}, "Error: Illegal device connected.\n", 1},
      {{"--fault", "UpdateStart:all:status=12"}, "Error: Low battery.\n", 1},
      {{"--silent"}, "Error: Time out error(ID Request)\n", 4},
  };
  for (const Case& c : cases) {
    std::vector<std::string> pedal = {"--baud", "0"};
    pedal.insert(pedal.end(), c.pedal.begin(), c.pedal.end());
    const std::string pty = StartPedal(pedal);
    const auto r = Update({"flash", "--port", pty, "--yes"}, {"PX550_TEST_TIMING_SCALE=0.05"});
    EXPECT_EQ(r.exitCode, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("completed"), std::string::npos);
    StopPedal();
  }

  auto r = Update({"flash", "--port", (dir_ / "no-such-port").string(), "--yes"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("Error: Can't open COM Port.\n"), std::string::npos);

  r = Update({"flash", "--progress", "sideways"});
  EXPECT_EQ(r.exitCode, 2);
  r = Update({"erase-everything"});
  EXPECT_EQ(r.exitCode, 2);
  r = Update({"flash", "--port", "/dev/null"});  // no terminal to ask, and no --yes
  EXPECT_EQ(r.exitCode, 2);
  r = Update({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("1.30"), std::string::npos);
}

// Each failure a user meets ends with one line that says what to try, right after the error's
// own text (and the system's reason, for a port); JSON carries it as a field of the result.
TEST_F(CliTest, EachFailureEndsWithWhatToTry) {
  struct Case {
    std::vector<std::string> pedal;
    std::string error;
    std::string hint;
  };
  const Case cases[] = {
      {{"--silent"}, "Time out error(ID Request)", "No pedal answered. Set the pedal to firmware"},
      {{"--family", "0x22"}, "Illegal device connected.", "Something other than a PX-550LN"},
      {{"--fault", "RomWrite#6:1-7:status=22"},
       "Transfer error occurred(ROM write:22)",
       "The pedal kept refusing the data"},
      {{"--fault", "RomWrite#2:1:disconnect"}, "Time out error(ROM write)", "The port went away"},
      {{"--fault", "RomWrite#2:all:silence"},
       "Time out error(ROM write)",
       "The pedal stopped answering"},
  };
  const std::vector<std::string> scaled = {"PX550_TEST_TIMING_SCALE=0.05"};
  for (const Case& c : cases) {
    std::vector<std::string> pedal = {"--baud", "0", "--erase-ms", "100"};
    pedal.insert(pedal.end(), c.pedal.begin(), c.pedal.end());
    std::string pty = StartPedal(pedal);
    auto r = Update({"flash", "--port", pty, "--yes", "--progress", "none"}, scaled);
    EXPECT_NE(r.err.find("Error: " + c.error + "\nHint: " + c.hint), std::string::npos) << r.err;
    StopPedal();
  }

  // The same in JSON, and after identify.
  std::string pty = StartPedal({"--baud", "0", "--silent"});
  auto r = Update({"flash", "--port", pty, "--yes", "--progress", "json"}, scaled);
  EXPECT_NE(r.out.find("\"message\":\"Time out error(ID Request)\",\"hint\":\"No pedal answered."),
            std::string::npos)
      << r.out;
  r = Update({"identify", "--port", pty}, scaled);
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_NE(r.err.find("Error: Time out error(ID Request)\nHint: No pedal answered."),
            std::string::npos)
      << r.err;

  // A port that another program holds.
  const int held = open(pty.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  r = Update({"identify", "--port", pty});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("Error: Can't open COM Port.\n" + pty +
                       " is held by another program: Device or resource busy\n"
                       "Hint: Another program is using this port."),
            std::string::npos)
      << r.err;
  close(held);
  StopPedal();

  // A port that is not there.
  r = Update({"flash", "--port", (dir_ / "rfcomm9").string(), "--yes"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("No such file or directory\nHint: No such port."), std::string::npos)
      << r.err;
}

TEST_F(CliTest, IdentifyPrintsTheDevice) {
  const std::string pty = StartPedal({"--baud", "0", "--family", "0x5D", "--variant", "0"});
  auto r = Update({"identify", "--port", pty});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Device code: 0x5D"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Variant: 0"), std::string::npos);
  EXPECT_NE(r.out.find("Revision: 1300"), std::string::npos);
  StopPedal();
}

// Ctrl-C in the middle of the flash write: nothing more leaves, the port closes, exit 130.
TEST_F(CliTest, InterruptStopsAtOnce) {
  // With --once the pedal ends by itself once the updater has closed its end and the pedal has
  // read all that was on the line: its report then holds everything the updater ever sent.
  const std::string pty = StartPedal({"--baud", "115200", "--erase-ms", "100", "--once"});
  const std::string trace = (dir_ / "trace.txt").string();
  Process update(
      {PX_UPDATE_EXE, "flash", "--port", pty, "--yes", "--progress", "json", "--trace", trace});
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const std::string t = ReadFile(trace);
        size_t blocks = 0;
        for (size_t p = t.find("-> 14062"); p != std::string::npos; p = t.find("-> 14062", p + 1)) {
          ++blocks;
        }
        return blocks >= 3;
      },
      std::chrono::milliseconds(120000), "the third flash block in the trace"));
  update.Signal(SIGINT);
  ASSERT_TRUE(update.Wait(30000)) << "the updater did not stop";
  EXPECT_EQ(update.Result().exitCode, 130);
  ASSERT_TRUE(pedal_->Wait(30000)) << "the pedal did not see the line close";
  const std::string report = ReadFile(report_);
  const std::string t = ReadFile(trace);
  size_t sent = 0;
  for (size_t p = t.find(" -> "); p != std::string::npos; p = t.find(" -> ", p + 1)) ++sent;
  // The message in flight at the interrupt may arrive cut short; nothing after it arrives.
  const int total = atoi(JsonValue(report, "total").c_str());
  EXPECT_GE(total + 1, static_cast<int>(sent)) << report;
  EXPECT_LE(total, static_cast<int>(sent)) << report;
  EXPECT_EQ(JsonValue(report, "updateComplete"), "false");
  const std::string last = t.substr(t.rfind(" -> "));
  EXPECT_EQ(last.find("UpdateComplete"), std::string::npos);
  EXPECT_NE(update.Result().out.find("\"status\":\"interrupted\""), std::string::npos);
}

TEST_F(CliTest, JsonProgressIsOneObjectPerLine) {
  const std::string pty = StartPedal({"--baud", "0", "--erase-ms", "100"});
  const auto r = Update({"flash", "--port", pty, "--yes", "--progress", "json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(r.out.substr(start, nl - start));
  }
  ASSERT_GT(lines.size(), 20u);
  std::vector<std::string> steps;
  for (const std::string& l : lines) {
    ASSERT_TRUE(l.front() == '{' && l.back() == '}') << l;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < l.size(); ++i) {
      if (l[i] == '\\') {
        ++i;
      } else if (l[i] == '"') {
        quoted = !quoted;
      } else if (!quoted) {
        depth += l[i] == '{' ? 1 : l[i] == '}' ? -1 : 0;
      }
    }
    EXPECT_EQ(depth, 0) << l;
    EXPECT_FALSE(quoted) << l;
    if (l.find("\"event\":\"step\"") != std::string::npos) {
      steps.push_back(JsonValue(l, "step"));
    }
  }
  EXPECT_EQ(steps,
            (std::vector<std::string>{"\"identify\"", "\"semaphore\"", "\"mute\"",
                                      "\"update-start\"", "\"file-delete\"", "\"file-write\"",
                                      "\"erase\"", "\"write\"", "\"complete\""}));
  EXPECT_NE(lines.back().find("\"event\":\"result\",\"status\":\"completed\",\"exit\":0"),
            std::string::npos)
      << lines.back();
  StopPedal();
}

TEST_F(CliTest, PortsFromAFixtureTree) {
#if !PX_TEST_HOOKS
  GTEST_SKIP() << "needs a build with test hooks (fixture port roots)";
#endif
  // Two Bluetooth serial ports and a USB adapter.
  const fs::path sys = dir_ / "sys";
  const fs::path dev = dir_ / "dev";
  fs::create_directories(dev);
  for (const char* name : {"rfcomm10", "rfcomm2", "ttyUSB0", "ttyS0"}) {
    fs::create_directories(sys / "class/tty" / name);
  }
  const fs::path usb = sys / "devices/usb1/1-1";
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  std::ofstream(usb / "idVendor") << "0403\n";
  std::ofstream(usb / "manufacturer") << "FTDI\n";
  std::ofstream(usb / "product") << "FT232R USB UART\n";
  fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", sys / "class/tty/ttyUSB0/device");
  const auto r =
      Update({"ports"}, {"PX550_SYSFS_ROOT=" + sys.string(), "PX550_DEV_ROOT=" + dev.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Not a terminal: mark, port, description and Bluetooth, tab-separated, without a header.
  const std::string rfcomm2 = "*\t" + (dev / "rfcomm2").string() + "\t";
  EXPECT_EQ(r.out.rfind(rfcomm2, 0), 0u) << r.out;
  EXPECT_LT(r.out.find("rfcomm2"), r.out.find("rfcomm10")) << r.out;
  EXPECT_NE(r.out.find("\t" + (dev / "ttyUSB0").string() + "\tFTDI FT232R USB UART\tno\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("ttyS0"), std::string::npos) << "a UART slot without hardware";

  const auto none = Update({"ports"}, {"PX550_SYSFS_ROOT=" + (dir_ / "empty").string()});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.err.find("No serial ports found."), std::string::npos);
}

// A pedal that does not write a block and answers it with a reply the updater does not know (a
// file sub-reply of an unknown sub-command, a code outside the success list): a refusal, so the
// block goes again, or, refused every time, the block's error box. Never "completed" over a
// flash that lacks the block.
TEST_F(CliTest, UnknownAnswersAreRefusals) {
  struct Case {
    std::string fault;
    std::string error;  // empty: the run completes with the right flash
  };
  const Case cases[] = {
      {"RomWrite#6:1:sub=9", ""},
      {"RomWrite#2:1:code=33", ""},
      {"RomWrite#3:1-7:code=40", "Error: Transfer error occurred(ROM write:40)\n"},
      {"RomWrite#1:1-7:sub=127", "Error: Transfer error occurred(ROM write:127)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string pty =
        StartPedal({"--baud", "921600", "--erase-ms", "200", "--variant", "0", "--fault", c.fault});
    const auto r = Update({"flash", "--port", pty, "--yes", "--progress", "none"});
    const std::string report = StopPedal();
    if (c.error.empty()) {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(JsonValue(report, "success"), "true") << report;
      EXPECT_EQ(JsonValue(report, "matches"), "true") << report;
    } else {
      EXPECT_EQ(r.exitCode, 1) << r.err;
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
      EXPECT_EQ(r.out.find("completed"), std::string::npos) << r.out;
    }
  }
}

// The same at the real line speed, where a block takes over a second on the line.
TEST_F(CliTest, UnknownAnswerAtTheRealLineSpeed) {
  const std::string pty = StartPedal(
      {"--baud", "115200", "--variant", "0", "--once", "--fault", "RomWrite#40:1:sub=9"});
  const auto r = Update({"flash", "--port", pty, "--yes", "--progress", "none"}, {}, 170000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(pedal_->Wait(30000)) << "the pedal did not end after the update";
  EXPECT_EQ(pedal_->Result().exitCode, 0) << "a violation, or a flash unlike the image";
}

// At full scale: the real 115,200-baud line and the real times.
TEST_F(CliTest, FullScaleUpdate) {
  const std::string pty = StartPedal(
      {"--baud", "115200", "--once", "--expect-file", std::string("LINESEL.TDL=") + PX_MODULE_BIN});
  const auto r = Update({"flash", "--port", pty, "--yes", "--progress", "none"}, {}, 170000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Firmware update completed.\n");
  EXPECT_TRUE(pedal_->Wait(30000)) << "the pedal did not end after the update";
  EXPECT_EQ(pedal_->Result().exitCode, 0);
  EXPECT_EQ(JsonValue(ReadFile(report_), "success"), "true");
}

}  // namespace
}  // namespace px
