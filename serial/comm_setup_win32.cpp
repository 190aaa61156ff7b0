#include "serial/comm_setup_win32.h"

namespace px::serial_detail {

COMMTIMEOUTS LinkTimeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  return timeouts;
}

void ApplyLineSettings(DCB& dcb, uint32_t baudRate) {
  dcb.DCBlength = 28;
  dcb.BaudRate = baudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxDsrFlow = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  // Software flow control is off, so these characters never act on the line.
  dcb.XonChar = 0x17;
  dcb.XoffChar = 0x19;
  dcb.XonLim = 500;
  dcb.XoffLim = 500;
  // Every message carries 0x00 bytes; one line error must not stop every later read and write;
  // the pedal's port need not raise DSR.
  dcb.fNull = 0;
  dcb.fAbortOnError = 0;
  dcb.fDsrSensitivity = 0;
}

bool SetUpPort(ICommSetup& port, uint32_t baudRate, std::vector<RefusedCall>& refused,
               OpenFailure& failure) {
  auto refuse = [&](const char* name) {
    refused.push_back({name, static_cast<int>(port.LastError())});
  };
  // The link never waits on comm events, so a refused mask changes nothing.
  port.SetMask(EV_RXCHAR);

  COMMTIMEOUTS timeouts = LinkTimeouts();
  const bool timeoutsTaken = port.SetTimeouts(timeouts);
  if (!timeoutsTaken) refuse("SetCommTimeouts");

  DCB dcb{};
  dcb.DCBlength = 28;
  if (port.GetState(dcb)) {
    ApplyLineSettings(dcb, baudRate);
    if (!port.SetState(dcb)) refuse("SetCommState");
  } else {
    const int code = static_cast<int>(port.LastError());
    if (!timeoutsTaken) {
      failure = {OpenStep::kNotSerial, code};
      return false;
    }
    refused.push_back({"GetCommState", code});
  }

  // Errors latched before this opening, and bytes left in the driver from an earlier program,
  // would otherwise meet the first exchange. Nothing of this opening is outstanding yet.
  port.ClearErrors();
  port.Purge(PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  return true;
}

ReadResult ReadErrorResult(DWORD error, bool closing) {
  switch (error) {
    // A read whose time-out ran out with nothing (Wine reports it so, where Windows completes
    // the read with no byte).
    case ERROR_TIMEOUT:
    case ERROR_COUNTER_TIMEOUT:
      return ReadResult::kNothing;
    case ERROR_OPERATION_ABORTED:
      return closing ? ReadResult::kNothing : ReadResult::kFailed;
    default:
      return ReadResult::kFailed;
  }
}

}  // namespace px::serial_detail
