#include "sim/conformance.h"

#include <algorithm>

#include "protocol/codec.h"
#include "protocol/messages.h"
#include "sim/inbound.h"

namespace px::sim {
namespace {

using wire::Hex;
using wire::Num;
using wire::PaddingOk;
using wire::SeptetOk;
using wire::U32;

// The updater answers the pedal's own requests at once; an answer missing for this long is lost.
constexpr uint64_t kAnswerGraceMs = 3000;
// A pause measured at the pedal may look a little shorter than the updater's own.
constexpr uint64_t kSettleToleranceMs = 10;

const char* StageName(int stage) {
  static const char* const kNames[] = {"before any IdentityRequest",
                                       "after IdentityRequest",
                                       "after GetSemaphore",
                                       "after AudioMute",
                                       "after UpdateStart",
                                       "after FileDelete",
                                       "after FileOpen",
                                       "after FileWrite",
                                       "after FileClose",
                                       "after RomErase",
                                       "during RomWrite",
                                       "after UpdateComplete"};
  return kNames[stage];
}

}  // namespace

CConformanceChecker::CConformanceChecker(const PedalConfig& config, CReportLog& log)
    : config_(config), log_(log), updaterKnowsId_(config.family == kDefaultDeviceId) {}

void CConformanceChecker::OnArrival(bool damaged) {
  // A flip into F7 ends a message early and leaves the rest of it as loose bytes.
  strayRun_ = damaged;
  curDamaged_ = damaged;
  if (damaged) {
    lineDamaged_ = true;
    relaxed_ = true;
  }
}

bool CConformanceChecker::Inspect(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs,
                                  bool updateStartSeen, bool& malformed) {
  malformed = false;
  if (!CheckAddress(kind, m, n, updateStartSeen)) return false;
  NoteRequest(kind, m, n, nowMs);
  const std::string bad = CheckLayout(kind, m, n);
  if (!bad.empty()) Violate(kind, bad);
  malformed = !bad.empty();
  CheckOrder(kind, m, n, nowMs);
  return true;
}

bool CConformanceChecker::CheckAddress(MessageKind kind, const uint8_t* m, size_t n,
                                       bool updateStartSeen) {
  if (m[1] != kManufacturer && m[1] != kUniversalNonRealTime) {
    Violate(kind, "manufacturer byte " + Hex(m[1]));
    return false;
  }
  if (n >= 4 && m[2] != 0x00) {
    Violate(kind, std::string(KindName(kind)) + " byte 2 is " + Hex(m[2]) + ", not 0x00");
  }
  if (m[1] == kManufacturer) {
    if (n >= 6 && m[3] == config_.family) updaterKnowsId_ = true;
    if (n < 6 || m[3] != config_.family) {
      // Until it has read the pedal's identity the updater answers with its default id (an Ack
      // 1 to a damaged identity reply, for instance).
      const bool early = kind == MessageKind::Ack && m[3] == kDefaultDeviceId && !updateStartSeen;
      if (!early) {
        Violate(kind, "device id " + (n >= 5 ? Hex(m[3]) : std::string("missing")) +
                          " in byte 3; this pedal is " + Hex(config_.family));
      }
      return false;
    }
    if (!IsAcceptedDeviceId(config_.family)) {
      Violate(kind, std::string(KindName(kind)) + " to a device whose family code " +
                        Hex(config_.family) + " the updater does not accept");
    }
  } else if (kind == MessageKind::Unknown) {
    Violate(kind, "universal message other than an identity request or reply");
    return false;
  }
  return true;
}

void CConformanceChecker::NoteRequest(MessageKind kind, const uint8_t* m, size_t n,
                                      uint64_t nowMs) {
  if (kind != MessageKind::Ack && kind != MessageKind::IdentityReply) {
    repeated_ = lastRequest_.size() == n && std::equal(m, m + n, lastRequest_.begin());
    resentAfterWait_ = config_.updaterReplyWaitMs > 0 && repeated_ &&
                       nowMs >= lastRequestAt_ + config_.updaterReplyWaitMs / 2;
    lastRequest_.assign(m, m + n);
    lastRequestAt_ = nowMs;
  } else {
    repeated_ = resentAfterWait_ = false;
  }
}

// Structure that a correct composer always gets right. A message that fails here is refused as
// malformed; what it asks for is not looked at.
std::string CConformanceChecker::CheckLayout(MessageKind kind, const uint8_t* m, size_t n) const {
  auto length = [&](size_t want) -> std::string {
    if (n == want) return {};
    return std::string(KindName(kind)) + " of " + Num(n) + " bytes, not " + Num(want);
  };
  switch (kind) {
    case MessageKind::IdentityRequest:
    case MessageKind::UpdateStart:
    case MessageKind::UpdateComplete:
      return length(6);
    case MessageKind::GetSemaphore:
    case MessageKind::AudioMute:
      return length(7);
    case MessageKind::ResultRequest:
      return length(8);
    case MessageKind::FileClose:
      if (n != 12) return length(12);
      return SeptetOk(m + 6) ? "" : "FileClose handle field with bits above 31";
    case MessageKind::FileDelete:
      return length(20);
    case MessageKind::FileOpen:
      if (n != 29) return length(29);
      if (!SeptetOk(m + 6)) return "FileOpen mode field with bits above 31";
      for (int i = 11; i < 16; ++i) {
        if (m[i] != 0) return "FileOpen byte " + Num(i) + " is " + Hex(m[i]) + ", not 0x00";
      }
      return {};
    case MessageKind::RomErase:
      if (n != 16) return length(16);
      if (!SeptetOk(m + 5) || !SeptetOk(m + 10)) return "RomErase field with bits above 31";
      return {};
    case MessageKind::RomWrite: {
      if (n < 18) return "RomWrite of " + Num(n) + " bytes, shorter than its fields";
      if (!SeptetOk(m + 5)) return "RomWrite address field with bits above 31";
      const size_t count = ReadSeptet14(m + 10);
      if (n != PackedSize(count) + kRomWriteOverhead) return {};  // refused for its length
      const size_t packed = PackedSize(count);
      if (!PaddingOk(m + 12, packed)) return "RomWrite payload with padding bits set";
      if (!SeptetOk(m + 12 + packed)) return "RomWrite CRC field with bits above 31";
      return {};
    }
    case MessageKind::FileWrite: {
      if (n < 22) return "FileWrite of " + Num(n) + " bytes, shorter than its fields";
      if (!SeptetOk(m + 6) || !SeptetOk(m + 11)) return "FileWrite field with bits above 31";
      const uint32_t count = U32(m + 11);
      if (count > kMaxChunk || n != PackedSize(count) + kFileWriteOverhead) return {};
      const size_t packed = PackedSize(count);
      if (!PaddingOk(m + 16, packed)) return "FileWrite payload with padding bits set";
      if (!SeptetOk(m + 16 + packed)) return "FileWrite CRC field with bits above 31";
      return {};
    }
    case MessageKind::Ack:
      if (n != 7) return length(7);
      return m[5] <= 1 ? "" : "Ack with status " + Num(m[5]) + "; the updater answers 0 or 1";
    case MessageKind::IdentityReply: {
      if (n != 15) return length(15);
      static const uint8_t kFixed[] = {0x52, 0, 0x00, 0x00, 0x00, '1', '0', '0', '0'};
      for (int i = 5; i < 14; ++i) {
        if (i == 6) continue;
        if (m[i] != kFixed[i - 5]) {
          return "IdentityReply byte " + Num(i) + " is " + Hex(m[i]) + ", not " +
                 Hex(kFixed[i - 5]);
        }
      }
      return {};
    }
    case MessageKind::Unknown:
      return {};
  }
  return {};
}

void CConformanceChecker::CheckOrder(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs) {
  auto slip = [&](const std::string& what) { Violate(kind, what, true); };
  if (kind == MessageKind::Ack || kind == MessageKind::IdentityReply) return;
  if (settleFrom_) {
    const uint64_t want = config_.settleAfterUpdateStartMs;
    if (nowMs + kSettleToleranceMs < *settleFrom_ + want) {
      slip(std::string(KindName(kind)) + " came " + Num(nowMs - std::min(nowMs, *settleFrom_)) +
           " ms after UpdateStart was answered; the updater pauses " + Num(want) + " ms");
    }
    settleFrom_.reset();
  }
  if (kind == MessageKind::IdentityRequest || kind == MessageKind::Unknown) return;
  const bool v1 = Variant1();
  const std::string where = std::string(KindName(kind)) + " " + StageName(static_cast<int>(stage_));
  const bool variantStep = kind == MessageKind::GetSemaphore || kind == MessageKind::AudioMute ||
                           kind == MessageKind::FileDelete || kind == MessageKind::FileOpen ||
                           kind == MessageKind::FileWrite || kind == MessageKind::FileClose ||
                           kind == MessageKind::ResultRequest;
  if (variantStep && !v1) {
    slip(std::string(KindName(kind)) + " sent to a device of member " + Num(config_.member) +
         "; only member 1 has it");
    return;
  }
  switch (kind) {
    case MessageKind::GetSemaphore:
      if (stage_ == Stage::Semaphore && granted_) {
        slip("GetSemaphore again after it was granted");
      } else if (stage_ != Stage::Identified && stage_ != Stage::Semaphore) {
        slip(where);
      }
      break;
    case MessageKind::AudioMute:
      if (stage_ != Stage::Semaphore || !granted_) slip(where + " without the semaphore granted");
      break;
    case MessageKind::UpdateStart:
      if (stage_ != (v1 ? Stage::Muted : Stage::Identified)) slip(where);
      break;
    case MessageKind::FileDelete:
      if (stage_ != Stage::Started) slip(where);
      break;
    case MessageKind::FileOpen:
      if (stage_ != Stage::FileDeleted) slip(where);
      break;
    case MessageKind::ResultRequest:
      if (!awaitingResult_) slip("ResultRequest with no file step to confirm (" + where + ")");
      break;
    case MessageKind::FileWrite: {
      if (stage_ != Stage::FileOpened && stage_ != Stage::FileWritten) {
        slip(where);
      } else if (!confirmed_) {
        slip("FileWrite before the previous file step was confirmed by ResultRequest");
      } else if (stage_ == Stage::FileWritten && shortChunk_) {
        slip("FileWrite after a short chunk, which should have been the last");
      }
      if (n >= 22 && U32(m + 11) > kUpdaterChunk) {
        slip("FileWrite chunk of " + Num(U32(m + 11)) + " bytes; the updater sends at most " +
             Num(kUpdaterChunk));
      }
      break;
    }
    case MessageKind::FileClose:
      if (stage_ != Stage::FileWritten) slip(where);
      break;
    case MessageKind::RomErase:
      if (eraseUnanswered_) {
        slip("RomErase sent again after a time-out");
      } else if (v1 ? (stage_ != Stage::FileClosed || fileFailed_) : stage_ != Stage::Started) {
        slip(where + (fileFailed_ ? " of a failed module file transfer" : ""));
      }
      if (n == 16 && (U32(m + 5) != kFlashBase || U32(m + 10) != kFlashSize)) {
        slip("RomErase of " + Hex(U32(m + 10), 8) + " bytes at " + Hex(U32(m + 5), 8) +
             "; the updater erases the whole MiB at " + Hex(kFlashBase, 8));
      }
      break;
    case MessageKind::RomWrite: {
      if (stage_ != Stage::Erased && stage_ != Stage::Writing) {
        slip(where);
        break;
      }
      if (n < 12) break;
      const uint32_t address = U32(m + 5);
      const uint32_t count = ReadSeptet14(m + 10);
      if (count == 0 || count > kUpdaterBlock) {
        slip("RomWrite block of " + Num(count) + " bytes; the updater writes 1 to " +
             Num(kUpdaterBlock));
      }
      if (!lastBlock_) {
        if (address != kFlashBase) {
          slip("first RomWrite at " + Hex(address, 8) + ", not " + Hex(kFlashBase, 8));
        }
      } else if (address == *lastBlock_) {
        if (lastBlockOk_) slip("RomWrite block at " + Hex(address, 8) + " resent after its Ack");
      } else if (!lastBlockOk_) {
        slip("RomWrite moved on to " + Hex(address, 8) + " after block " + Hex(*lastBlock_, 8) +
             " was refused or not answered");
      } else if (lastBlockLength_ != kUpdaterBlock) {
        slip("RomWrite after a short block at " + Hex(*lastBlock_, 8) +
             ", which should have been the last");
      } else if (address != *lastBlock_ + lastBlockLength_) {
        slip("RomWrite at " + Hex(address, 8) + "; the next block is at " +
             Hex(*lastBlock_ + lastBlockLength_, 8));
      }
      break;
    }
    case MessageKind::UpdateComplete:
      if (stage_ != Stage::Writing || !lastBlockOk_) {
        slip(where);
      } else if (config_.expectedImage && lastBlock_) {
        const uint64_t written = *lastBlock_ + lastBlockLength_ - kFlashBase;
        if (written != config_.expectedImage->size()) {
          slip("UpdateComplete after " + Num(static_cast<int64_t>(written)) + " of " +
               Num(static_cast<int64_t>(config_.expectedImage->size())) + " image bytes");
        }
      }
      break;
    default:
      break;
  }
}

void CConformanceChecker::Advance(MessageKind kind, const uint8_t* m, size_t n, bool ok,
                                  bool answered, uint64_t answerAtMs) {
  answered_ = answered;
  switch (kind) {
    case MessageKind::IdentityRequest:
      stage_ = ok ? Stage::Identified : Stage::None;
      // A new run starts afresh; a resend of the request does not, as earlier answers to it may
      // still be on their way.
      relaxed_ = curDamaged_ || (repeated_ && relaxed_);
      granted_ = confirmed_ = awaitingResult_ = fileFailed_ = shortChunk_ = false;
      eraseUnanswered_ = false;
      lastBlock_.reset();
      lastBlockOk_ = false;
      break;
    case MessageKind::GetSemaphore:
      if (stage_ == Stage::Identified || stage_ == Stage::Semaphore) stage_ = Stage::Semaphore;
      granted_ = ok;
      break;
    case MessageKind::AudioMute:
      if (ok) stage_ = Stage::Muted;
      break;
    case MessageKind::UpdateStart:
      if (ok) {
        stage_ = Stage::Started;
        if (config_.settleAfterUpdateStartMs > 0) settleFrom_ = answerAtMs;
      }
      break;
    case MessageKind::FileDelete:
      if (ok) stage_ = Stage::FileDeleted;
      break;
    case MessageKind::FileOpen:
      if (ok) {
        stage_ = Stage::FileOpened;
        awaitingResult_ = true;
        confirmed_ = false;
      }
      break;
    case MessageKind::ResultRequest:
      if (ok) {
        confirmed_ = true;
        awaitingResult_ = false;
      } else if (awaitingResult_ && answered_) {
        // Answered with a failure: the updater gives up on the file. Unanswered, it asks again.
        fileFailed_ = true;
        awaitingResult_ = false;
      }
      break;
    case MessageKind::FileWrite:
      if (stage_ == Stage::FileOpened || stage_ == Stage::FileWritten) stage_ = Stage::FileWritten;
      confirmed_ = false;
      awaitingResult_ = ok;
      if (!ok) fileFailed_ = true;
      shortChunk_ = n >= 22 && U32(m + 11) < kUpdaterChunk;
      break;
    case MessageKind::FileClose:
      if (ok && stage_ == Stage::FileWritten) stage_ = Stage::FileClosed;
      break;
    case MessageKind::RomErase:
      eraseUnanswered_ = !answered_;
      if (ok) {
        stage_ = Stage::Erased;
        lastBlock_.reset();
        lastBlockOk_ = false;
      }
      break;
    case MessageKind::RomWrite:
      if (stage_ == Stage::Erased || stage_ == Stage::Writing) {
        stage_ = Stage::Writing;
        if (n >= 12) {
          lastBlock_ = U32(m + 5);
          lastBlockLength_ = ReadSeptet14(m + 10);
        }
        lastBlockOk_ = ok;
      }
      break;
    case MessageKind::UpdateComplete:
      if (answered_ && stage_ == Stage::Writing) stage_ = Stage::Completed;
      break;
    default:
      break;
  }
}

void CConformanceChecker::TakeAnswer(MessageKind kind, const uint8_t* m, size_t n,
                                     bool updateStartSeen) {
  if (pending_.empty()) {
    Violate(kind, std::string(KindName(kind)) + " that answers nothing the pedal asked", true);
    return;
  }
  const Pending p = pending_.front();
  pending_.pop_front();
  if (p.kind != kind) {
    Violate(kind, std::string(KindName(kind)) + " where " + KindName(p.kind) + " was owed", true);
  } else if (kind == MessageKind::Ack && n >= 6 && m[5] != p.status) {
    Violate(kind, "Ack " + Num(m[5]) + " to a device command that gets Ack " + Num(p.status), true);
  } else if (kind == MessageKind::IdentityReply && n >= 7) {
    const uint8_t d = m[6];
    if (updateStartSeen ? d != config_.family : d != 0x00 && !IsAcceptedDeviceId(d)) {
      Violate(kind, "IdentityReply names device " + Hex(d) +
                        (updateStartSeen ? " after UpdateStart to " + Hex(config_.family)
                                         : std::string(" before any UpdateStart")));
    }
  }
}

void CConformanceChecker::Expect(MessageKind kind, uint8_t status, uint64_t atMs) {
  pending_.push_back({kind, status, atMs});
}

void CConformanceChecker::OnFramingEvent(CSysExFramer::Event event, bool damaged) {
  if (damaged) {
    lineDamaged_ = true;
    relaxed_ = true;
    // A damaged F0 leaves the rest of its message as loose bytes: part of the same fault.
    strayRun_ = event == CSysExFramer::Event::StrayByte;
    return;
  }
  curDamaged_ = false;
  if (event == CSysExFramer::Event::StrayByte) {
    if (!strayRun_) Violate(MessageKind::Unknown, "bytes outside any message");
    strayRun_ = true;
    return;
  }
  strayRun_ = false;
  switch (event) {
    case CSysExFramer::Event::RealTime:
      Violate(MessageKind::Unknown, "real-time byte in the updater's stream");
      break;
    case CSysExFramer::Event::Restarted:
      Violate(MessageKind::Unknown, "an F0 cut a message short");
      break;
    case CSysExFramer::Event::Aborted:
      Violate(MessageKind::Unknown, "a status byte cut a message short");
      break;
    case CSysExFramer::Event::Overlong:
      Violate(MessageKind::Unknown, "a message longer than 16,384 bytes");
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

void CConformanceChecker::Violate(MessageKind kind, std::string what, bool order) {
  if (curDamaged_ || (order && (relaxed_ || resentAfterWait_))) {
    log_.Suppress();
    return;
  }
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
