#include "serial/serial_link.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "serial/held_port.h"
#include "serial/port_backend.h"

namespace px {

namespace {

constexpr uint32_t kReadWaitMs = 100;
// A read that fails at once (port gone, Bluetooth dropped), or comes back empty without waiting,
// is followed by this pause rather than a new read straight away, so a dead port costs no CPU.
constexpr uint32_t kFailedReadPauseMs = 100;

std::string WhatFailed(serial_detail::OpenStep step, const std::string& path, uint32_t baudRate) {
  using serial_detail::OpenStep;
  switch (step) {
    case OpenStep::kNoPort:
      return "No port chosen";
    case OpenStep::kOpen:
      return "Cannot open " + path;
    case OpenStep::kNotSerial:
      return path + " is not a serial port";
    case OpenStep::kHeld:
      return path + " is held by another program";
    case OpenStep::kLineSettings:
      return path + " refused " + std::to_string(baudRate) + " baud, 8N1, no flow control";
    case OpenStep::kModemLines:
      return path + " cannot raise DTR and RTS";
    case OpenStep::kThreads:
      return "Cannot start the threads of " + path;
  }
  return path;
}

std::string RefusedText(const serial_detail::RefusedCall& call, const std::string& path) {
  return path + " refused " + call.name +
         ", used with the settings it has: " + serial_detail::SystemErrorText(call.code);
}

int Pending(int writeIndex, int readIndex) {
  return (writeIndex - readIndex + CSerialLink::kRingSize) % CSerialLink::kRingSize;
}

}  // namespace

CSerialLink::CSerialLink() : opener_(&serial_detail::OpenPortBackend) {}

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
  int tries = 1;
  // Ends when the port opens, is refused for any other reason, or HeldPortRetryWait says the
  // refusal stands (at the latest 2 s after our own close).
  for (;;) {
    bool held = false;
    uint64_t opening = 0;
    if (OpenOnce(devicePath, havePath, baudRate, held, opening)) {
      if (tries > 1) {
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
        openNotes_.push_back(devicePath +
                             " was still held just after this program closed it; "
                             "opened at try " +
                             std::to_string(tries));
      }
      return true;
    }
    if (!held) return false;
    const auto wait = serial_detail::HeldPortRetryWait(
        serial_detail::PortCloses().LastClose(devicePath), std::chrono::steady_clock::now());
    // No lock is held while waiting: the reply thread and the window go on.
    if (!wait || !WaitBeforeRetry(*wait, opening)) return false;
    ++tries;
  }
}

bool CSerialLink::WaitBeforeRetry(std::chrono::milliseconds wait, uint64_t opening) {
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (openings_.load(std::memory_order_acquire) != opening) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    closeWake_.Lock(static_cast<uint32_t>(left.count()));
  }
}

