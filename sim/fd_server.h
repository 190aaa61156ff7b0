#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/pedal_config.h"
#include "sim/pedal_device.h"
#include "sim/pedal_report.h"

// The virtual pedal behind a file descriptor: a pseudo-terminal's master side or a real serial
// port. POSIX only.
namespace px::sim {

// Creates a pseudo-terminal in raw mode on both sides. Returns the master (non-blocking) and
// the slave's path, or -1 with a message.
int OpenPty(std::string& slavePath, std::string& error);
// Opens a tty in raw mode, 8N1, no flow control, at baud (a standard rate). -1 with a message.
int OpenSerialPort(const std::string& path, uint32_t baud, std::string& error);

class CFdServer {
 public:
  // Serves the pedal on fd, which it takes over and closes. isPty: fd is a pty master, whose
  // reads fail while the updater has the slave closed; the server then waits for it to return.
  CFdServer(int fd, const PedalConfig& config, bool isPty);
  ~CFdServer();
  CFdServer(const CFdServer&) = delete;
  CFdServer& operator=(const CFdServer&) = delete;

  void Start();
  // Joins every thread and closes the descriptor; idempotent.
  void Stop();

  // The run is over: the line went down by a fault; or the updater closed its end after it had
  // talked to the pedal; or UpdateComplete was answered and the updater closed its end or
  // lingerMs passed.
  bool Finished(uint32_t lingerMs) const;
  bool UpdaterClosed() const { return closedAfterTalk_.load(); }

  PedalReport Report() const { return device_.Report(); }
  std::string ReportJson() const { return device_.ReportJson(); }
  CPedalDevice& Device() { return device_; }

 private:
  void ReadLoop();
  void WriteLoop();
  void HungUp();

  int fd_;
  bool isPty_;
  CPedalDevice device_;
  std::thread reader_;
  std::thread writer_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> talked_{false};
  std::atomic<bool> closedAfterTalk_{false};
};

}  // namespace px::sim
