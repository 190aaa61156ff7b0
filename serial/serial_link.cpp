#include "serial/serial_link.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "serial/port_backend.h"

namespace px {

namespace {

constexpr uint32_t kReadWaitMs = 100;
// A read that fails at once (port gone, Bluetooth dropped) is retried after this pause rather
// than straight away, so a dead port costs no CPU.
constexpr uint32_t kFailedReadPauseMs = 100;

int Pending(int writeIndex, int readIndex) {
  return (writeIndex - readIndex + CSerialLink::kRingSize) % CSerialLink::kRingSize;
}

}  // namespace

CSerialLink::CSerialLink() = default;

CSerialLink::~CSerialLink() {
  Close();
}

bool CSerialLink::Open(int portNumber, uint32_t baudRate) {
  std::string path;
  bool havePath = serial_detail::DevicePathOfNumber(portNumber, path);
  return OpenPath(path, havePath, baudRate);
}

bool CSerialLink::Open(const std::string& portName, uint32_t baudRate) {
  return OpenPath(serial_detail::DevicePathOfName(portName), !portName.empty(), baudRate);
}

bool CSerialLink::OpenPath(const std::string& devicePath, bool havePath, uint32_t baudRate) {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  CloseLocked();
  // Bytes left from an earlier opening never reach the new one, even when this Open fails.
  EmptyRings();
  if (!havePath) {
    lastOpenError_.store(serial_detail::NoSuchPortError(), std::memory_order_relaxed);
    return false;
  }
  int error = 0;
  port_ = serial_detail::OpenPortBackend(devicePath, baudRate, error);
  if (!port_) {
    lastOpenError_.store(error, std::memory_order_relaxed);
    return false;
  }
  // The run flags are raised here, before the threads exist, so that a Close coming at once
  // still finds them and stops both threads.
  ReaderRun.store(true, std::memory_order_release);
  WriterRun.store(true, std::memory_order_release);
  try {
    reader_ = std::thread(&CSerialLink::ReaderThread, this);
    writer_ = std::thread(&CSerialLink::WriterThread, this);
  } catch (const std::system_error& e) {
    // Only a thread that really started is waited for.
    lastOpenError_.store(e.code().value(), std::memory_order_relaxed);
    CloseLocked();
    return false;
  }
  isOpen_.store(true, std::memory_order_release);
  return true;
}

void CSerialLink::Close() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  CloseLocked();
}

void CSerialLink::CloseLocked() {
  isOpen_.store(false, std::memory_order_release);
  ReaderRun.store(false, std::memory_order_release);
  WriterRun.store(false, std::memory_order_release);
  if (port_) port_->Interrupt();
  WakeEvent.SetEvent();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  port_.reset();
}

void CSerialLink::EmptyRings() {
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    txWriteIndex_.store(0, std::memory_order_relaxed);
    txReadIndex_.store(0, std::memory_order_relaxed);
  }
  std::lock_guard<std::mutex> lock(takeMutex_);
  rxWriteIndex_.store(0, std::memory_order_relaxed);
  rxReadIndex_.store(0, std::memory_order_relaxed);
}

void CSerialLink::Send(const uint8_t* data, int length) {
  if (data == nullptr || length <= 0) return;
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    int w = txWriteIndex_.load(std::memory_order_relaxed);
    int r = txReadIndex_.load(std::memory_order_acquire);
    if (length > kRingSize - 1 - Pending(w, r)) {
      bytesDropped_.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
      return;
    }
    int room = kRingSize - w;
    if (length > room) {
      std::memcpy(TxRing + w, data, static_cast<size_t>(room));
      std::memcpy(TxRing, data + room, static_cast<size_t>(length - room));
      w = length - room;
    } else {
      std::memcpy(TxRing + w, data, static_cast<size_t>(length));
      w = (w + length) % kRingSize;
    }
    txWriteIndex_.store(w, std::memory_order_release);
  }
  WakeEvent.SetEvent();
}

bool CSerialLink::ReadByte(uint8_t& byte) {
  if (rxReadIndex_.load(std::memory_order_relaxed) ==
      rxWriteIndex_.load(std::memory_order_acquire)) {
    if (!RxDataEvent.Lock(kReadWaitMs)) return false;
  }
  std::lock_guard<std::mutex> lock(takeMutex_);
  int r = rxReadIndex_.load(std::memory_order_relaxed);
  if (r == rxWriteIndex_.load(std::memory_order_acquire)) return false;
  byte = RxRing[r];
  rxReadIndex_.store((r + 1) % kRingSize, std::memory_order_release);
  return true;
}

void CSerialLink::PutReceived(uint8_t byte) {
  int w = rxWriteIndex_.load(std::memory_order_relaxed);
  int next = (w + 1) % kRingSize;
  // A full ring keeps what it holds: overwriting would hand the consumer a mangled stream.
  if (next == rxReadIndex_.load(std::memory_order_acquire)) {
    bytesDropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  RxRing[w] = byte;
  rxWriteIndex_.store(next, std::memory_order_release);
  RxDataEvent.SetEvent();
}

void CSerialLink::ReaderThread() {
  SetCurrentThreadPriority(ThreadPriority::Highest);
  if (!port_->StartReading()) return;
  while (ReaderRun.load(std::memory_order_acquire)) {
    uint8_t byte = 0;
    switch (port_->ReadOne(byte)) {
      case serial_detail::ReadResult::kByte:
        PutReceived(byte);
        break;
      case serial_detail::ReadResult::kNothing:
        break;
      case serial_detail::ReadResult::kFailed:
        port_->Pause(kFailedReadPauseMs);
        break;
    }
  }
  port_->StopReading();
}

void CSerialLink::WriterThread() {
  SetCurrentThreadPriority(ThreadPriority::AboveNormal);
  for (;;) {
    WakeEvent.Lock(kInfinite);
    if (!WriterRun.load(std::memory_order_acquire)) break;
    // Sends made before this wake-up leave together; a backlog larger than StagingBuffer
    // leaves in several writes.
    while (WriterRun.load(std::memory_order_acquire) &&
           txReadIndex_.load(std::memory_order_relaxed) !=
               txWriteIndex_.load(std::memory_order_acquire)) {
      if (WritePending() == WriteOutcome::kNotTaken) break;
    }
  }
}

CSerialLink::WriteOutcome CSerialLink::WritePending() {
  if (!port_->PrepareWrite()) return WriteOutcome::kNotTaken;
  int w = txWriteIndex_.load(std::memory_order_acquire);
  int r = txReadIndex_.load(std::memory_order_relaxed);
  int size = std::min(Pending(w, r), kStagingSize);
  int first = std::min(size, kRingSize - r);
  std::memcpy(StagingBuffer, TxRing + r, static_cast<size_t>(first));
  std::memcpy(StagingBuffer + first, TxRing, static_cast<size_t>(size - first));
  txReadIndex_.store((r + size) % kRingSize, std::memory_order_release);
  writesIssued_.fetch_add(1, std::memory_order_relaxed);
  // Write returns only when the port is done with StagingBuffer, so the next write may reuse it.
  if (port_->Write(StagingBuffer, static_cast<uint32_t>(size))) return WriteOutcome::kSent;
  writesLost_.fetch_add(1, std::memory_order_relaxed);
  return WriteOutcome::kLost;
}

}  // namespace px
