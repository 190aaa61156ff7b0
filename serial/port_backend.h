#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace px::serial_detail {

// kNothingAtOnce: a quiet line whose read came back empty without waiting its time-out; the
// caller pauses before the next read, as after kFailed, but the port is not taken as failed.
// kFailed only where the system says that the port failed.
enum class ReadResult { kByte, kNothing, kNothingAtOnce, kFailed };

// One opening of a port, as the link's two threads use it. The reader thread alone calls
// StartReading, ReadOne and StopReading; the writer thread alone calls PrepareWrite and Write;
// Interrupt and nothing else may come from a third thread. The port closes with the object.
class CPortBackend {
 public:
  virtual ~CPortBackend() = default;

  // Sets up what the reader needs; false leaves the reader idle for this opening.
  virtual bool StartReading() = 0;
  // One read of one byte. Ends within about 110 ms with or without a byte, and at once after
  // Interrupt. A read that has not completed stays outstanding and is collected by the next call.
  virtual ReadResult ReadOne(uint8_t& byte) = 0;
  // Ends any outstanding read and releases what StartReading set up.
  virtual void StopReading() = 0;
  // Waits ms after a failing or prompt empty read (the port is gone or misbehaving); cut short by
  // Interrupt.
  virtual void Pause(uint32_t ms) = 0;

  // False when nothing can be written now; the caller then leaves its bytes queued.
  virtual bool PrepareWrite() = 0;
  // Writes size bytes and returns only once the port is done with data: all written, or given
  // up after the port's write time-out (10 ms a byte + 1000 ms) or an Interrupt. True when every
  // byte went out.
  virtual bool Write(const uint8_t* data, uint32_t size) = 0;

  // Makes every wait above end promptly; used when the link closes.
  virtual void Interrupt() = 0;

  // Bytes written to the driver that have not left the host yet, where the driver tells (0 where
  // it does not, as pseudo-terminals). Any thread.
  virtual uint32_t OutputQueued() const = 0;
};

// What an opening was doing when it failed.
enum class OpenStep { kNoPort, kOpen, kNotSerial, kHeld, kLineSettings, kModemLines, kThreads };

// Why an opening failed: the step and the system's error code.
struct OpenFailure {
  OpenStep step = OpenStep::kOpen;
  int code = 0;
};

// A setting call that the port refused while opening; the port is then used as it is. name is
// the system call's own ("SetCommTimeouts"), code its error.
struct RefusedCall {
  const char* name = "";
  int code = 0;
};

// The device path of a numbered port; false where ports have no numbers.
bool DevicePathOfNumber(int portNumber, std::string& path);
// The device path of a port name ("COM7" on Windows, "/dev/rfcomm0" elsewhere).
std::string DevicePathOfName(const std::string& portName);
// Opens the port and sets the line up (baud rate, 8N1, no flow control, DTR and RTS on, the
// time-outs); null with the reason when any of it fails, the port closed again. Calls that the
// port refused but that do not stop it from working are added to refused.
std::unique_ptr<CPortBackend> OpenPortBackend(const std::string& devicePath, uint32_t baudRate,
                                              OpenFailure& failure,
                                              std::vector<RefusedCall>& refused);
// The error code reported when a thread cannot be started or a port has no number.
int NoSuchPortError();
// The system's text for an error code.
std::string SystemErrorText(int code);

}  // namespace px::serial_detail
