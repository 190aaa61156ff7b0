#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/pedal_config.h"
#include "sim/pedal_report.h"

// The pedal's record of a run: every message received by kind and in order, the violations,
// refusals and fired faults with the number of the message they belong to, and the damage the
// line did. The other parts write to it; the report is filled from it.
namespace px::sim {

class CReportLog {
 public:
  explicit CReportLog(const PedalConfig& config) : config_(config) {}

  // A whole message arrived: it gets the next number.
  void OnMessage(WireKind kind, const uint8_t* m, size_t n);
  void OnDamage() { ++damaged_; }
  void OnOutboundDamage() { ++damagedAnswers_; }

  void AddViolation(WireKind kind, std::string what);
  // Found when the updater closed the line; not traced.
  void AddViolations(std::vector<Violation> found);
  void Suppress() { ++suppressed_; }
  void AddRefusal(WireKind kind, int32_t status, const std::string& why);
  void AddFault(WireKind kind, std::string what);
  void Trace(const std::string& line) const;

  // Messages received so far; the number of the message at hand.
  uint64_t Received() const { return received_; }
  uint32_t OfKind(WireKind kind) const { return byKind_[static_cast<size_t>(kind)]; }

  // Counts, sequence and lists.
  void FillReport(PedalReport& r) const;

 private:
  const PedalConfig& config_;
  uint64_t received_ = 0;
  std::array<uint32_t, kMessageKindCount> byKind_ = {};
  std::vector<WireKind> sequence_;
  std::vector<Violation> violations_;
  uint32_t suppressed_ = 0;
  std::vector<Refusal> refusals_;
  std::vector<FiredFault> faults_;
  uint32_t damaged_ = 0;
  uint32_t damagedAnswers_ = 0;
};

}  // namespace px::sim
