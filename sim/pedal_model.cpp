#include "sim/pedal_model.h"

#include <algorithm>

#include "sim/message_table.h"
#include "sim/wire.h"

namespace px::sim {

CPedalModel::CPedalModel(const PedalConfig& config)
    : config_(std::make_unique<PedalConfig>(config)),
      log_(std::make_unique<CReportLog>(*config_)),
      device_(*config_),
      checker_(*config_, *log_),
      rules_(*config_) {}

// Records it, checks it, lets a fault rule or the device answer, moves the run on, and puts the
// answer (with any extra output before it) on its way.
void CPedalModel::OnMessage(const uint8_t* m, size_t n, const Arrival& arrival,
                            std::vector<Output>& out) {
  const uint64_t nowMs = arrival.nowMs;
  checker_.OnArrival(arrival.damaged);
  if (arrival.damaged) log_->OnDamage();
  if (n < 2 || m[0] != wire::kStart) return;
  const WireKind kind = Classify(m, n);
  log_->OnMessage(kind, m, n);
  bool malformed = false;
  if (!checker_.Inspect(kind, m, n, arrival, device_.UpdateStartSeen(), malformed)) return;

  const FaultRule* rule = rules_.Match(kind, m, n, log_->Received(), log_->OfKind(kind));
  const FaultAction action = rule ? rule->action : FaultAction::Silence;
  if (rule) log_->AddFault(kind, FormatFaultRule(*rule));
  if (rule && action == FaultAction::Disconnect) {
    out.push_back({0, {}, true});
    return;
  }
  Outcome outcome;
  if (rule && CFaultRules::ReplacesAnswer(action)) {
    outcome.reply = CFaultRules::Replacement(*rule, kind, device_);
  } else {
    outcome = Answer(kind, m, n, malformed, arrival.damaged);
  }

  uint32_t delay = config_->replyLatencyMs + outcome.busyMs;
  if (rule && action == FaultAction::Late) delay += static_cast<uint32_t>(std::max(rule->value, 0));
  const bool answered = outcome.reply.type != Reply::Type::None;
  checker_.Advance(kind, m, n, ReadsAsSuccess(kind, outcome.reply), answered, nowMs + delay);
  // A late or second answer may satisfy a later wait. After the order moved on, since an
  // IdentityRequest starts the order afresh.
  if (rule && (action == FaultAction::Late || action == FaultAction::Duplicate)) checker_.Excuse();
  if (!answered) return;

  const size_t first = out.size();
  if (rule && CFaultRules::AddsOutput(action)) Extra(action, nowMs + delay, out);
  if (rules_.OwnIdentityRequestDue(kind, m, n)) {
    log_->AddFault(kind, "own IdentityRequest before the answer to block " +
                             wire::Num(config_->line.askIdentityAtBlock));
    Extra(FaultAction::AskIdentity, nowMs + delay, out);
  }
  if (rules_.Chance(config_->line.strayRate)) Extra(FaultAction::StrayBytes, nowMs + delay, out);
  if (rules_.Chance(config_->line.unknownCommandRate)) {
    Extra(FaultAction::UnknownCommand, nowMs + delay, out);
  }
  out.push_back({0, device_.Compose(outcome.reply), false});
  out[first].delayMs = delay;
  if (rule && action == FaultAction::Duplicate) {
    out.push_back({config_->replyLatencyMs, device_.Compose(outcome.reply), false});
  }
  if (outcome.reply.type == Reply::Type::Identity) rules_.NoteIdentitySent();
}

// The device's own answer; the updater's answers to the pedal's requests get none.
Outcome CPedalModel::Answer(WireKind kind, const uint8_t* m, size_t n, bool malformed,
                            bool damaged) {
  if (kind == WireKind::Ack || kind == WireKind::IdentityReply) {
    checker_.TakeAnswer(kind, m, n, device_.UpdateStartSeen());
    return {};
  }
  Outcome outcome = device_.Execute(kind, m, n, malformed, damaged);
  if (outcome.refused) log_->AddRefusal(kind, outcome.status, outcome.why);
  if (!outcome.blame.empty()) checker_.Blame(kind, outcome.blame);
  return outcome;
}

void CPedalModel::Extra(FaultAction action, uint64_t atMs, std::vector<Output>& out) {
  std::optional<OwedAnswer> owed;
  std::optional<Output> o = rules_.Extra(action, checker_.UpdaterKnowsId(), owed);
  if (owed) checker_.Expect(owed->kind, owed->status, atMs);
  if (o) out.push_back(std::move(*o));
}

void CPedalModel::OnFramingEvent(CPedalFramer::Heard event, bool damaged) {
  if (event == CPedalFramer::Heard::None || event == CPedalFramer::Heard::Message) return;
  if (damaged) log_->OnDamage();
  checker_.OnFramingEvent(event, damaged);
}

void CPedalModel::OnLineReset(uint64_t nowMs) {
  checker_.OnLineReset(nowMs, disconnected_);
}

void CPedalModel::OnOutboundDamage() {
  log_->OnOutboundDamage();
  checker_.OnOutboundDamage();
}

PedalReport CPedalModel::Report(uint64_t nowMs) const {
  PedalReport r;
  r.family = config_->family;
  r.member = config_->member;
  log_->FillReport(r);
  for (Violation& v : checker_.Overdue(nowMs, disconnected_, r.unansweredDeviceRequests)) {
    r.violations.push_back(std::move(v));
  }
  device_.FillReport(r);
  r.disconnected = disconnected_;
  return r;
}

}  // namespace px::sim