// The system's open can take seconds (a Bluetooth port connects inside it), so no lock is held
// across it: Close, BytesLeftHost and the error text stay answerable meanwhile. A Close (or
// another Open) that comes while the port opens wins: the port just opened is let go again.
bool CSerialLink::OpenOnce(const std::string& devicePath, bool havePath, uint32_t baudRate,
                           bool& held, uint64_t& opening) {
  {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    CloseLocked();
    // Bytes left from an earlier opening never reach the new one, even when this Open fails.
    EmptyRings();
    readFailures_.store(0, std::memory_order_relaxed);
    openNotes_.clear();
    opening = openings_.fetch_add(1, std::memory_order_acq_rel) + 1;
  }
  serial_detail::OpenFailure failure;
  std::vector<serial_detail::RefusedCall> refused;
  std::unique_ptr<serial_detail::CPortBackend> port;
  if (!havePath) {
    failure = {serial_detail::OpenStep::kNoPort, serial_detail::NoSuchPortError()};
  } else {
    port = opener_(devicePath, baudRate, failure, refused);
  }
  std::unique_lock<std::mutex> lifecycle(lifecycleMutex_);
  if (port && openings_.load(std::memory_order_acquire) != opening) {
    lifecycle.unlock();
    port.reset();  // closed outside the lock, as it was opened
    serial_detail::PortCloses().Closed(devicePath, std::chrono::steady_clock::now());
    lifecycle.lock();
    openError_.store(0, std::memory_order_relaxed);
    openErrorText_ = devicePath + " was closed while it opened";
    return false;
  }
  if (port) {
    port_ = std::move(port);
    openedPath_ = devicePath;
    for (const serial_detail::RefusedCall& call : refused) {
      openNotes_.push_back(RefusedText(call, devicePath));
    }
    // The run flags are raised here, before the threads exist, so that a Close coming at once
    // still finds them and stops both threads.
    line_.ReaderRun.store(true, std::memory_order_release);
    line_.WriterRun.store(true, std::memory_order_release);
    try {
      reader_ = std::thread(&CSerialLink::ReaderThread, this);
      writer_ = std::thread(&CSerialLink::WriterThread, this);
      serial_detail::PortCloses().Opened(devicePath);
      portOpen_.store(true, std::memory_order_release);
      return true;
    } catch (const std::system_error& e) {
      // Only a thread that really started is waited for.
      failure = {serial_detail::OpenStep::kThreads, e.code().value()};
      CloseLocked();
    }
  }
  held = failure.step == serial_detail::OpenStep::kHeld;
  openError_.store(failure.code, std::memory_order_relaxed);
  openErrorText_ = WhatFailed(failure.step, devicePath, baudRate) + ": " +
                   serial_detail::SystemErrorText(failure.code);
  return false;
}

std::string CSerialLink::LastOpenErrorText() const {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  return openErrorText_;
}

std::vector<std::string> CSerialLink::LastOpenNotes() const {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  return openNotes_;
}

void CSerialLink::Close() {
  // An Open still waiting for the system keeps nothing, and one that waits to try a held port
  // again gives up.
  openings_.fetch_add(1, std::memory_order_acq_rel);
  closeWake_.SetEvent();
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  CloseLocked();
}

void CSerialLink::CloseLocked() {
  portOpen_.store(false, std::memory_order_release);
  line_.ReaderRun.store(false, std::memory_order_release);
  line_.WriterRun.store(false, std::memory_order_release);
  if (port_) port_->Interrupt();
  line_.WakeEvent.SetEvent();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  if (port_) {
    port_.reset();
    serial_detail::PortCloses().Closed(openedPath_, std::chrono::steady_clock::now());
  }
}

void CSerialLink::EmptyRings() {
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    txWriteIndex_.store(0, std::memory_order_relaxed);
    txReadIndex_.store(0, std::memory_order_relaxed);
    bytesHanded_.store(bytesQueued_.load());
  }
  std::lock_guard<std::mutex> lock(takeMutex_);
  rxWriteIndex_.store(0, std::memory_order_relaxed);
  rxReadIndex_.store(0, std::memory_order_relaxed);
}

void CSerialLink::Send(const uint8_t* data, int length) {
  SendCounted(data, length);
}

uint64_t CSerialLink::SendCounted(const uint8_t* data, int length) {
  uint64_t mark = 0;
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    mark = bytesQueued_.load(std::memory_order_relaxed);
    if (data == nullptr || length <= 0) return mark;
    int w = txWriteIndex_.load(std::memory_order_relaxed);
    int r = txReadIndex_.load(std::memory_order_acquire);
    if (length > kRingSize - 1 - Pending(w, r)) {
      droppedBytes_.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
      return mark;
    }
    int room = kRingSize - w;
    if (length > room) {
      std::memcpy(line_.TxRing + w, data, static_cast<size_t>(room));
      std::memcpy(line_.TxRing, data + room, static_cast<size_t>(length - room));
      w = length - room;
    } else {
      std::memcpy(line_.TxRing + w, data, static_cast<size_t>(length));
      w = (w + length) % kRingSize;
    }
    txWriteIndex_.store(w, std::memory_order_release);
    mark = bytesQueued_.fetch_add(static_cast<uint64_t>(length)) + static_cast<uint64_t>(length);
  }
  line_.WakeEvent.SetEvent();
  return mark;
}

