#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/serial_link.h"

namespace px {

// Reads what the tests need out of a link.
struct SerialLinkProbe {
  static uint64_t Writes(const CSerialLink& link) { return link.writesIssued_.load(); }
  static uint64_t LostWrites(const CSerialLink& link) { return link.writesLost_.load(); }
  static int TxWriteIndex(const CSerialLink& link) { return link.txWriteIndex_.load(); }
  // Reads that ended with nothing on the line.
  static uint64_t QuietReads(const CSerialLink& link) { return link.quietReads_.load(); }
  // Bytes the reader has put in the ring that nobody has taken yet.
  static int RxQueued(const CSerialLink& link) {
    return (link.rxWriteIndex_.load() - link.rxReadIndex_.load() + CSerialLink::kRingSize) %
           CSerialLink::kRingSize;
  }
};

namespace test {

// The far end of the line that a CSerialLink under test is opened on.
class LinkPeer {
 public:
  virtual ~LinkPeer() = default;
  // What CSerialLink::Open takes to reach this line.
  virtual std::string PortName() const = 0;
  // Whether a second open of a held port fails here (Wine lets COM ports be opened twice).
  virtual bool OpensAreExclusive() const { return true; }
  // A port name that does not exist.
  virtual std::string MissingPortName() const = 0;
  // A port name that opens, but onto something that is no serial line.
  virtual std::string NotASerialPortName() = 0;
  virtual void Write(const std::vector<uint8_t>& bytes) = 0;
  // Reads until count bytes came or timeoutMs passed, starting after delayMs and taking at most
  // bytesPerSecond (0: no limit), like a device on a slow line.
  virtual std::vector<uint8_t> Read(size_t count, int timeoutMs, int bytesPerSecond = 0,
                                    int delayMs = 0) = 0;
  // Fills the line towards the peer with kJunk until it takes no more, so writes stall.
  virtual size_t Fill() = 0;
  // The line goes away under the open link, as when a Bluetooth connection drops.
  virtual void HangUp() = 0;

  static constexpr uint8_t kJunk = 0xEE;
};

std::unique_ptr<LinkPeer> MakeLinkPeer();
int CountThreads();
int CountHandles();
double ProcessCpuSeconds();

}  // namespace test
}  // namespace px
