// What the command line advises after a failure, and how it lists ports.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "cli/hints.h"
#include "cli/terminal_ui.h"
#include "serial/port_discovery.h"

namespace px::cli {
namespace {

HintCause Of(RunOutcome outcome, UpdateStep step, bool lineFailed = false,
             HintCause openCause = HintCause::kNone) {
  return HintCauseOf({outcome, step, openCause, lineFailed});
}

TEST(CliHints, EachEndingGetsTheHintOfItsLikelyCause) {
  // Silence: at identification nothing is there; later the pedal fell silent, or its port went.
  EXPECT_EQ(Of(RunOutcome::TimedOut, UpdateStep::Identify), HintCause::kNoAnswer);
  EXPECT_EQ(Of(RunOutcome::TimedOut, UpdateStep::Write), HintCause::kStoppedAnswering);
  EXPECT_EQ(Of(RunOutcome::TimedOut, UpdateStep::Erase), HintCause::kStoppedAnswering);
  EXPECT_EQ(Of(RunOutcome::TimedOut, UpdateStep::Write, true), HintCause::kLineLost);
  EXPECT_EQ(Of(RunOutcome::TimedOut, UpdateStep::Identify, true), HintCause::kLineLost);
  // Refusals: identification by another device, the data by the pedal; the refusals before
  // the data have texts that already say what to do.
  EXPECT_EQ(Of(RunOutcome::Refused, UpdateStep::Identify), HintCause::kNotAPedal);
  EXPECT_EQ(Of(RunOutcome::Refused, UpdateStep::Write), HintCause::kRefusedData);
  EXPECT_EQ(Of(RunOutcome::Refused, UpdateStep::FileWrite), HintCause::kRefusedData);
  EXPECT_EQ(Of(RunOutcome::Refused, UpdateStep::UpdateStart), HintCause::kNone);
  EXPECT_EQ(Of(RunOutcome::Refused, UpdateStep::Semaphore), HintCause::kNone);
  // A port that would not open gives the class of its error, whatever else happened.
  EXPECT_EQ(Of(RunOutcome::PortFailed, UpdateStep::Identify, true, HintCause::kBusy),
            HintCause::kBusy);
  EXPECT_EQ(Of(RunOutcome::PortFailed, UpdateStep::Identify), HintCause::kNone);
  // Nothing to advise on success, an interrupt, a declined run or answers out of step (whose
  // text says to start again).
  for (RunOutcome o : {RunOutcome::Completed, RunOutcome::Aborted, RunOutcome::Declined,
                       RunOutcome::OutOfStep, RunOutcome::None}) {
    EXPECT_EQ(Of(o, UpdateStep::Write, true), HintCause::kNone);
  }
}

TEST(CliHints, APortThatWouldNotOpenIsClassedByItsError) {
  const PortSystem system = ThisPortSystem();
  const bool linux = system == PortSystem::kLinux;
  EXPECT_EQ(OpenErrorCause(EBUSY), HintCause::kBusy);
  EXPECT_EQ(OpenErrorCause(EWOULDBLOCK), HintCause::kBusy);
  EXPECT_EQ(OpenErrorCause(ENOENT), linux ? HintCause::kMissingRfcomm : HintCause::kMissing);
  EXPECT_EQ(OpenErrorCause(ENXIO), OpenErrorCause(ENOENT));
  const HintCause permission = linux                        ? HintCause::kPermissionDialout
                               : system == PortSystem::kBsd ? HintCause::kPermissionDialer
                                                            : HintCause::kPermission;
  EXPECT_EQ(OpenErrorCause(EACCES), permission);
  EXPECT_EQ(OpenErrorCause(EPERM), permission);
  // RFCOMM and its connection exist only on Linux.
  for (int e : {ENOTCONN, EHOSTDOWN, ECONNREFUSED}) {
    EXPECT_EQ(OpenErrorCause(e), linux ? HintCause::kNotConnected : HintCause::kNone) << e;
  }
  EXPECT_EQ(OpenErrorCause(EINVAL), HintCause::kNone);
  EXPECT_EQ(OpenErrorCause(0), HintCause::kNone);
}

TEST(CliHints, EveryCauseHasATextOfItsOwnThatSaysWhatToTry) {
  const std::vector<std::pair<HintCause, const char*>> causes = {
      {HintCause::kNoAnswer, "update mode"},
      {HintCause::kNotAPedal, "px550-update ports"},
      {HintCause::kPermission, "permissions"},
      {HintCause::kPermissionDialout, "dialout"},
      {HintCause::kPermissionDialer, "dialer"},
      {HintCause::kBusy, "Another program"},
      {HintCause::kNotConnected, "Bluetooth"},
      {HintCause::kMissing, "paired"},
      {HintCause::kMissingRfcomm, "rfcomm bind"},
      {HintCause::kLineLost, "switch it on"},
      {HintCause::kStoppedAnswering, "stopped answering"},
      {HintCause::kRefusedData, "nearer"},
  };
  std::set<std::string> texts;
  for (const auto& [cause, word] : causes) {
    const std::string text = HintText(cause);
    EXPECT_NE(text.find(word), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line: " << text;
    texts.insert(text);
  }
  // After a run that ended part-way, what to do is known, what state the pedal is in is not.
  for (HintCause cause :
       {HintCause::kLineLost, HintCause::kStoppedAnswering, HintCause::kRefusedData}) {
    const std::string text = HintText(cause);
    EXPECT_NE(text.find("start the update again."), std::string::npos) << text;
    EXPECT_EQ(text.find("update mode"), std::string::npos) << text;
  }
  EXPECT_EQ(texts.size(), causes.size());
  EXPECT_STREQ(HintText(HintCause::kNone), "");
  EXPECT_EQ(HintLine(""), "");
  EXPECT_EQ(HintLine("Try again."), "Hint: Try again.");
}

TEST(CliPortList, ColumnsWithAHeaderOnATerminalAndTabsElsewhere) {
  const std::vector<PortEntry> ports = {
      {"/dev/ttyS0", "Serial port", false, false, ""},
      {"/dev/rfcomm10", "Bluetooth serial port 00:11:22:33:44:55 channel 1", true, false, ""},
  };
  EXPECT_EQ(PortListText(ports, 1, false),
            "\t/dev/ttyS0\tSerial port\tno\n"
            "*\t/dev/rfcomm10\tBluetooth serial port 00:11:22:33:44:55 channel 1\tyes\n");
  EXPECT_EQ(PortListText(ports, 1, true),
            "   PORT           DESCRIPTION                                        BLUETOOTH\n"
            "   /dev/ttyS0     Serial port                                        no\n"
            "*  /dev/rfcomm10  Bluetooth serial port 00:11:22:33:44:55 channel 1  yes\n");
  EXPECT_EQ(PortListText({}, -1, false), "");
}

TEST(CliPortList, TheSystemsOwnIncomingPortIsMarkedAndNotChosen) {
  const PortEntry incoming{"COM4", "Standard Serial over Bluetooth link (COM4)", true, true, ""};
  const PortEntry outgoing{"COM8", "Standard Serial over Bluetooth link (COM8)", true, false,
                           "B0F1ECE31BAA"};
  const std::vector<PortEntry> ports = {incoming, outgoing};
  EXPECT_EQ(PortListText(ports, PreferredPortIndex(ports), false),
            "\tCOM4\tStandard Serial over Bluetooth link (COM4)\tincoming\n"
            "*\tCOM8\tStandard Serial over Bluetooth link (COM8)\tyes\n");
}

}  // namespace
}  // namespace px::cli
