// How the Windows backend sets a COM port up, with the port's answers chosen by the test: the
// settings it applies over whatever an earlier program left, the calls a port may refuse and
// still be used, and what a failed read says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "serial/comm_setup_win32.h"

namespace px::serial_detail {
namespace {

// Every flag and character set, as a port that an earlier program left behind may have it.
DCB EverythingSet() {
  DCB dcb;
  std::memset(&dcb, 0xFF, sizeof dcb);
  return dcb;
}

TEST(CommSetup, TheLineSettingsOverWhatAnEarlierProgramLeft) {
  DCB dcb = EverythingSet();
  ApplyLineSettings(dcb, 115200);
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.XonChar, 0x17);
  EXPECT_EQ(dcb.XoffChar, 0x19);
  EXPECT_EQ(dcb.XonLim, 500);
  EXPECT_EQ(dcb.XoffLim, 500);
  // What spoils the line: 0x00 bytes thrown away, every read and write stopped after one line
  // error, nothing received while DSR is low.
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  // Everything else as it came.
  const DCB before = EverythingSet();
  EXPECT_EQ(dcb.fTXContinueOnXoff, before.fTXContinueOnXoff);
  EXPECT_EQ(dcb.fErrorChar, before.fErrorChar);
  EXPECT_EQ(dcb.fDummy2, before.fDummy2);
  EXPECT_EQ(dcb.wReserved, before.wReserved);
  EXPECT_EQ(dcb.wReserved1, before.wReserved1);
  EXPECT_EQ(dcb.ErrorChar, before.ErrorChar);
  EXPECT_EQ(dcb.EofChar, before.EofChar);
  EXPECT_EQ(dcb.EvtChar, before.EvtChar);
}

TEST(CommSetup, TheTimeOutsEndEveryOneByteReadWithin110Ms) {
  const COMMTIMEOUTS t = LinkTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

// A port that answers as the test says, and keeps what it was given and asked, in order.
class CScriptedPort final : public ICommSetup {
 public:
  bool refuseTimeouts = false;
  bool refuseGetState = false;
  bool refuseSetState = false;
  bool refuseTheRest = false;
  std::vector<std::string> calls;
  DCB applied{};
  DWORD purged = 0;

  bool SetMask(DWORD) override { return Answer("SetCommMask", refuseTheRest); }
  bool SetTimeouts(COMMTIMEOUTS&) override { return Answer("SetCommTimeouts", refuseTimeouts); }
  bool GetState(DCB& dcb) override {
    if (refuseGetState) {
      // What a refusing driver leaves in the block is not to be trusted.
      std::memset(&dcb, 0xA5, sizeof dcb);
    } else {
      dcb = EverythingSet();
    }
    return Answer("GetCommState", refuseGetState);
  }
  bool SetState(DCB& dcb) override {
    applied = dcb;
    return Answer("SetCommState", refuseSetState);
  }
  bool ClearErrors() override { return Answer("ClearCommError", refuseTheRest); }
  bool Purge(DWORD flags) override {
    purged = flags;
    return Answer("PurgeComm", refuseTheRest);
  }
  DWORD LastError() override { return error_; }

 private:
  bool Answer(const char* call, bool refuse) {
    calls.push_back(call);
    error_ = refuse ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    return !refuse;
  }
  DWORD error_ = ERROR_SUCCESS;
};

std::vector<std::string> NamesOf(const std::vector<RefusedCall>& refused) {
  std::vector<std::string> names;
  for (const RefusedCall& call : refused) {
    names.push_back(call.name);
    EXPECT_EQ(call.code, ERROR_INVALID_PARAMETER) << call.name;
  }
  return names;
}

TEST(CommSetup, AllCallsInOrderThenTheQueuesEmptied) {
  CScriptedPort port;
  std::vector<RefusedCall> refused;
  OpenFailure failure;
  ASSERT_TRUE(SetUpPort(port, 115200, refused, failure));
  EXPECT_TRUE(refused.empty());
  EXPECT_EQ(port.calls, (std::vector<std::string>{"SetCommMask", "SetCommTimeouts", "GetCommState",
                                                  "SetCommState", "ClearCommError", "PurgeComm"}));
  DCB expected = EverythingSet();
  ApplyLineSettings(expected, 115200);
  EXPECT_EQ(std::memcmp(&port.applied, &expected, sizeof expected), 0)
      << "the port's own settings changed as the link needs";
  EXPECT_EQ(port.purged,
            static_cast<DWORD>(PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
}

// Each refusal is told and the port is used as it is; one whose settings cannot be read gets
// nothing made of garbage applied.
TEST(CommSetup, ARefusedSettingsCallLeavesThePortUsable) {
  struct Case {
    bool timeouts, get, set, rest;
    std::vector<std::string> refused;
    bool applied;
  };
  const Case cases[] = {
      {true, false, false, false, {"SetCommTimeouts"}, true},
      {false, true, false, false, {"GetCommState"}, false},
      {false, false, true, false, {"SetCommState"}, true},
      {true, false, true, false, {"SetCommTimeouts", "SetCommState"}, true},
      // The mask, the errors and the purge change nothing that matters when refused.
      {false, false, false, true, {}, true},
  };
  for (const Case& c : cases) {
    CScriptedPort port;
    port.refuseTimeouts = c.timeouts;
    port.refuseGetState = c.get;
    port.refuseSetState = c.set;
    port.refuseTheRest = c.rest;
    std::vector<RefusedCall> refused;
    OpenFailure failure;
    const std::string what = c.refused.empty() ? "the rest" : c.refused[0];
    ASSERT_TRUE(SetUpPort(port, 115200, refused, failure)) << what;
    EXPECT_EQ(NamesOf(refused), c.refused) << what;
    const bool setStateCalled =
        std::find(port.calls.begin(), port.calls.end(), "SetCommState") != port.calls.end();
    EXPECT_EQ(setStateCalled, c.applied) << what;
    EXPECT_EQ(port.calls.back(), "PurgeComm") << what << ": the queues are emptied all the same";
  }
}

// A handle on which neither the time-outs nor the settings can be had is no serial port.
TEST(CommSetup, AHandleThatAnswersNoSettingIsNoSerialPort) {
  CScriptedPort port;
  port.refuseTimeouts = true;
  port.refuseGetState = true;
  std::vector<RefusedCall> refused;
  OpenFailure failure;
  EXPECT_FALSE(SetUpPort(port, 115200, refused, failure));
  EXPECT_EQ(failure.step, OpenStep::kNotSerial);
  EXPECT_EQ(failure.code, ERROR_INVALID_PARAMETER);
}

TEST(CommSetup, OnlyTheSystemsWordMakesAFailedRead) {
  // A read whose time-out ran out is a quiet line, as Wine reports it.
  EXPECT_EQ(ReadErrorResult(ERROR_TIMEOUT, false), ReadResult::kNothing);
  EXPECT_EQ(ReadErrorResult(ERROR_COUNTER_TIMEOUT, false), ReadResult::kNothing);
  // Our own close cancels the read: no failure of the port.
  EXPECT_EQ(ReadErrorResult(ERROR_OPERATION_ABORTED, true), ReadResult::kNothing);
  for (DWORD e :
       {ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED,
        ERROR_BROKEN_PIPE, ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE}) {
    EXPECT_EQ(ReadErrorResult(e, false), ReadResult::kFailed) << e;
  }
}

}  // namespace
}  // namespace px::serial_detail
