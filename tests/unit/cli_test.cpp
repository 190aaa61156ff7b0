// The command line's own parts: the options for several pedals, the exit status rule, the board
// and the lanes of the output, and the timing scale of the test builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/terminal_ui.h"
#include "cli/test_hooks.h"

namespace px::cli {
namespace {

std::optional<int> Parse(std::vector<std::string> args, Options& o, std::string* err = nullptr) {
  args.insert(args.begin(), "px550-update");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::string out;
  std::string e;
  const std::optional<int> rc =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), o, out, e);
  if (err != nullptr) *err = e;
  return rc;
}

TEST(CliOptions, SeveralPedalsAndTheirVirtualPedalArguments) {
  Options o;
  ASSERT_EQ(Parse({"flash", "--port", "A", "--port", "B", "--yes"}, o), std::nullopt);
  EXPECT_EQ(o.ports, (std::vector<std::string>{"A", "B"}));

  Options sim;
  ASSERT_EQ(Parse({"flash", "--simulate", "3", "--pedal-arg=--baud=0", "--pedal-arg=2:--silent",
                   "--pedal-arg", "3:--fault=RomWrite#6:1-7:status=22", "--pedal-arg=--latency=0"},
                  sim),
            std::nullopt);
  EXPECT_EQ(sim.simulate, 3);
  EXPECT_EQ(PedalArgsFor(sim, 1), (std::vector<std::string>{"--baud=0", "--latency=0"}));
  EXPECT_EQ(PedalArgsFor(sim, 2),
            (std::vector<std::string>{"--baud=0", "--silent", "--latency=0"}));
  EXPECT_EQ(
      PedalArgsFor(sim, 3),
      (std::vector<std::string>{"--baud=0", "--fault=RomWrite#6:1-7:status=22", "--latency=0"}));

  Options one;
  ASSERT_EQ(Parse({"identify", "--simulate"}, one), std::nullopt);
  EXPECT_EQ(one.simulate, 1);

  // What cannot run, as bad usage.
  std::vector<std::string> twentyOne = {"flash"};
  for (int i = 0; i < 21; ++i) twentyOne.insert(twentyOne.end(), {"--port", std::to_string(i)});
  const std::vector<std::vector<std::string>> bad = {
      {"flash", "--port", "A", "--all"},
      {"flash", "--simulate", "2", "--port", "A"},
      {"flash", "--all-ports", "--simulate"},
      {"flash", "--port", "A", "--port", "A"},
      {"flash", "--simulate", "2", "--pedal-arg=3:--silent"},
      {"flash", "--simulate", "2", "--pedal-arg=0:--silent"},
      {"flash", "--port", "A", "--pedal-arg=--silent"},
      {"flash", "--simulate", "21"},
      {"flash", "--simulate", "0"},
      twentyOne,
  };
  for (const auto& args : bad) {
    Options b;
    std::string err;
    EXPECT_EQ(Parse(args, b, &err), 2) << args.back();
    EXPECT_FALSE(err.empty());
  }
}

TEST(CliOptions, HelpGivesTheExitStatusRule) {
  Options o;
  std::vector<const char*> argv = {"px550-update", "--help"};
  std::string out;
  std::string err;
  EXPECT_EQ(ParseCommandLine(2, argv.data(), o, out, err), 0);
  EXPECT_NE(out.find(kExitStatusRule), std::string::npos) << out;
}

// The README tells the same rule in the same words (its line breaks and code marks aside).
TEST(CliOptions, TheReadmeGivesTheSameExitStatusRule) {
  std::ifstream in(PX_README);
  ASSERT_TRUE(in.good()) << PX_README;
  std::string words;
  std::string word;
  while (in >> word) {
    word.erase(std::remove(word.begin(), word.end(), '`'), word.end());
    words += (words.empty() ? "" : " ") + word;
  }
  EXPECT_NE(words.find(kExitStatusRule), std::string::npos)
      << "the README's exit status paragraph differs from --help";
}

PedalEnding Ending(RunOutcome outcome, bool leftOut = false) {
  PedalEnding e;
  e.outcome = outcome;
  e.leftOut = leftOut;
  return e;
}

