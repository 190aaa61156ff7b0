#pragma once
// How the Windows backend sets a COM port up and reads what its reads say, apart from the port
// itself so that it can be tested with any answers to the calls.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "serial/port_backend.h"

namespace px::serial_detail {

// The read and write time-outs: every one-byte read ends within 110 ms; a write of k bytes is
// allowed 10 k + 1000 ms.
COMMTIMEOUTS LinkTimeouts();

// Changes the settings a port had (from GetCommState) to the link's: the rate, 8N1, no flow
// control, DTR and RTS on; and clears what an earlier program may have left that spoils the line
// (dropping 0x00 bytes, stopping at the first line error, ignoring bytes while DSR is low).
// Every other member stays as it came.
void ApplyLineSettings(DCB& dcb, uint32_t baudRate);

// The calls that set a port up, as the port answers them. Each returns false when refused, with
// the system's error in LastError.
class ICommSetup {
 public:
  virtual ~ICommSetup() = default;
  virtual bool SetMask(DWORD mask) = 0;
  virtual bool SetTimeouts(COMMTIMEOUTS& timeouts) = 0;
  virtual bool GetState(DCB& dcb) = 0;
  virtual bool SetState(DCB& dcb) = 0;
  virtual bool ClearErrors() = 0;
  virtual bool Purge(DWORD flags) = 0;
  virtual DWORD LastError() = 0;
};

// The calls on an open COM port.
class CCommSetup final : public ICommSetup {
 public:
  explicit CCommSetup(HANDLE handle) : handle_(handle) {}
  bool SetMask(DWORD mask) override { return SetCommMask(handle_, mask) != FALSE; }
  bool SetTimeouts(COMMTIMEOUTS& timeouts) override {
    return SetCommTimeouts(handle_, &timeouts) != FALSE;
  }
  bool GetState(DCB& dcb) override { return GetCommState(handle_, &dcb) != FALSE; }
  bool SetState(DCB& dcb) override { return SetCommState(handle_, &dcb) != FALSE; }
  bool ClearErrors() override {
    DWORD errors = 0;
    return ClearCommError(handle_, &errors, nullptr) != FALSE;
  }
  bool Purge(DWORD flags) override { return PurgeComm(handle_, flags) != FALSE; }
  DWORD LastError() override { return GetLastError(); }

 private:
  HANDLE handle_;
};

// Sets the port up: the time-outs, then the line settings (skipped when the port would not tell
// its settings, so that nothing made of garbage is applied), then clears latched line errors and
// empties the driver's queues. A refused call does not stop the port from being used as it is;
// each is added to refused. False, with kNotSerial, only for a handle that refuses both the
// time-outs and its settings: nothing on it answers as a serial port does.
bool SetUpPort(ICommSetup& port, uint32_t baudRate, std::vector<RefusedCall>& refused,
               OpenFailure& failure);

// What a read that failed with error says: a time-out is a quiet line, an abort while the link
// closes is no failure of the port, any other error is.
ReadResult ReadErrorResult(DWORD error, bool closing);

}  // namespace px::serial_detail
