#include "sim/report_log.h"

#include "sim/wire.h"

namespace px::sim {
namespace {

constexpr size_t kListCap = 2000;
constexpr size_t kSequenceCap = 100000;

}  // namespace

void CReportLog::OnMessage(WireKind kind, const uint8_t* m, size_t n) {
  ++received_;
  ++byKind_[static_cast<size_t>(kind)];
  if (sequence_.size() < kSequenceCap) sequence_.push_back(kind);
  if (config_.trace) config_.trace("in  #" + wire::Num(received_) + " " + wire::Describe(m, n));
}

void CReportLog::AddViolation(WireKind kind, std::string what) {
  if (violations_.size() < kListCap) violations_.push_back({received_, kind, std::move(what)});
  if (config_.trace) config_.trace("    violation: " + violations_.back().what);
}

void CReportLog::AddViolations(std::vector<Violation> found) {
  for (Violation& v : found) {
    if (violations_.size() < kListCap) violations_.push_back(std::move(v));
  }
}

void CReportLog::AddRefusal(WireKind kind, int32_t status, const std::string& why) {
  if (refusals_.size() < kListCap) refusals_.push_back({received_, kind, status, why});
}

void CReportLog::AddFault(WireKind kind, std::string what) {
  if (faults_.size() < kListCap) faults_.push_back({received_, kind, what});
  if (config_.trace) config_.trace("    fault: " + what);
}

void CReportLog::Trace(const std::string& line) const {
  if (config_.trace) config_.trace(line);
}

void CReportLog::FillReport(PedalReport& r) const {
  r.messagesByKind = byKind_;
  r.messagesReceived = received_;
  r.sequence = sequence_;
  r.violations = violations_;
  r.suppressedViolations = suppressed_;
  r.refusals = refusals_;
  r.faults = faults_;
  r.damagedMessages = damaged_;
  r.damagedAnswers = damagedAnswers_;
}

}  // namespace px::sim
