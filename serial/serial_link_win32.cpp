// The port backend for Windows: a COM port opened for overlapped I/O.
#include <windows.h>

#include <cstdio>

#include "serial/port_backend.h"

namespace px::serial_detail {

namespace {

constexpr DWORD kReadCompletionWaitMs = 500;
constexpr ULONGLONG kPromptEmptyReadMs = 50;
static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

class CWin32Port final : public CPortBackend {
 public:
  CWin32Port(HANDLE handle, HANDLE stopEvent) : handle_(handle), stopEvent_(stopEvent) {}

  ~CWin32Port() override {
    CloseHandle(handle_);
    CloseHandle(stopEvent_);
  }

  bool StartReading() override {
    readPending_ = false;
    ZeroMemory(&readRecord_, sizeof readRecord_);
    readRecord_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return readRecord_.hEvent != nullptr;
  }

  ReadResult ReadOne(uint8_t& byte) override {
    // A read that is still outstanding is waited for again, never issued a second time into
    // the same buffer and record.
    if (!readPending_) {
      ResetEvent(readRecord_.hEvent);
      bytesRead_ = 0;
      readIssuedAt_ = GetTickCount64();
      if (ReadFile(handle_, readBuffer_, 1, &bytesRead_, &readRecord_)) {
        if (bytesRead_ == 0) {
          // With the read time-outs applied an empty read takes 100 ms; one that returns at
          // once means the port no longer behaves, and must not be retried in a tight loop.
          return EmptyRead();
        }
        byte = readBuffer_[0];
        return ReadResult::kByte;
      }
      if (GetLastError() != ERROR_IO_PENDING) return ReadResult::kFailed;
      readPending_ = true;
    }
    HANDLE waits[2] = {readRecord_.hEvent, stopEvent_};
    if (WaitForMultipleObjects(2, waits, FALSE, kReadCompletionWaitMs) != WAIT_OBJECT_0) {
      return ReadResult::kNothing;
    }
    readPending_ = false;
    if (!GetOverlappedResult(handle_, &readRecord_, &bytesRead_, FALSE)) {
      return ReadResult::kFailed;
    }
    if (bytesRead_ == 0) return EmptyRead();
    byte = readBuffer_[0];
    return ReadResult::kByte;
  }

  void StopReading() override {
    if (readRecord_.hEvent == nullptr) return;
    if (readPending_) {
      // The buffer and record must outlive the read, so wait for the cancelled read to end.
      CancelIo(handle_);
      GetOverlappedResult(handle_, &readRecord_, &bytesRead_, TRUE);
      readPending_ = false;
    }
    CloseHandle(readRecord_.hEvent);
    readRecord_.hEvent = nullptr;
  }

  void Pause(uint32_t ms) override { WaitForSingleObject(stopEvent_, ms); }

  bool PrepareWrite() override {
    ZeroMemory(&writeRecord_, sizeof writeRecord_);
    writeRecord_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return writeRecord_.hEvent != nullptr;
  }

  bool Write(const uint8_t* data, uint32_t size) override {
    bytesToWrite_ = size;
    DWORD written = 0;
    bool ok = false;
    if (WriteFile(handle_, data, bytesToWrite_, &written, &writeRecord_)) {
      ok = written == bytesToWrite_;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      // The driver may take up to its write time-out; until the write has ended the port still
      // reads from data, so it is neither abandoned nor its record released before then.
      HANDLE waits[2] = {writeRecord_.hEvent, stopEvent_};
      DWORD limit = 10 * bytesToWrite_ + 1000;
      if (WaitForMultipleObjects(2, waits, FALSE, limit) == WAIT_OBJECT_0) {
        ok = GetOverlappedResult(handle_, &writeRecord_, &written, FALSE) &&
             written == bytesToWrite_;
      } else {
        CancelIo(handle_);
        GetOverlappedResult(handle_, &writeRecord_, &written, TRUE);
      }
    }
    CloseHandle(writeRecord_.hEvent);
    writeRecord_.hEvent = nullptr;
    return ok;
  }

  void Interrupt() override { SetEvent(stopEvent_); }

 private:
  ReadResult EmptyRead() const {
    return GetTickCount64() - readIssuedAt_ < kPromptEmptyReadMs ? ReadResult::kFailed
                                                                 : ReadResult::kNothing;
  }

  HANDLE handle_;
  HANDLE stopEvent_;  // manual-reset; set once when the link closes
  OVERLAPPED readRecord_{};
  OVERLAPPED writeRecord_{};
  bool readPending_ = false;
  DWORD bytesRead_ = 0;
  ULONGLONG readIssuedAt_ = 0;
  DWORD bytesToWrite_ = 0;
  uint8_t readBuffer_[1] = {};
};

void Configure(HANDLE handle, uint32_t baudRate) {
  SetCommMask(handle, EV_RXCHAR);

  // Every one-byte read ends within 110 ms; a write of k bytes is allowed 10 k + 1000 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  SetCommTimeouts(handle, &timeouts);

  DCB dcb{};
  dcb.DCBlength = 28;
  GetCommState(handle, &dcb);
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
  SetCommState(handle, &dcb);
}

}  // namespace

bool DevicePathOfNumber(int portNumber, std::string& path) {
  char buffer[20];
  std::snprintf(buffer, sizeof buffer, "\\\\.\\COM%d", portNumber);
  path = buffer;
  return true;
}

std::string DevicePathOfName(const std::string& portName) {
  if (portName.rfind("\\\\.\\", 0) == 0) return portName;
  return "\\\\.\\" + portName;
}

int NoSuchPortError() {
  return ERROR_FILE_NOT_FOUND;
}

std::unique_ptr<CPortBackend> OpenPortBackend(const std::string& devicePath, uint32_t baudRate,
                                              int& error) {
  HANDLE handle = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return nullptr;
  }
  HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (stopEvent == nullptr) {
    error = static_cast<int>(GetLastError());
    CloseHandle(handle);
    return nullptr;
  }
  Configure(handle, baudRate);
  return std::make_unique<CWin32Port>(handle, stopEvent);
}

}  // namespace px::serial_detail
