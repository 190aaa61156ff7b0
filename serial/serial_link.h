#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_link.h"
#include "base/event.h"

namespace px {

namespace serial_detail {
class CPortBackend;
struct OpenFailure;
struct RefusedCall;
}  // namespace serial_detail

// The serial line to the pedal: Send queues bytes for the writer thread, ReadByte takes bytes
// that the reader thread received. Neither caller ever waits on the port itself.
class CSerialLink final : public IPortLink {
 public:
  static constexpr int kRingSize = 65536;
  static constexpr int kStagingSize = 16384;

  CSerialLink();
  ~CSerialLink() override;
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  // Opens "\\.\COM<n>" where ports are numbered; elsewhere fails (ports have no numbers there).
  // Fails, with the reason kept, when the line cannot be set up as asked, or when a Close came
  // while the system was still opening the port. Holds no lock while the system opens it. A port
  // refused as held within 2 s after this program closed it is tried again over those 2 s (some
  // drivers let a port go a moment after it was closed); a Close meanwhile ends the tries.
  bool Open(int portNumber, uint32_t baudRate) override;
  // "COM7" or "\\.\COM7" on Windows, a device path such as "/dev/rfcomm0" elsewhere.
  bool Open(const std::string& portName, uint32_t baudRate) override;
  // Returns only once both threads of the opening have ended; harmless when closed. An Open
  // still waiting for the system then fails.
  void Close() override;
  // Queues the whole message and returns at once. A message that does not fit in the free part
  // of the ring is dropped whole, never partly.
  void Send(const uint8_t* data, int length) override;
  // Send, returning the running number of the message's last byte.
  uint64_t SendCounted(const uint8_t* data, int length) override;
  // Bytes queued that are neither in TxRing nor in the driver's output queue. Bytes handed to a
  // write count as gone from the moment the write starts, so that the figure is never behind
  // what really left.
  uint64_t BytesLeftHost() const override;
  // Takes the next received byte, waiting up to 100 ms for one.
  bool ReadByte(uint8_t& byte) override;
  void WakeReader() override { line_.RxDataEvent.SetEvent(); }
  bool IsOpen() const { return portOpen_.load(std::memory_order_acquire); }
  // errno or GetLastError of the last Open that failed.
  int LastOpenError() const override { return openError_.load(std::memory_order_relaxed); }
  // What the last Open that failed was doing and the system's text for its error, such as
  // "/dev/rfcomm0 refused 115200 baud, 8N1: Invalid argument".
  std::string LastOpenErrorText() const;
  // What the last Open let pass without failing, one line each, such as a setting call that the
  // port refused ("COM7 refused SetCommState, used with the settings it has: ...").
  std::vector<std::string> LastOpenNotes() const;
  // Bytes thrown away since construction: messages that did not fit in TxRing and bytes that
  // came while RxRing was full.
  uint64_t BytesDropped() const { return droppedBytes_.load(std::memory_order_relaxed); }
  // A read failed since the last Open: the port went away under the link (a Bluetooth link
  // that dropped, an adapter pulled out, the other end of a pseudo-terminal closed).
  bool LineFailed() const { return readFailures_.load(std::memory_order_relaxed) > 0; }

 private:
  friend struct SerialLinkProbe;
  enum class WriteOutcome { kSent, kLost, kNotTaken };
  using BackendOpener = std::function<std::unique_ptr<serial_detail::CPortBackend>(
      const std::string&, uint32_t, serial_detail::OpenFailure&,
      std::vector<serial_detail::RefusedCall>&)>;

  bool OpenPath(const std::string& devicePath, bool havePath, uint32_t baudRate);
  // opening: this try's number in Openings; a Close since makes it stale.
  bool OpenOnce(const std::string& devicePath, bool havePath, uint32_t baudRate, bool& held,
                uint64_t& opening);
  bool WaitBeforeRetry(std::chrono::milliseconds wait, uint64_t opening);
  void CloseLocked();
  void EmptyRings();
  void ReaderThread();
  void WriterThread();
  void PutReceived(uint8_t byte);
  WriteOutcome WritePending();

  // Open (never across the system's open), Close, openErrorText_, openNotes_ and openedPath_.
  mutable std::mutex lifecycleMutex_;
  // One more for every try of an Open and every Close begun: an Open whose number is stale
  // keeps nothing and tries no more.
  std::atomic<uint64_t> openings_{0};
  BackendOpener opener_;  // the system's, but for a test's own backend
  std::unique_ptr<serial_detail::CPortBackend> port_;
  std::string openedPath_;
  std::thread reader_;
  std::thread writer_;
  std::atomic<bool> portOpen_{false};
  std::atomic<int> openError_{0};
  std::string openErrorText_;
  std::vector<std::string> openNotes_;
  CEvent closeWake_;  // ends a wait between the tries of a held port

  std::mutex sendMutex_;  // two producers of TxRing; also held while Open empties it
  std::mutex takeMutex_;  // the consumer of RxRing against Open emptying it
  std::atomic<int> txWriteIndex_{0};
  std::atomic<int> txReadIndex_{0};
  std::atomic<int> rxWriteIndex_{0};
  std::atomic<int> rxReadIndex_{0};
  std::atomic<uint64_t> writesIssued_{0};
  std::atomic<uint64_t> writesLost_{0};
  std::atomic<uint64_t> droppedBytes_{0};
  std::atomic<uint64_t> readFailures_{0};  // since the last Open
  std::atomic<uint64_t> quietReads_{0};    // reads that ended with nothing, ever
  std::atomic<uint64_t> bytesQueued_{0};   // every byte taken into TxRing, ever
  std::atomic<uint64_t> bytesHanded_{0};   // ... and handed to the port (or thrown away by Open)

  // The link's threads, events and buffers under the names the rest of the program knows them by.
  struct Line {
    std::atomic<bool> ReaderRun{false};
    std::atomic<bool> WriterRun{false};
    CEvent WakeEvent;
    CEvent RxDataEvent;
    uint8_t StagingBuffer[kStagingSize];
    uint8_t TxRing[kRingSize];
    uint8_t RxRing[kRingSize];
  };
  Line line_;
};

}  // namespace px
