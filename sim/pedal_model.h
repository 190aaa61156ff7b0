#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/conformance.h"
#include "sim/device_core.h"
#include "sim/fault_rules.h"
#include "sim/framer.h"
#include "sim/pedal_config.h"
#include "sim/pedal_report.h"
#include "sim/report_log.h"
#include "sim/wire.h"

// The pedal in firmware-update mode: what it answers, what it stores, and what it notices that a
// correct updater would never do. No threads and no clock of its own: the caller hands it whole
// messages with their arrival time and sends what it returns. Its parts: the device (flash,
// files, modes, answers), the conformance checker, the fault rules and the report log.
namespace px::sim {

class CPedalModel {
 public:
  explicit CPedalModel(const PedalConfig& config);
  CPedalModel(CPedalModel&&) = default;

  // One delivered message (F0 ... F7), with when it came and whether an injected line fault
  // altered it on its way.
  void OnMessage(const uint8_t* m, size_t n, const Arrival& arrival, std::vector<Output>& out);
  // The same with no line to measure: the message came whole at nowMs, and every answer leaves
  // when it is planned to.
  void OnMessage(const uint8_t* m, size_t n, bool damaged, uint64_t nowMs,
                 std::vector<Output>& out) {
    OnMessage(m, n, Arrival{nowMs, nowMs, damaged, std::nullopt}, out);
  }
  // Framing trouble that delivered no message.
  void OnFramingEvent(CPedalFramer::Heard event, bool damaged);
  // The updater closed the line at nowMs.
  void OnLineReset(uint64_t nowMs);
  // The pedal's own bytes were damaged on their way out: the updater may be misled.
  void OnOutboundDamage();
  void OnDisconnected() { disconnected_ = true; }
  void SetExpectedImage(std::vector<uint8_t> image) { config_->expectedImage = std::move(image); }

  bool UpdateCompleteSeen() const { return device_.UpdateComplete(); }
  PedalReport Report(uint64_t nowMs) const;

  // A one-line description of any message either side sends, for traces.
  static std::string Describe(const uint8_t* m, size_t n, bool fromPedal = false) {
    return wire::Describe(m, n, fromPedal);
  }

 private:
  Outcome Answer(WireKind kind, const uint8_t* m, size_t n, bool malformed, bool damaged);
  void Extra(FaultAction action, uint64_t atMs, std::vector<Output>& out);

  // The parts hold on to these two, which stay where they are when the model moves.
  std::unique_ptr<PedalConfig> config_;
  std::unique_ptr<CReportLog> log_;
  CDeviceCore device_;
  CConformanceChecker checker_;
  CFaultRules rules_;
  bool disconnected_ = false;
};

}  // namespace px::sim
