#include "sim/conformance.h"

#include <algorithm>

#include "protocol/codec.h"
#include "sim/wire.h"

namespace px::sim {
namespace {

using wire::Hex;
using wire::Num;
using wire::U32;

// The updater answers the pedal's own requests at once; an answer missing for this long is lost.
constexpr uint64_t kAnswerGraceMs = 3000;
// A pause measured at the pedal may look a little shorter than the updater's own.
constexpr uint64_t kSettleToleranceMs = 10;
// A thread on a busy machine may wait this long for a core, on either side of the line.
constexpr uint64_t kLoadSlackMs = 1000;

}  // namespace

uint64_t ResendSlackMs(uint64_t replyWaitMs) {
  return std::max(replyWaitMs / 8, kLoadSlackMs);
}

CConformanceChecker::CConformanceChecker(const PedalConfig& config, CReportLog& log)
    : config_(config), log_(log), updaterKnowsId_(config.family == wire::kFirstId) {}

void CConformanceChecker::OnArrival(bool damaged) {
  // A flip into F7 ends a message early and leaves the rest of it as loose bytes.
  strayRun_ = damaged;
  curDamaged_ = damaged;
  if (damaged) {
    lineDamaged_ = true;
    relaxed_ = true;
  }
}

bool CConformanceChecker::Inspect(WireKind kind, const uint8_t* m, size_t n, const Arrival& arrival,
                                  bool updateStartSeen, bool& malformed) {
  malformed = false;
  if (!CheckAddress(kind, m, n, updateStartSeen)) return false;
  const Row& row = RowOf(kind);
  if (row.isRequest()) {
    NoteRequest(m, n, arrival);
  } else {
    repeated_ = resentAfterWait_ = false;
  }
  const std::string bad = CheckLayout(row, m, n);
  if (!bad.empty()) Violate(kind, bad);
  malformed = !bad.empty();
  if (row.isRequest()) {
    CheckSettle(kind, arrival.nowMs);
    CheckOrder(kind, m, n);
  }
  return true;
}

bool CConformanceChecker::CheckAddress(WireKind kind, const uint8_t* m, size_t n,
                                       bool updateStartSeen) {
  if (m[1] != wire::kMaker && m[1] != wire::kUniversal) {
    Violate(kind, "manufacturer byte " + Hex(m[1]));
    return false;
  }
  if (n >= 4 && m[2] != 0x00) {
    Violate(kind, std::string(KindName(kind)) + " byte 2 is " + Hex(m[2]) + ", not 0x00");
  }
  if (m[1] == wire::kMaker) {
    if (n >= 6 && m[3] == config_.family) updaterKnowsId_ = true;
    if (n < 6 || m[3] != config_.family) {
      // Until it has read the pedal's identity the updater answers with its default id (an Ack
      // 1 to a damaged identity reply, for instance).
      const bool early = kind == WireKind::Ack && m[3] == wire::kFirstId && !updateStartSeen;
      if (!early) {
        Violate(kind, "device id " + (n >= 5 ? Hex(m[3]) : std::string("missing")) +
                          " in byte 3; this pedal is " + Hex(config_.family));
      }
      return false;
    }
    if (!wire::Accepted(config_.family)) {
      Violate(kind, std::string(KindName(kind)) + " to a device whose family code " +
                        Hex(config_.family) + " the updater does not accept");
    }
  } else if (kind == WireKind::Unknown) {
    Violate(kind, "universal message other than an identity request or reply");
    return false;
  }
  return true;
}

// A request repeated with the same bytes is the updater's resend after a wait that ran out, and no
// slip, when it began to arrive at least a reply wait less the slack after the earlier copy and no
// later than the slack after our answer to that copy had wholly left the pedal. A resend sooner
// than the wait, or long after the answer was on the line, stays the updater's own doing.
void CConformanceChecker::NoteRequest(const uint8_t* m, size_t n, const Arrival& arrival) {
  repeated_ = lastRequest_.size() == n && std::equal(m, m + n, lastRequest_.begin());
  resentAfterWait_ = false;
  resendNote_.clear();
  const uint64_t wait = config_.updaterReplyWaitMs;
  if (repeated_ && wait > 0 && lastAnswerPlanned_) {
    const uint64_t slack = ResendSlackMs(wait);
    const uint64_t left = arrival.lastAnswerLeftMs.value_or(*lastAnswerPlanned_);
    const bool waited = arrival.startMs + slack >= lastRequestStart_ + wait;
    const bool unseen = left + slack >= arrival.startMs;
    resentAfterWait_ = waited && unseen;
    resendNote_ = " (a copy " + Num(static_cast<int64_t>(arrival.startMs - lastRequestStart_)) +
                  " ms after the first, " +
                  Num(static_cast<int64_t>(arrival.startMs) - static_cast<int64_t>(left)) +
                  " ms after its answer left)";
    // Two answers are now on their way for one wait: the updater takes the first for the resend
    // and may take the second for its next request, so from here on it may be misled.
    if (resentAfterWait_) relaxed_ = true;
  }
  lastRequest_.assign(m, m + n);
  lastRequestStart_ = arrival.startMs;
}

void CConformanceChecker::CheckSettle(WireKind kind, uint64_t nowMs) {
  if (!settleFrom_) return;
  const uint64_t want = config_.settleAfterUpdateStartMs;
  if (nowMs + kSettleToleranceMs < *settleFrom_ + want) {
    Violate(kind,
            std::string(KindName(kind)) + " came " + Num(nowMs - std::min(nowMs, *settleFrom_)) +
                " ms after UpdateStart was answered; the updater pauses " + Num(want) + " ms",
            true);
  }
  settleFrom_.reset();
}

// Where the message may come is its row's; the flash steps also follow their addresses.
void CConformanceChecker::CheckOrder(WireKind kind, const uint8_t* m, size_t n) {
  const Row& row = RowOf(kind);
  const std::string name = KindName(kind);
  if (kind == WireKind::IdentityRequest) return;
  if (row.member1Only && config_.member != 1) {
    Violate(kind,
            name + " sent to a device of member " + Num(config_.member) +
                "; its row is for member 1 only",
            true);
    return;
  }
  if (!(AllowedFrom(row) & In(step_))) {
    Violate(kind, name + " " + StepName(step_) + "; its row takes it " + row.when, true);
    return;
  }
  const std::string slip = CheckFlashOrder(kind, m, n);
  if (!slip.empty()) Violate(kind, slip, true);
}

// The rules that read the message's fields against the run: block by block, the whole region,
// chunks no larger than the updater sends.
std::string CConformanceChecker::CheckFlashOrder(WireKind kind, const uint8_t* m, size_t n) const {
  const std::string name = KindName(kind);
  if (kind == WireKind::FileWrite && n >= RowOf(kind).length) {
    const uint32_t count = ReadField(kind, "length", m);
    if (count > kUpdaterChunk) {
      return "FileWrite chunk of " + Num(count) + " bytes; the updater sends at most " +
             Num(kUpdaterChunk);
    }
  }
  if (kind == WireKind::RomErase && n == RowOf(kind).length) {
    const uint32_t address = ReadField(kind, "address", m);
    const uint32_t size = ReadField(kind, "size", m);
    if (address != kFlashBase || size != kFlashSize) {
      return "RomErase of " + Hex(size, 8) + " bytes at " + Hex(address, 8) +
             "; the updater erases the whole MiB at " + Hex(kFlashBase, 8);
    }
  }
  if (kind == WireKind::UpdateComplete) {
    if (!lastBlockOk_) return "UpdateComplete after a RomWrite block that was not acknowledged";
    if (config_.expectedImage && lastBlock_) {
      const uint64_t written = *lastBlock_ + lastBlockLength_ - kFlashBase;
      if (written != config_.expectedImage->size()) {
        return "UpdateComplete after " + Num(static_cast<int64_t>(written)) + " of " +
               Num(static_cast<int64_t>(config_.expectedImage->size())) + " image bytes";
      }
    }
  }
  if (kind != WireKind::RomWrite || n < 12) return {};
  const uint32_t address = ReadField(kind, "address", m);
  const uint32_t count = ReadField(kind, "length", m);
  if (count == 0 || count > kUpdaterBlock) {
    return "RomWrite block of " + Num(count) + " bytes; the updater writes 1 to " +
           Num(kUpdaterBlock);
  }
  if (!lastBlock_) {
    if (address == kFlashBase) return {};
    return "first RomWrite at " + Hex(address, 8) + ", not " + Hex(kFlashBase, 8);
  }
  const std::string last = Hex(*lastBlock_, 8);
  if (address == *lastBlock_) {
    return lastBlockOk_ ? "RomWrite block at " + last + " resent after its Ack" : std::string();
  }
  if (!lastBlockOk_) {
    return "RomWrite moved on to " + Hex(address, 8) + " after block " + last +
           " was refused or not answered";
  }
  if (lastBlockLength_ != kUpdaterBlock) {
    return "RomWrite after a short block at " + last + ", which should have been the last";
  }
  if (address != *lastBlock_ + lastBlockLength_) {
    return "RomWrite at " + Hex(address, 8) + "; the next block is at " +
           Hex(*lastBlock_ + lastBlockLength_, 8);
  }
  return {};
}

// A message that came out of place moves nothing: its slip is reported once, and the run is
// judged on from where it stood. An IdentityRequest always starts a run afresh.
void CConformanceChecker::Advance(WireKind kind, const uint8_t* m, size_t n, bool ok, bool answered,
                                  uint64_t answerAtMs) {
  const Row& row = RowOf(kind);
  if (!row.isRequest()) return;
  lastAnswerPlanned_ = answered ? std::optional<uint64_t>(answerAtMs) : std::nullopt;
  AnswerReading reading = !answered ? AnswerReading::Silent
                          : ok      ? AnswerReading::Ok
                                    : AnswerReading::Refused;
  if (kind == WireKind::FileWrite && ok && n >= row.length &&
      ReadField(kind, "length", m) < kUpdaterChunk) {
    reading = AnswerReading::OkShort;
  }
  if (kind == WireKind::IdentityRequest) {
    // A resend of the request does not start afresh: earlier answers to it may be on their way.
    relaxed_ = curDamaged_ || (repeated_ && relaxed_);
    lastBlock_.reset();
    lastBlockOk_ = false;
  } else if (!(AllowedFrom(row) & In(step_))) {
    return;
  }
  step_ = Move(kind, step_, reading);
  if (kind == WireKind::RomErase && step_ == Step::Erased) {
    lastBlock_.reset();
    lastBlockOk_ = false;
  }
  if (kind == WireKind::RomWrite && n >= 12) {
    lastBlock_ = ReadField(kind, "address", m);
    lastBlockLength_ = ReadField(kind, "length", m);
    lastBlockOk_ = ok;
  }
  if (kind == WireKind::UpdateStart && ok && config_.settleAfterUpdateStartMs > 0) {
    settleFrom_ = answerAtMs;
  }
}

void CConformanceChecker::TakeAnswer(WireKind kind, const uint8_t* m, size_t n,
                                     bool updateStartSeen) {
  if (pending_.empty()) {
    Violate(kind, std::string(KindName(kind)) + " that answers nothing the pedal asked", true);
    return;
  }
  const Pending p = pending_.front();
  pending_.pop_front();
  if (p.kind != kind) {
    Violate(kind, std::string(KindName(kind)) + " where " + KindName(p.kind) + " was owed", true);
  } else if (kind == WireKind::Ack && n >= 6 && m[5] != p.status) {
    Violate(kind, "Ack " + Num(m[5]) + " to a device command that gets Ack " + Num(p.status), true);
  } else if (kind == WireKind::IdentityReply && n >= 7) {
    const uint8_t d = m[6];
    if (updateStartSeen ? d != config_.family : d != 0x00 && !wire::Accepted(d)) {
      Violate(kind, "IdentityReply names device " + Hex(d) +
                        (updateStartSeen ? " after UpdateStart to " + Hex(config_.family)
                                         : std::string(" before any UpdateStart")));
    }
  }
}

void CConformanceChecker::Expect(WireKind kind, uint8_t status, uint64_t atMs) {
  pending_.push_back({kind, status, atMs});
}

void CConformanceChecker::OnFramingEvent(CPedalFramer::Heard event, bool damaged) {
  if (damaged) {
    lineDamaged_ = true;
    relaxed_ = true;
    // A damaged F0 leaves the rest of its message as loose bytes: part of the same fault.
    strayRun_ = event == CPedalFramer::Heard::StrayByte;
    return;
  }
  curDamaged_ = false;
  if (event == CPedalFramer::Heard::StrayByte) {
    if (!strayRun_) Violate(WireKind::Unknown, "bytes outside any message");
    strayRun_ = true;
    return;
  }
  strayRun_ = false;
  switch (event) {
    case CPedalFramer::Heard::RealTime:
      Violate(WireKind::Unknown, "real-time byte in the updater's stream");
      break;
    case CPedalFramer::Heard::Restarted:
      Violate(WireKind::Unknown, "an F0 cut a message short");
      break;
    case CPedalFramer::Heard::Aborted:
      Violate(WireKind::Unknown, "a status byte cut a message short");
      break;
    case CPedalFramer::Heard::Overlong:
      Violate(WireKind::Unknown, "a message longer than 16,384 bytes");
      break;
    default:
      break;
  }
}

void CConformanceChecker::OnOutboundDamage() {
  outboundDamage_ = true;
  relaxed_ = true;
}

void CConformanceChecker::OnLineReset(uint64_t nowMs, bool disconnected) {
  uint32_t count = 0;
  log_.AddViolations(Overdue(nowMs, disconnected, count));
  log_.Trace("    the updater closed the line");
  pending_.clear();
  strayRun_ = false;
  settleFrom_.reset();
}

void CConformanceChecker::Violate(WireKind kind, std::string what, bool order) {
  if (curDamaged_ || (order && (relaxed_ || resentAfterWait_))) {
    log_.Suppress();
    return;
  }
  if (order && repeated_) what += resendNote_;
  log_.AddViolation(kind, std::move(what));
}

std::vector<Violation> CConformanceChecker::Overdue(uint64_t nowMs, bool disconnected,
                                                    uint32_t& count) const {
  std::vector<Violation> out;
  for (const Pending& p : pending_) {
    if (p.atMs + kAnswerGraceMs > nowMs) continue;
    ++count;
    if (!outboundDamage_ && !lineDamaged_ && !disconnected) {
      out.push_back({log_.Received(), p.kind,
                     std::string("no ") + KindName(p.kind) + " to the pedal's own request"});
    }
  }
  return out;
}

}  // namespace px::sim
