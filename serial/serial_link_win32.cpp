// The port backend for Windows: a COM port opened for overlapped I/O.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>

#include "serial/port_backend.h"

namespace px::serial_detail {

namespace {

constexpr DWORD kReadCompletionWaitMs = 500;
constexpr ULONGLONG kPromptEmptyReadMs = 50;
static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

// A handle (a port or an event), closed with its owner. Null and INVALID_HANDLE_VALUE are both
// "no handle".
class CUniqueHandle {
 public:
  explicit CUniqueHandle(HANDLE handle = nullptr)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  CUniqueHandle(CUniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~CUniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr; }
  void Reset() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

class CWin32Port final : public CPortBackend {
 public:
  CWin32Port(CUniqueHandle handle, CUniqueHandle stopEvent, bool exactQueue)
      : handle_(std::move(handle)), stopEvent_(std::move(stopEvent)), exactQueue_(exactQueue) {}

  bool StartReading() override {
    readPending_ = false;
    readEvent_ = CUniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ZeroMemory(&readRecord_, sizeof readRecord_);
    readRecord_.hEvent = readEvent_.Get();
    return readEvent_.Valid();
  }

  ReadResult ReadOne(uint8_t& byte) override {
    // A read that is still outstanding is waited for again, never issued a second time into
    // the same buffer and record.
    if (!readPending_) {
      ResetEvent(readRecord_.hEvent);
      bytesRead_ = 0;
      readIssuedAt_ = GetTickCount64();
      if (ReadFile(handle_.Get(), readBuffer_, 1, &bytesRead_, &readRecord_)) {
        if (bytesRead_ == 0) {
          // With the read time-outs applied an empty read takes 100 ms; one that returns at
          // once means the port no longer behaves, and must not be retried in a tight loop.
          return EmptyRead();
        }
        byte = readBuffer_[0];
        return ReadResult::kByte;
      }
      const DWORD error = GetLastError();
      if (error == ERROR_TIMEOUT) return EmptyRead();
      if (error != ERROR_IO_PENDING) return ReadResult::kFailed;
      readPending_ = true;
    }
    HANDLE waits[2] = {readRecord_.hEvent, stopEvent_.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, kReadCompletionWaitMs) != WAIT_OBJECT_0) {
      return ReadResult::kNothing;
    }
    readPending_ = false;
    if (!GetOverlappedResult(handle_.Get(), &readRecord_, &bytesRead_, FALSE)) {
      // Wine ends a read whose time-outs ran out with ERROR_TIMEOUT, where Windows returns it
      // empty: a quiet line either way.
      return GetLastError() == ERROR_TIMEOUT ? EmptyRead() : ReadResult::kFailed;
    }
    if (bytesRead_ == 0) return EmptyRead();
    byte = readBuffer_[0];
    return ReadResult::kByte;
  }

  void StopReading() override {
    if (!readEvent_.Valid()) return;
    if (readPending_) {
      // The buffer and record must outlive the read, so wait for the cancelled read to end.
      CancelIo(handle_.Get());
      GetOverlappedResult(handle_.Get(), &readRecord_, &bytesRead_, TRUE);
      readPending_ = false;
    }
    readRecord_.hEvent = nullptr;
    readEvent_.Reset();
  }

  void Pause(uint32_t ms) override { WaitForSingleObject(stopEvent_.Get(), ms); }

  bool PrepareWrite() override {
    writeEvent_ = CUniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ZeroMemory(&writeRecord_, sizeof writeRecord_);
    writeRecord_.hEvent = writeEvent_.Get();
    return writeEvent_.Valid();
  }

  bool Write(const uint8_t* data, uint32_t size) override {
    bytesToWrite_ = size;
    DWORD written = 0;
    bool ok = false;
    if (WriteFile(handle_.Get(), data, bytesToWrite_, &written, &writeRecord_)) {
      ok = written == bytesToWrite_;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      // The driver may take up to its write time-out; until the write has ended the port still
      // reads from data, so it is neither abandoned nor its record released before then.
      HANDLE waits[2] = {writeRecord_.hEvent, stopEvent_.Get()};
      DWORD limit = 10 * bytesToWrite_ + 1000;
      if (WaitForMultipleObjects(2, waits, FALSE, limit) == WAIT_OBJECT_0) {
        ok = GetOverlappedResult(handle_.Get(), &writeRecord_, &written, FALSE) &&
             written == bytesToWrite_;
      } else {
        CancelIo(handle_.Get());
        GetOverlappedResult(handle_.Get(), &writeRecord_, &written, TRUE);
      }
    }
    writeRecord_.hEvent = nullptr;
    writeEvent_.Reset();
    return ok;
  }