TEST(CliExitStatus, OneRuleForAnyNumberOfPedals) {
  using R = RunOutcome;
  struct Case {
    std::vector<PedalEnding> endings;
    bool interrupted;
    int status;
  };
  const Case cases[] = {
      {{Ending(R::Completed)}, false, 0},
      {{Ending(R::Refused)}, false, 1},
      {{Ending(R::Declined)}, false, 1},
      {{Ending(R::TimedOut)}, false, 4},
      {{Ending(R::PortFailed)}, false, 3},
      {{Ending(R::Completed)}, true, 130},
      {{Ending(R::Completed), Ending(R::Completed), Ending(R::Completed)}, false, 0},
      {{Ending(R::Completed), Ending(R::Refused), Ending(R::Completed)}, false, 1},
      {{Ending(R::Refused), Ending(R::TimedOut)}, false, 4},
      {{Ending(R::TimedOut), Ending(R::PortFailed), Ending(R::Refused)}, false, 3},
      {{Ending(R::Completed), Ending(R::Aborted)}, false, 130},
      {{Ending(R::PortFailed), Ending(R::Completed)}, true, 130},
      // --all: what was left out does not count, unless nothing else is left.
      {{Ending(R::TimedOut, true), Ending(R::Refused, true), Ending(R::Completed)}, false, 0},
      {{Ending(R::TimedOut, true), Ending(R::Refused, true)}, false, 4},
      {{Ending(R::Refused, true)}, false, 1},
      {{}, false, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExitStatusFor(c.endings, c.interrupted), c.status)
        << c.endings.size() << " pedals, first " << static_cast<int>(c.endings.front().outcome);
  }
  EXPECT_STREQ(StatusWordOf(Ending(R::TimedOut, true)), "left-out");
  EXPECT_STREQ(StatusWordOf(Ending(R::TimedOut)), "timeout");
  EXPECT_STREQ(StatusWordOf(Ending(R::Aborted)), "interrupted");
}

// What a stream received, read back.
class Capture {
 public:
  Capture() : file_(tmpfile()) {}
  ~Capture() { fclose(file_); }
  FILE* File() { return file_; }
  std::string Text() {
    fflush(file_);
    rewind(file_);
    std::string text;
    char buf[1024];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) text.append(buf, n);
    return text;
  }

 private:
  FILE* file_;
};

TEST(CliOutput, OnePedalAsAlwaysSeveralWithTheirPorts) {
  {
    Capture out, err;
    const auto view = MakeTerminalUi(ProgressMode::Plain, out.File(), err.File());
    CTerminalUi& ui = *view;
    ui.OnStep(UpdateStep::Write);
    ui.OnTransfer(10, 100);
    ui.SetProgressPosition(10);
    ui.ShowError("Time out error(ROM write)");
    EXPECT_EQ(out.Text(), "step: write\n 10%  10 of 100 bytes\n");
    EXPECT_EQ(err.Text(), "Error: Time out error(ROM write)\n");
  }
  {
    Capture out, err;
    const auto view = MakeTerminalUi(ProgressMode::Plain, out.File(), err.File(), {"COM7"});
    CTerminalUi& ui = *view;
    ui.OnStep(UpdateStep::Write);
    ui.OnTransfer(10, 100);
    ui.SetProgressPosition(10);
    ui.ShowCompletion("Firmware update completed.");
    ui.ShowError("Time out error(ROM write)");
    ui.Note("Another program is using this port.");
    EXPECT_EQ(out.Text(),
              "COM7: step: write\nCOM7:  10%  10 of 100 bytes\nCOM7: Firmware update completed.\n");
    EXPECT_EQ(
        err.Text(),
        "COM7: Error: Time out error(ROM write)\nCOM7: Another program is using this port.\n");
  }
  {
    Capture out, err;
    const auto view = MakeTerminalUi(ProgressMode::Json, out.File(), err.File(), {"/dev/pts/\"3"});
    CTerminalUi& ui = *view;
    ui.OnStep(UpdateStep::Identify);
    ui.SetProgressPosition(0);
    ui.ShowError("Illegal device connected.");
    ui.Result("failed", 1, "Pick the pedal's port.");
    const std::string text = out.Text();
    size_t lines = 0;
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 4u);
    const std::string start = "{\"port\":\"/dev/pts/\\\"3\",\"event\":";
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
      EXPECT_EQ(text.compare(at, start.size(), start), 0) << text.substr(at);
    }
    EXPECT_NE(text.find(",\"event\":\"result\",\"status\":\"failed\",\"exit\":1,\"message\":"
                        "\"Illegal device connected.\",\"hint\":\"Pick the pedal's port.\"}\n"),
              std::string::npos)
        << text;
  }
  // A lane held for --all keeps its error to itself.
  {
    Capture out, err;
    const auto view = MakeTerminalUi(ProgressMode::Plain, out.File(), err.File(), {"A"});
    CTerminalUi& ui = *view;
    ui.HoldErrors(true);
    ui.ShowError("Time out error(ID Request)");
    EXPECT_EQ(err.Text(), "");
  }
}

