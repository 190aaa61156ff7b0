#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/event.h"

namespace px {

namespace serial_detail {
class CPortBackend;
}

// The serial line to the pedal: Send queues bytes for the writer thread, ReadByte takes bytes
// that the reader thread received. Neither caller ever waits on the port itself.
class CSerialLink {
 public:
  static constexpr int kRingSize = 65536;
  static constexpr int kStagingSize = 16384;

  CSerialLink();
  ~CSerialLink();
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  // Opens "\\.\COM<n>" where ports are numbered; elsewhere fails (ports have no numbers there).
  bool Open(int portNumber, uint32_t baudRate);
  // "COM7" or "\\.\COM7" on Windows, a device path such as "/dev/rfcomm0" elsewhere.
  bool Open(const std::string& portName, uint32_t baudRate);
  // Returns only once both threads of the opening have ended; harmless when closed.
  void Close();
  // Queues the whole message and returns at once. A message that does not fit in the free part
  // of the ring is dropped whole, never partly.
  void Send(const uint8_t* data, int length);
  // Takes the next received byte, waiting up to 100 ms for one.
  bool ReadByte(uint8_t& byte);
  bool IsOpen() const { return isOpen_.load(std::memory_order_acquire); }
  // errno or GetLastError of the last Open that failed.
  int LastOpenError() const { return lastOpenError_.load(std::memory_order_relaxed); }

 private:
  friend struct SerialLinkProbe;
  enum class WriteOutcome { kSent, kLost, kNotTaken };

  bool OpenPath(const std::string& devicePath, bool havePath, uint32_t baudRate);
  void CloseLocked();
  void EmptyRings();
  void ReaderThread();
  void WriterThread();
  void PutReceived(uint8_t byte);
  WriteOutcome WritePending();

  std::mutex lifecycleMutex_;  // Open and Close
  std::unique_ptr<serial_detail::CPortBackend> port_;
  std::thread reader_;
  std::thread writer_;
  std::atomic<bool> ReaderRun{false};
  std::atomic<bool> WriterRun{false};
  std::atomic<bool> isOpen_{false};
  std::atomic<int> lastOpenError_{0};

  CEvent WakeEvent;
  CEvent RxDataEvent;

  std::mutex sendMutex_;  // two producers of TxRing; also held while Open empties it
  std::mutex takeMutex_;  // the consumer of RxRing against Open emptying it
  std::atomic<int> txWriteIndex_{0};
  std::atomic<int> txReadIndex_{0};
  std::atomic<int> rxWriteIndex_{0};
  std::atomic<int> rxReadIndex_{0};
  std::atomic<uint64_t> writesIssued_{0};
  std::atomic<uint64_t> writesLost_{0};
  std::atomic<uint64_t> bytesDropped_{0};

  uint8_t StagingBuffer[kStagingSize];
  uint8_t TxRing[kRingSize];
  uint8_t RxRing[kRingSize];
};

}  // namespace px