  void Interrupt() override { SetEvent(stopEvent_.Get()); }

  uint32_t OutputQueued() const override {
    if (!exactQueue_) return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_.Get(), &errors, &status)) return 0;
    return status.cbOutQue;
  }

 private:
  ReadResult EmptyRead() const {
    return GetTickCount64() - readIssuedAt_ < kPromptEmptyReadMs ? ReadResult::kFailed
                                                                 : ReadResult::kNothing;
  }

  CUniqueHandle handle_;
  CUniqueHandle stopEvent_;  // manual-reset; set once when the link closes
  const bool exactQueue_;
  CUniqueHandle readEvent_;   // the read record's, for the reader's life
  CUniqueHandle writeEvent_;  // the write record's, for one write
  OVERLAPPED readRecord_{};
  OVERLAPPED writeRecord_{};
  bool readPending_ = false;
  DWORD bytesRead_ = 0;
  ULONGLONG readIssuedAt_ = 0;
  DWORD bytesToWrite_ = 0;
  uint8_t readBuffer_[1] = {};
};

// Applies the time-outs and the line settings; false with the failing step and its error.
bool Configure(HANDLE handle, uint32_t baudRate, OpenFailure& failure) {
  // The link never waits on comm events, so a refused mask changes nothing.
  SetCommMask(handle, EV_RXCHAR);

  // Every one-byte read ends within 110 ms; a write of k bytes is allowed 10 k + 1000 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommTimeouts(handle, &timeouts)) {
    failure = {OpenStep::kTimeouts, static_cast<int>(GetLastError())};
    return false;
  }

  DCB dcb{};
  dcb.DCBlength = 28;
  if (!GetCommState(handle, &dcb)) {
    failure = {OpenStep::kLineSettings, static_cast<int>(GetLastError())};
    return false;
  }
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
  if (!SetCommState(handle, &dcb)) {
    failure = {OpenStep::kLineSettings, static_cast<int>(GetLastError())};
    return false;
  }
  return true;
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

std::string SystemErrorText(int code) {
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    text[--length] = '\0';
  }
  if (length == 0) return "error " + std::to_string(code);
  return text;
}

// Whether the driver's output-queue figure (cbOutQue) says how many bytes have not left the host.
// A UART's or a USB adapter's does; nobody here knows what a Bluetooth COM port's says, and a
// figure that says more is queued than really is makes a genuine answer look as if it began
// before its request left. Bluetooth COM ports are the system's Bluetooth modem devices: there
// the link counts only what it handed to the driver.
bool OutputQueueIsExact(const std::string& devicePath) {
  const size_t com = devicePath.rfind("COM");
  if (com == std::string::npos) return true;
  char target[1024] = {};
  if (QueryDosDeviceA(devicePath.substr(com).c_str(), target, sizeof target) == 0) return true;
  return std::string(target).find("Bth") == std::string::npos;
}

std::unique_ptr<CPortBackend> OpenPortBackend(const std::string& devicePath, uint32_t baudRate,
                                              OpenFailure& failure) {
  CUniqueHandle handle(CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!handle.Valid()) {
    const DWORD error = GetLastError();
    failure = {error == ERROR_ACCESS_DENIED ? OpenStep::kHeld : OpenStep::kOpen,
               static_cast<int>(error)};
    return nullptr;
  }
  CUniqueHandle stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!stopEvent.Valid()) {
    failure = {OpenStep::kOpen, static_cast<int>(GetLastError())};
    return nullptr;
  }
  if (!Configure(handle.Get(), baudRate, failure)) return nullptr;
  return std::make_unique<CWin32Port>(std::move(handle), std::move(stopEvent),
                                      OutputQueueIsExact(devicePath));
}

}  // namespace px::serial_detail