// Nothing to measure before the pedal is known; the erase is a step of its own with its limit,
// and the time left comes back once the blocks go out.
TEST(CliOutput, TheBarWaitsForThePedalAndShowsTheEraseAsAStep) {
  Capture out, err;
  const auto view = MakeTerminalUi(ProgressMode::Bar, out.File(), err.File());
  CTerminalUi& ui = *view;
  ui.SetEraseLimitMs(32775);
  ui.OnStep(UpdateStep::Identify);
  ui.SetProgressPosition(0);
  EXPECT_EQ(err.Text(), "") << "no bar before identification";
  ui.OnStep(UpdateStep::UpdateStart);
  ui.OnTransfer(0, 1000);
  ui.OnStep(UpdateStep::Erase);
  ui.SetProgressPosition(5);
  std::string text = err.Text();
  const std::string erasing = "erasing the flash, up to 33 s";
  EXPECT_NE(text.find("[#.............................]   5%        0/1000 bytes  " + erasing),
            std::string::npos)
      << text;
  ui.OnStep(UpdateStep::Write);
  ui.OnTransfer(500, 1000);
  text = err.Text();
  const std::string last = text.substr(text.rfind('\r'));
  EXPECT_EQ(last.find(erasing), std::string::npos) << last;
  EXPECT_NE(last.find("500/1000 bytes"), std::string::npos) << last;
  EXPECT_NE(last.find("ETA "), std::string::npos) << last;
}

TEST(CliOutput, TheBoardRedrawsItsLinesInPlace) {
  Capture err;
  CProgressBoard board(err.File(), 2, 20);
  board.SetLine(0, "A  identify", true);
  board.SetLine(1, "B  a line much longer than the terminal", true);
  board.SetLine(1, "B  a line much longer than the terminal", true);  // unchanged: not drawn
  std::string text = err.Text();
  EXPECT_EQ(text,
            "\r\x1b[KA  identify\n\r\x1b[K\n"                              // the first draw
            "\x1b[2A\r\x1b[KA  identify\n\r\x1b[KB  a line much long\n");  // over it, cut
  board.Release();
  board.SetLine(0, "A  write", true);
  const size_t before = text.size();
  text = err.Text();
  EXPECT_EQ(text.substr(before), "\r\x1b[KA  write\n\r\x1b[KB  a line much long\n")
      << "after a release the lines are drawn anew below";
}

TEST(CliTiming, TheScaleTakesOnlySaneNumbers) {
  const EngineTiming defaults;
  auto same = [&](const EngineTiming& t) {
    return t.replyWaitMs == defaults.replyWaitMs && t.eraseBytesPerMs == defaults.eraseBytesPerMs &&
           t.updateStartPauseMs == defaults.updateStartPauseMs &&
           t.eraseExtraMs == defaults.eraseExtraMs;
  };
  for (const char* text : {"", "abc", "0.5x", "0", "-0.5", "2", "nan", "inf", "-inf", "1e400"}) {
    EXPECT_TRUE(same(ScaledTiming(text))) << text;
  }
  EXPECT_TRUE(same(ScaledTiming(nullptr)));
  EXPECT_TRUE(same(ScaledTiming("1")));

  const EngineTiming hundredth = ScaledTiming("0.01");
  EXPECT_EQ(hundredth.replyWaitMs, 50u);
  EXPECT_EQ(hundredth.updateStartPauseMs, 5u);
  EXPECT_EQ(hundredth.resendPauseMs, 1u);
  EXPECT_EQ(hundredth.eraseBytesPerMs, 3300u);

  // Tiny scales: every wait at least 1 ms, and an erase rate that its field still holds (never
  // 0, which would divide by nothing).
  for (const char* text : {"1e-9", "1e-300", "4.9e-324"}) {
    const EngineTiming t = ScaledTiming(text);
    EXPECT_EQ(t.replyWaitMs, 1u) << text;
    EXPECT_EQ(t.semaphorePauseMs, 1u) << text;
    EXPECT_EQ(t.eraseBytesPerMs, std::numeric_limits<uint32_t>::max()) << text;
  }
}

}  // namespace
}  // namespace px::cli
