#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/framer.h"
#include "sim/paced_queue.h"
#include "sim/pedal_config.h"
#include "sim/pedal_model.h"
#include "sim/pedal_report.h"

// The pedal as a running thing: one thread that takes the updater's bytes off the line, frames
// them, lets the model answer, and puts the answers on the line when they are due. The line's
// faults (drops, flips, real-time bytes, a disconnect after byte K) happen here. A transport
// (in-process or a file descriptor) feeds ToPedal and drains ToHost.
namespace px::sim {

class CPedalDevice {
 public:
  explicit CPedalDevice(const PedalConfig& config);
  ~CPedalDevice();
  CPedalDevice(const CPedalDevice&) = delete;
  CPedalDevice& operator=(const CPedalDevice&) = delete;

  CPacedQueue& ToPedal() { return toPedal_; }
  CPacedQueue& ToHost() { return toHost_; }

  void Start();
  // Joins the thread; idempotent.
  void Stop();
  // The updater closed its end: a half-received message is dropped. Any thread.
  void LineReset() { lineReset_.store(true); }
  void SetExpectedImage(std::vector<uint8_t> image);

  // The line went down by a fault.
  bool Disconnected() const { return disconnected_.load(); }
  // Milliseconds since start when the answer to UpdateComplete had wholly left the pedal
  // (written to the line, or read by the updater); -1 before.
  int64_t CompleteAnsweredAtMs() const;
  uint64_t NowMs() const;

  PedalReport Report() const;
  std::string ReportJson() const { return ReportToJson(Report()); }

 private:
  void Run();
  // Sends timing clock bytes, as a MIDI interface or a device with a running clock does, so that
  // the line towards the updater is never quiet.
  void RunClock();
  void Take(uint8_t byte, uint64_t atMs);
  // When the last answer left the pedal, or now while it has not yet.
  std::optional<uint64_t> LastAnswerLeftMs() const;
  uint64_t MsOf(CPacedQueue::SteadyClock::time_point at) const;
  void Handle(CPedalFramer::Heard event);
  bool WaitMs(uint32_t ms);
  void Emit(const Output& output);
  void GoDown();
  void Trace(const std::string& line) const;

  PedalConfig config_;
  CPacedQueue toPedal_;
  CPacedQueue toHost_;
  CPedalFramer framer_;  // the pedal's thread only
  std::mt19937_64 lineRng_;
  bool pendingDamage_ = false;
  uint64_t messageStartMs_ = 0;  // when the first byte of the message being framed came
  uint64_t lastAnswer_ = 0;      // the number of the last answer's last byte on ToHost, 0: none
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> sent_{0};
  std::vector<Output> outputs_;

  mutable std::mutex modelMutex_;
  CPedalModel model_;

  std::chrono::steady_clock::time_point start_;
  std::thread thread_;
  std::thread clock_;
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lineReset_{false};
  std::atomic<bool> disconnected_{false};
  std::atomic<uint64_t> completeAnswer_{0};  // the number of its last byte on ToHost
};

}  // namespace px::sim
