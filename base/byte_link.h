#pragma once
#include <cstdint>
#include <string>

namespace px {

// The wire as the protocol sees it. ReadByte waits at most about 100 ms for a byte; Send queues
// a whole message and returns at once (the caller may reuse its buffer).
class IByteLink {
 public:
  virtual ~IByteLink() = default;
  virtual bool ReadByte(uint8_t& byte) = 0;
  virtual void Send(const uint8_t* data, int length) = 0;

  // For links that can tell how far their bytes have got: every byte ever queued has a running
  // number. SendCounted queues like Send and returns the number of the message's last byte;
  // BytesLeftHost says how many bytes have left the host (neither in the link's own queue nor in
  // the driver's). Links that cannot tell return 0 and "all of them".
  virtual uint64_t SendCounted(const uint8_t* data, int length) {
    Send(data, length);
    return 0;
  }
  virtual uint64_t BytesLeftHost() const { return UINT64_MAX; }
  // Ends a ReadByte that is waiting, at once, as if no byte had come: for a reader that has
  // been told to stop. Links whose waits are short may ignore it.
  virtual void WakeReader() {}
};

// A byte link that the engine opens and closes: a serial port, or in tests the virtual pedal.
class IPortLink : public IByteLink {
 public:
  // Opens a port by its number (COM7 is 7); only meaningful where ports are numbered.
  virtual bool Open(int portNumber, uint32_t baudRate) = 0;
  // Opens a port by name: "COM7" or "\\.\COM7" on Windows, a device path elsewhere.
  virtual bool Open(const std::string& portName, uint32_t baudRate) = 0;
  // Harmless when nothing is open.
  virtual void Close() = 0;
  // The operating system's error code of the last Open that failed (errno or GetLastError).
  virtual int LastOpenError() const = 0;
};

}  // namespace px