uint64_t CSerialLink::BytesLeftHost() const {
  uint64_t inDriver = 0;
  {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (port_) inDriver = port_->OutputQueued();
  }
  const uint64_t handed = bytesHanded_.load();
  return handed - std::min(handed, inDriver);
}

bool CSerialLink::ReadByte(uint8_t& byte) {
  if (rxReadIndex_.load(std::memory_order_relaxed) ==
      rxWriteIndex_.load(std::memory_order_acquire)) {
    if (!line_.RxDataEvent.Lock(kReadWaitMs)) return false;
  }
  std::lock_guard<std::mutex> lock(takeMutex_);
  int r = rxReadIndex_.load(std::memory_order_relaxed);
  if (r == rxWriteIndex_.load(std::memory_order_acquire)) return false;
  byte = line_.RxRing[r];
  rxReadIndex_.store((r + 1) % kRingSize, std::memory_order_release);
  return true;
}

void CSerialLink::PutReceived(uint8_t byte) {
  int w = rxWriteIndex_.load(std::memory_order_relaxed);
  int next = (w + 1) % kRingSize;
  // A full ring keeps what it holds: overwriting would hand the consumer a mangled stream.
  if (next == rxReadIndex_.load(std::memory_order_acquire)) {
    droppedBytes_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  line_.RxRing[w] = byte;
  rxWriteIndex_.store(next, std::memory_order_release);
  line_.RxDataEvent.SetEvent();
}

void CSerialLink::ReaderThread() {
  SetCurrentThreadPriority(ThreadPriority::Highest);
  if (!port_->StartReading()) return;
  while (line_.ReaderRun.load(std::memory_order_acquire)) {
    uint8_t byte = 0;
    switch (port_->ReadOne(byte)) {
      case serial_detail::ReadResult::kByte:
        PutReceived(byte);
        break;
      case serial_detail::ReadResult::kNothing:
        quietReads_.fetch_add(1, std::memory_order_relaxed);
        break;
      case serial_detail::ReadResult::kNothingAtOnce:
        // A quiet line all the same; only the pause keeps a port that does not wait from
        // costing CPU.
        quietReads_.fetch_add(1, std::memory_order_relaxed);
        port_->Pause(kFailedReadPauseMs);
        break;
      case serial_detail::ReadResult::kFailed:
        // A read that a Close cut short is no sign of a lost port.
        if (line_.ReaderRun.load(std::memory_order_acquire)) {
          readFailures_.fetch_add(1, std::memory_order_relaxed);
        }
        port_->Pause(kFailedReadPauseMs);
        break;
    }
  }
  port_->StopReading();
}

void CSerialLink::WriterThread() {
  SetCurrentThreadPriority(ThreadPriority::AboveNormal);
  for (;;) {
    line_.WakeEvent.Lock(kInfinite);
    if (!line_.WriterRun.load(std::memory_order_acquire)) break;
    // Sends made before this wake-up leave together; a backlog larger than StagingBuffer
    // leaves in several writes.
    while (line_.WriterRun.load(std::memory_order_acquire) &&
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
  std::memcpy(line_.StagingBuffer, line_.TxRing + r, static_cast<size_t>(first));
  std::memcpy(line_.StagingBuffer + first, line_.TxRing, static_cast<size_t>(size - first));
  txReadIndex_.store((r + size) % kRingSize, std::memory_order_release);
  bytesHanded_.fetch_add(static_cast<uint64_t>(size));
  writesIssued_.fetch_add(1, std::memory_order_relaxed);
  // Write returns only when the port is done with StagingBuffer, so the next write may reuse it.
  if (port_->Write(line_.StagingBuffer, static_cast<uint32_t>(size))) return WriteOutcome::kSent;
  writesLost_.fetch_add(1, std::memory_order_relaxed);
  return WriteOutcome::kLost;
}

}  // namespace px
