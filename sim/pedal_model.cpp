#include "sim/pedal_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/codec.h"
#include "protocol/messages.h"

namespace px::sim {
namespace {

constexpr size_t kListCap = 2000;
constexpr size_t kSequenceCap = 100000;
// What the updater sends: flash blocks of 12,288 bytes and file chunks of 4,096, the last of
// each shorter; files opened with mode 1.
constexpr uint32_t kUpdaterBlock = 12288;
constexpr uint32_t kUpdaterChunk = 4096;
constexpr uint32_t kOpenForWriting = 1;
constexpr uint32_t kMaxChunk = 65536;
// The updater answers the pedal's own requests at once; an answer missing for this long is lost.
constexpr uint64_t kAnswerGraceMs = 3000;
// A pause measured at the pedal may look a little shorter than the updater's own.
constexpr uint64_t kSettleToleranceMs = 10;

std::string Hex(uint32_t v, int width = 2) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

std::string Num(int64_t v) {
  return std::to_string(v);
}

// A correct encoder leaves bits 4 to 6 of a Septet32's fifth byte clear.
bool SeptetOk(const uint8_t* p) {
  return p[4] <= 0x0F;
}
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(DecodeSeptet32(p));
}

// Printable characters, a NUL within the field, and nothing but zeros after it.
bool ReadName(const uint8_t* p, size_t width, std::string& name) {
  size_t len = 0;
  while (len < width && p[len] != 0) ++len;
  if (len == 0 || len == width) return false;
  for (size_t i = 0; i < len; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  }
  for (size_t i = len; i < width; ++i) {
    if (p[i] != 0) return false;
  }
  name.assign(reinterpret_cast<const char*>(p), len);
  return true;
}

// The top-bits byte of a short last group has no bits set for its missing bytes.
bool PaddingOk(const uint8_t* packed, size_t packedCount) {
  const size_t rest = packedCount % 8;
  if (rest == 0) return true;
  if (rest == 1) return false;  // a group without data bytes
  const uint8_t top = packed[packedCount - rest];
  return (top & (0x7F >> (rest - 1))) == 0;
}

bool IsDeviceSpecific(const uint8_t* m) {
  return m[1] == kManufacturer;
}

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

// Device commands the pedal may slip in, with the Ack the updater owes for each.
struct DeviceCommand {
  uint8_t command;
  uint8_t expected;
};
constexpr DeviceCommand kDeviceCommands[] = {{0x01, 0}, {0x04, 0}, {0x05, 0}, {0x06, 1}, {0x0B, 1},
                                             {0x10, 1}, {0x33, 1}, {0x61, 1}, {0x7F, 1}};

}  // namespace

CPedalModel::CPedalModel(const PedalConfig& config)
    : config_(config),
      rng_(config.seed),
      updaterKnowsId_(config.family == kDefaultDeviceId),
      flash_(kFlashSize),
      cells_(kFlashSize, Cell::Old),
      files_(config.initialFiles) {
  for (uint32_t i = 0; i < kFlashSize; ++i) flash_[i] = OldFirmwareByte(i);
  batteryLow_ = config.batteryLow || config.batteryLowAfterBlock == 0;
}

MessageKind CPedalModel::Classify(const uint8_t* m, size_t n) const {
  if (n >= 6 && m[1] == kUniversalNonRealTime && m[3] == kGeneralInformation) {
    if (m[4] == kIdentityRequestCode) return MessageKind::IdentityRequest;
    if (m[4] == kIdentityReplyCode) return MessageKind::IdentityReply;
    return MessageKind::Unknown;
  }
  if (n < 6 || m[1] != kManufacturer) return MessageKind::Unknown;
  switch (m[4]) {
    case kCmdAck:
      return MessageKind::Ack;
    case kCmdUpdateStart:
      return MessageKind::UpdateStart;
    case kCmdRomWrite:
      return MessageKind::RomWrite;
    case kCmdUpdateComplete:
      return MessageKind::UpdateComplete;
    case kCmdRomErase:
      return MessageKind::RomErase;
    case kCmdFile:
      if (n < 7) return MessageKind::Unknown;
      switch (m[5]) {
        case kSubResult:
          return MessageKind::ResultRequest;
        case kSubGetSemaphore:
          return MessageKind::GetSemaphore;
        case kSubFileOpen:
          return MessageKind::FileOpen;
        case kSubFileClose:
          return MessageKind::FileClose;
        case kSubFileWrite:
          return MessageKind::FileWrite;
        case kSubFileDelete:
          return MessageKind::FileDelete;
        default:
          return MessageKind::Unknown;
      }
    case kCmdAudio:
      return n >= 7 && m[5] == kSubAudioMute ? MessageKind::AudioMute : MessageKind::Unknown;
    default:
      return MessageKind::Unknown;
  }
}

// Structure that a correct composer always gets right. A message that fails here is refused as
// malformed; what it asks for is not looked at.
std::string CPedalModel::CheckLayout(MessageKind kind, const uint8_t* m, size_t n) const {
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

void CPedalModel::CheckOrder(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs) {
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

void CPedalModel::AdvanceOrder(MessageKind kind, const uint8_t* m, size_t n, bool ok,
                               uint64_t answerAtMs) {
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

const FaultRule* CPedalModel::MatchRule(MessageKind kind, const uint8_t* m, size_t n) {
  // The updater's answers to the pedal's own requests get no answer to play with.
  if (kind == MessageKind::Ack || kind == MessageKind::IdentityReply) return nullptr;
  std::optional<uint32_t> block;
  if (kind == MessageKind::RomWrite && n >= 12) {
    block = U32(m + 5);
    ++blockSends_[*block];
    if (!blockIndex_.count(*block)) {
      blockIndex_[*block] = static_cast<int32_t>(blockIndex_.size());
    }
  }
  for (const FaultRule& rule : config_.rules) {
    if (rule.kind && *rule.kind != kind) continue;
    uint64_t occurrence = rule.kind ? byKind_[static_cast<size_t>(kind)] : received_;
    if (rule.block >= 0 || rule.address) {
      if (!block) continue;
      if (rule.address && *rule.address != *block) continue;
      if (rule.block >= 0 && blockIndex_[*block] != rule.block) continue;
      occurrence = blockSends_[*block];
    }
    if (occurrence <= kForever && rule.when.Contains(static_cast<uint32_t>(occurrence))) {
      return &rule;
    }
  }
  return nullptr;
}

CPedalModel::Reply CPedalModel::Natural(MessageKind kind, int32_t value) const {
  switch (kind) {
    case MessageKind::FileDelete:
    case MessageKind::FileOpen:
    case MessageKind::FileWrite:
    case MessageKind::FileClose:
      if (Variant1()) return {Reply::Type::Value, value, 0};
      break;
    case MessageKind::ResultRequest:
      if (Variant1()) return {Reply::Type::Result, value, 0};
      break;
    default:
      break;
  }
  return {Reply::Type::Ack, value, 0};
}

bool CPedalModel::ReadsAsSuccess(MessageKind kind, const Reply& reply) const {
  switch (reply.type) {
    case Reply::Type::None:
      return false;
    case Reply::Type::Identity:
      return true;
    case Reply::Type::Ack:
    case Reply::Type::Result:
      return (reply.value & 0x7F) == 0;
    case Reply::Type::Value:
      return reply.value == 0 ||
             (kind == MessageKind::FileDelete && reply.value == status::kFileNotFound);
    case Reply::Type::Code:
      if (reply.value == 34) return reply.extra >= 0;
      return reply.value == 2 || reply.value == 17 || reply.value == 32 || reply.value == 37 ||
             reply.value == 38 || reply.value == 41;
  }
  return false;
}

std::vector<uint8_t> CPedalModel::Compose(const Reply& reply) const {
  const uint8_t id = config_.family;
  std::vector<uint8_t> out(32);
  int n = 0;
  switch (reply.type) {
    case Reply::Type::None:
      return {};
    case Reply::Type::Identity:
      n = ComposeIdentityReply(out.data(), config_.family, config_.member, config_.revision.data());
      break;
    case Reply::Type::Ack:
      n = ComposeAck(out.data(), id, static_cast<uint8_t>(reply.value & 0x7F));
      break;
    case Reply::Type::Result:
      out = {kSysExStart,
             kManufacturer,
             0x00,
             id,
             kCmdFile,
             kSubResult,
             static_cast<uint8_t>(reply.value & 0x7F),
             kSysExEnd};
      return out;
    case Reply::Type::Value:
      out = {kSysExStart, kManufacturer, 0x00, id, kCmdFile, kSubValueReply};
      out.resize(11);
      EncodeSeptet32(static_cast<uint32_t>(reply.value), out.data() + 6);
      out.push_back(kSysExEnd);
      return out;
    case Reply::Type::Code:
      out = {kSysExStart,
             kManufacturer,
             0x00,
             id,
             kCmdFile,
             kSubCodeReply,
             static_cast<uint8_t>(reply.value & 0x7F)};
      if (reply.value == 34) {
        out.resize(16, 0x00);  // error field 0, a field not examined, then the value
        EncodeSeptet32(static_cast<uint32_t>(reply.extra), out.data() + 11);
      }
      out.push_back(kSysExEnd);
      return out;
  }
  out.resize(static_cast<size_t>(n));
  return out;
}

CPedalModel::Outcome CPedalModel::Execute(MessageKind kind, const uint8_t* m, size_t n,
                                          bool malformed) {
  auto ack = [&](uint8_t s, const std::string& why = {}, bool updaterFault = false) {
    if (s != status::kOk) {
      Refuse(kind, s, why);
      if (updaterFault) Violate(kind, why);
    }
    return Outcome{{Reply::Type::Ack, s, 0}, 0, why};
  };
  const bool fileKind = kind == MessageKind::FileDelete || kind == MessageKind::FileOpen ||
                        kind == MessageKind::FileWrite || kind == MessageKind::FileClose ||
                        kind == MessageKind::ResultRequest;
  if (fileKind && !Variant1()) {
    return ack(status::kUnknownCommand, "this member has no file system");
  }
  if (kind == MessageKind::GetSemaphore || kind == MessageKind::AudioMute) {
    if (!Variant1()) return ack(status::kUnknownCommand, "this member has no semaphore");
  }
  switch (kind) {
    case MessageKind::IdentityRequest:
      return {{Reply::Type::Identity, 0, 0}, 0, {}};
    case MessageKind::IdentityReply:
    case MessageKind::Ack: {
      const MessageKind want = kind;
      if (pending_.empty()) {
        Violate(kind, std::string(KindName(kind)) + " that answers nothing the pedal asked", true);
      } else {
        const Pending p = pending_.front();
        pending_.pop_front();
        if (p.kind != want) {
          Violate(kind, std::string(KindName(kind)) + " where " + KindName(p.kind) + " was owed",
                  true);
        } else if (kind == MessageKind::Ack && n >= 6 && m[5] != p.status) {
          Violate(kind, "Ack " + Num(m[5]) + " to a device command that gets Ack " + Num(p.status),
                  true);
        } else if (kind == MessageKind::IdentityReply && n >= 7) {
          const uint8_t d = m[6];
          if (updateStartSeen_ ? d != config_.family : d != 0x00 && !IsAcceptedDeviceId(d)) {
            Violate(kind, "IdentityReply names device " + Hex(d) +
                              (updateStartSeen_ ? " after UpdateStart to " + Hex(config_.family)
                                                : std::string(" before any UpdateStart")));
          }
        }
      }
      return {};
    }
    case MessageKind::Unknown:
      return ack(status::kUnknownCommand, "unknown command", true);
    case MessageKind::UpdateStart:
      if (malformed) return ack(status::kMalformed, "malformed");
      updateStartSeen_ = true;
      if (!config_.updateModeReady) return ack(status::kNotInUpdateMode, "not in update mode");
      if (batteryLow_) return ack(status::kBatteryLow, "battery low");
      if (Variant1() && !semaphore_) return ack(status::kNoSemaphore, "semaphore not held");
      updateMode_ = true;
      return ack(status::kOk);
    case MessageKind::UpdateComplete:
      if (malformed) return ack(status::kMalformed, "malformed");
      if (!updateMode_ && !updateComplete_) {
        return ack(status::kNotInUpdateMode, "not in update mode");
      }
      updateMode_ = false;
      updateComplete_ = true;
      return ack(status::kOk);
    case MessageKind::GetSemaphore:
      if (malformed) return ack(status::kMalformed, "malformed");
      if (batteryLow_) return ack(status::kSemaphoreBatteryLow, "battery low");
      if (semaphoreRefused_ < config_.semaphoreRefusals) {
        ++semaphoreRefused_;
        return ack(config_.semaphoreRefusalStatus, "semaphore held elsewhere");
      }
      semaphore_ = true;
      return ack(status::kOk);
    case MessageKind::AudioMute:
      if (malformed) return ack(status::kMalformed, "malformed");
      if (!semaphore_) return ack(status::kNoSemaphore, "semaphore not held");
      muted_ = true;
      return ack(status::kOk);
    case MessageKind::RomErase:
      return RomErase(m, malformed);
    case MessageKind::RomWrite:
      return RomWrite(m, n, malformed);
    case MessageKind::FileWrite:
      return FileWrite(m, n, malformed);
    case MessageKind::FileDelete:
    case MessageKind::FileOpen:
    case MessageKind::FileClose:
      return FileStep(kind, m, malformed);
    case MessageKind::ResultRequest: {
      if (malformed) {
        Refuse(kind, status::kMalformed, "malformed");
        return {{Reply::Type::Result, status::kMalformed, 0}, 0, "malformed"};
      }
      if (n >= 8 && m[6] != 0) {
        Violate(kind, "ResultRequest argument " + Num(m[6]) + "; the updater sends 0");
      }
      if (!lastFileStatus_) {
        Refuse(kind, status::kNothingToConfirm, "no file step to confirm");
        return {{Reply::Type::Result, status::kNothingToConfirm, 0}, 0, {}};
      }
      const int32_t v = *lastFileStatus_;
      const int32_t s = v >= 0 ? 0 : std::min<int32_t>(-v, 127);
      return {{Reply::Type::Result, s, 0}, 0, {}};
    }
  }
  return {};
}

CPedalModel::Outcome CPedalModel::RomErase(const uint8_t* m, bool malformed) {
  const MessageKind kind = MessageKind::RomErase;
  auto refuse = [&](uint8_t s, const std::string& why, bool updaterFault) {
    Refuse(kind, s, why);
    if (updaterFault) Violate(kind, why);
    return Outcome{{Reply::Type::Ack, s, 0}, 0, why};
  };
  if (malformed) return refuse(status::kMalformed, "malformed", false);
  if (!updateMode_) return refuse(status::kNotInUpdateMode, "not in update mode", false);
  if (batteryLow_) return refuse(status::kBatteryLow, "battery low", false);
  const uint64_t address = U32(m + 5);
  const uint64_t size = U32(m + 10);
  if (size == 0 || address < kFlashBase || address - kFlashBase + size > kFlashSize ||
      (address - kFlashBase) % kFlashSector != 0 || size % kFlashSector != 0) {
    return refuse(status::kOutOfRange,
                  "erase of " + Hex(static_cast<uint32_t>(size), 8) + " bytes at " +
                      Hex(static_cast<uint32_t>(address), 8) + " is not whole sectors of the flash",
                  true);
  }
  const size_t from = static_cast<size_t>(address - kFlashBase);
  std::fill(flash_.begin() + from, flash_.begin() + from + size, 0xFF);
  std::fill(cells_.begin() + from, cells_.begin() + from + size, Cell::Erased);
  const uint32_t busy = static_cast<uint32_t>(uint64_t{config_.eraseTimeMs} * size / kFlashSize);
  return {{Reply::Type::Ack, status::kOk, 0}, busy, {}};
}

CPedalModel::Outcome CPedalModel::RomWrite(const uint8_t* m, size_t n, bool malformed) {
  const MessageKind kind = MessageKind::RomWrite;
  auto refuse = [&](uint8_t s, const std::string& why, bool updaterFault) {
    Refuse(kind, s, why);
    if (updaterFault) Violate(kind, why);
    return Outcome{{Reply::Type::Ack, s, 0}, 0, why};
  };
  if (!updateMode_) return refuse(status::kNotInUpdateMode, "not in update mode", false);
  if (batteryLow_) return refuse(status::kBatteryLow, "battery low", false);
  const uint32_t count = ReadSeptet14(m + 10);
  const size_t packed = PackedSize(count);
  if (count == 0 || n != packed + kRomWriteOverhead) {
    return refuse(status::kBadLength,
                  "length field says " + Num(count) + " bytes, the message carries " +
                      Num(static_cast<int64_t>(n) - static_cast<int64_t>(kRomWriteOverhead)) +
                      " packed bytes",
                  true);
  }
  if (malformed) return refuse(status::kMalformed, "malformed", false);
  const uint64_t address = U32(m + 5);
  if (address < kFlashBase || address - kFlashBase + count > kFlashSize) {
    return refuse(status::kOutOfRange,
                  Num(count) + " bytes at " + Hex(static_cast<uint32_t>(address), 8) +
                      " do not lie in the flash",
                  true);
  }
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + 12, packed);
  raw.resize(count);
  const uint32_t crc = U32(m + 12 + packed);
  if (crc != BlockCrc32(raw.data(), count)) {
    return refuse(status::kBadCrc, "CRC field does not match the data", true);
  }
  const size_t from = static_cast<size_t>(address - kFlashBase);
  bool anyOld = false;
  bool anyWritten = false;
  bool allWritten = true;
  for (size_t i = from; i < from + count; ++i) {
    anyOld = anyOld || cells_[i] == Cell::Old;
    anyWritten = anyWritten || cells_[i] == Cell::Written;
    allWritten = allWritten && cells_[i] == Cell::Written;
  }
  if (anyOld) return refuse(status::kNotErased, "range not erased", false);
  if (anyWritten) {
    // The same block again, most likely because its answer went missing: nothing to do.
    if (allWritten && std::equal(raw.begin(), raw.end(), flash_.begin() + from)) {
      ++repeatedBlocks_;
      return {{Reply::Type::Ack, status::kOk, 0}, 0, {}};
    }
    return refuse(status::kWrittenTwice, "range already written with other data", true);
  }
  std::copy(raw.begin(), raw.end(), flash_.begin() + from);
  std::fill(cells_.begin() + from, cells_.begin() + from + count, Cell::Written);
  ++blocksStored_;
  if (config_.batteryLowAfterBlock > 0 &&
      blocksStored_ >= static_cast<uint32_t>(config_.batteryLowAfterBlock)) {
    batteryLow_ = true;
  }
  return {{Reply::Type::Ack, status::kOk, 0}, config_.writeTimeMs, {}};
}

CPedalModel::Outcome CPedalModel::FileWrite(const uint8_t* m, size_t n, bool malformed) {
  const MessageKind kind = MessageKind::FileWrite;
  justClosed_.reset();
  auto value = [&](int32_t v, const std::string& why, bool updaterFault) {
    lastFileStatus_ = v;
    if (v != 0) Refuse(kind, v, why);
    if (updaterFault) Violate(kind, why);
    return Outcome{{Reply::Type::Value, v, 0}, 0, why};
  };
  if (!updateMode_) return value(status::kFileNotInUpdateMode, "not in update mode", false);
  const uint32_t count = U32(m + 11);
  if (count > kMaxChunk || n != PackedSize(count) + kFileWriteOverhead) {
    return value(status::kInvalid,
                 "length field says " + Num(count) + " bytes, the message carries " +
                     Num(static_cast<int64_t>(n) - static_cast<int64_t>(kFileWriteOverhead)) +
                     " packed bytes",
                 true);
  }
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  const uint32_t handle = U32(m + 6);
  if (!openFile_) return value(status::kBadHandle, "no file is open", false);
  if (handle != 0) {
    return value(status::kBadHandle, "handle " + Num(handle) + "; FileOpen gave 0", true);
  }
  const size_t packed = PackedSize(count);
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + 16, packed);
  raw.resize(count);
  if (U32(m + 16 + packed) != BlockCrc32(raw.data(), count)) {
    return value(status::kFileBadCrc, "CRC field does not match the data", true);
  }
  size_t used = 0;
  for (const auto& [name, bytes] : files_) used += bytes.size();
  if (used + count > config_.fileSystemBytes) return value(status::kNoSpace, "no space", false);
  std::vector<uint8_t>& file = files_[*openFile_];
  file.insert(file.end(), raw.begin(), raw.end());
  return value(0, {}, false);
}

CPedalModel::Outcome CPedalModel::FileStep(MessageKind kind, const uint8_t* m, bool malformed) {
  auto value = [&](int32_t v, const std::string& why, bool updaterFault) {
    lastFileStatus_ = v;
    if (v != 0 && !(kind == MessageKind::FileDelete && v == status::kFileNotFound)) {
      Refuse(kind, v, why);
    }
    if (updaterFault) Violate(kind, why);
    return Outcome{{Reply::Type::Value, v, 0}, 0, why};
  };
  std::optional<std::string> closed;
  closed.swap(justClosed_);
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  if (!updateMode_) return value(status::kFileNotInUpdateMode, "not in update mode", false);
  std::string name;
  switch (kind) {
    case MessageKind::FileDelete:
      if (!ReadName(m + 6, kFileDeleteNameField, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      if (openFile_ == name) openFile_.reset();
      return value(files_.erase(name) ? 0 : status::kFileNotFound, {}, false);
    case MessageKind::FileOpen: {
      if (!ReadName(m + 16, kFileOpenNameField, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      const uint32_t mode = U32(m + 6);
      if (mode != kOpenForWriting) {
        return value(status::kInvalid, "open mode " + Num(mode) + "; the updater opens with 1",
                     true);
      }
      // A run that failed may have left a file open: opening anew closes it.
      openFile_ = name;
      files_[name].clear();
      return value(0, {}, false);
    }
    case MessageKind::FileClose: {
      const uint32_t handle = U32(m + 6);
      if (openFile_ && handle == 0) {
        justClosed_ = openFile_;
        openFile_.reset();
        return value(0, {}, false);
      }
      if (!openFile_ && closed && handle == 0) {
        justClosed_ = closed;  // the same FileClose again: its answer must have gone missing
        return value(0, {}, false);
      }
      return value(status::kBadHandle, "handle " + Num(handle) + " is not open",
                   openFile_.has_value());
    }
    default:
      return {};
  }
}

void CPedalModel::Extra(FaultAction action, uint64_t nowMs, std::vector<Output>& out) {
  Output o;
  switch (action) {
    case FaultAction::AskIdentity:
      o.bytes.assign(IdentityRequest.begin(), IdentityRequest.end());
      o.bytes[2] = 0x7F;  // to whoever listens
      pending_.push_back({MessageKind::IdentityReply, 0, nowMs});
      break;
    case FaultAction::UnknownCommand: {
      // Between our identity reply and its next request, whether the updater already goes by our
      // id (and answers) is a matter of thread timing: say nothing then.
      if (!updaterKnowsId_ && identitySent_) return;
      const DeviceCommand& c =
          kDeviceCommands[rng_() % (sizeof kDeviceCommands / sizeof kDeviceCommands[0])];
      o.bytes = {kSysExStart, kManufacturer, 0x00, config_.family, c.command, kSysExEnd};
      // An updater that does not know our id yet rightly ignores the command.
      if (updaterKnowsId_) pending_.push_back({MessageKind::Ack, c.expected, nowMs});
      break;
    }
    case FaultAction::StrayBytes:
      // Nothing here may read as a reply: data bytes and F7 outside a message, a note, another
      // maker's message, a cut message, a message for another device id.
      switch (rng_() % 5) {
        case 0:
          for (int i = 0, k = 1 + static_cast<int>(rng_() % 6); i < k; ++i) {
            o.bytes.push_back(static_cast<uint8_t>(rng_() & 0x7F));
          }
          o.bytes.push_back(kSysExEnd);
          break;
        case 1:
          o.bytes = {0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00};
          break;
        case 2:
          o.bytes = {kSysExStart, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, kSysExEnd};
          break;
        case 3:
          o.bytes = {kSysExStart, kManufacturer, 0x00, config_.family, 0x00};
          break;
        default:
          o.bytes = {kSysExStart, kManufacturer, 0x00, 0x10, 0x00, 0x00, kSysExEnd};
          break;
      }
      break;
    default:
      return;
  }
  out.push_back(std::move(o));
}

void CPedalModel::OnMessage(const uint8_t* m, size_t n, bool damaged, uint64_t nowMs,
                            std::vector<Output>& out) {
  // A flip into F7 ends a message early and leaves the rest of it as loose bytes.
  strayRun_ = damaged;
  curDamaged_ = damaged;
  if (damaged) {
    ++damaged_;
    relaxed_ = true;
  }
  if (n < 2 || m[0] != kSysExStart) return;
  ++received_;
  const MessageKind kind = Classify(m, n);
  ++byKind_[static_cast<size_t>(kind)];
  if (sequence_.size() < kSequenceCap) sequence_.push_back(kind);
  if (config_.trace) config_.trace("in  #" + Num(received_) + " " + Describe(m, n));

  if (m[1] != kManufacturer && m[1] != kUniversalNonRealTime) {
    Violate(kind, "manufacturer byte " + Hex(m[1]));
    return;
  }
  if (n >= 4 && m[2] != 0x00) {
    Violate(kind, std::string(KindName(kind)) + " byte 2 is " + Hex(m[2]) + ", not 0x00");
  }
  if (IsDeviceSpecific(m)) {
    if (n >= 6 && m[3] == config_.family) updaterKnowsId_ = true;
    if (n < 6 || m[3] != config_.family) {
      // Until it has read the pedal's identity the updater answers with its default id (an Ack
      // 1 to a damaged identity reply, for instance).
      const bool early = kind == MessageKind::Ack && m[3] == kDefaultDeviceId && !updateStartSeen_;
      if (!early) {
        Violate(kind, "device id " + (n >= 5 ? Hex(m[3]) : std::string("missing")) +
                          " in byte 3; this pedal is " + Hex(config_.family));
      }
      return;
    }
    if (!IsAcceptedDeviceId(config_.family)) {
      Violate(kind, std::string(KindName(kind)) + " to a device whose family code " +
                        Hex(config_.family) + " the updater does not accept");
    }
  } else if (kind == MessageKind::Unknown) {
    Violate(kind, "universal message other than an identity request or reply");
    return;
  }

  if (kind != MessageKind::Ack && kind != MessageKind::IdentityReply) {
    repeated_ = lastRequest_.size() == n && std::equal(m, m + n, lastRequest_.begin());
    resentAfterWait_ = config_.updaterReplyWaitMs > 0 && repeated_ &&
                       nowMs >= lastRequestAt_ + config_.updaterReplyWaitMs / 2;
    lastRequest_.assign(m, m + n);
    lastRequestAt_ = nowMs;
  } else {
    repeated_ = resentAfterWait_ = false;
  }
  const std::string bad = CheckLayout(kind, m, n);
  if (!bad.empty()) Violate(kind, bad);
  CheckOrder(kind, m, n, nowMs);

  const FaultRule* rule = MatchRule(kind, m, n);
  const FaultAction action = rule ? rule->action : FaultAction::Silence;
  Outcome outcome;
  if (rule) Fire(kind, FormatFaultRule(*rule));
  if (rule && action == FaultAction::Disconnect) {
    out.push_back({0, {}, true});
    return;
  }
  if (!rule || action == FaultAction::Late || action == FaultAction::Duplicate ||
      action == FaultAction::AskIdentity || action == FaultAction::UnknownCommand ||
      action == FaultAction::StrayBytes) {
    outcome = Execute(kind, m, n, !bad.empty());
  } else {
    switch (action) {
      case FaultAction::Status:
        outcome.reply = kind == MessageKind::IdentityRequest || kind == MessageKind::Unknown
                            ? Reply{Reply::Type::Ack, rule->value, 0}
                            : Natural(kind, rule->value);
        break;
      case FaultAction::Ack:
        outcome.reply = {Reply::Type::Ack, rule->value, 0};
        break;
      case FaultAction::ValueReply:
        outcome.reply = {Reply::Type::Value, rule->value, 0};
        break;
      case FaultAction::ResultReply:
        outcome.reply = {Reply::Type::Result, rule->value, 0};
        break;
      case FaultAction::CodeReply:
        outcome.reply = {Reply::Type::Code, rule->value, rule->extra};
        // Most codes leave the updater's status as it was: it may read an old one.
        if (!ReadsAsSuccess(kind, outcome.reply)) relaxed_ = true;
        break;
      default:
        break;  // Silence
    }
  }

  uint32_t delay = config_.replyLatencyMs + outcome.busyMs;
  if (rule && action == FaultAction::Late) delay += static_cast<uint32_t>(std::max(rule->value, 0));
  answered_ = outcome.reply.type != Reply::Type::None;
  const bool ok = ReadsAsSuccess(kind, outcome.reply);
  AdvanceOrder(kind, m, n, ok, nowMs + delay);
  // A late or second answer may satisfy a later wait. After the order moved on, since an
  // IdentityRequest starts the order afresh.
  if (rule && (action == FaultAction::Late || action == FaultAction::Duplicate)) relaxed_ = true;
  if (!answered_) return;

  const size_t first = out.size();
  if (rule && (action == FaultAction::AskIdentity || action == FaultAction::UnknownCommand ||
               action == FaultAction::StrayBytes)) {
    Extra(action, nowMs + delay, out);
  }
  if (kind == MessageKind::RomWrite && config_.line.askIdentityAtBlock >= 0 && n >= 12 &&
      blockIndex_[U32(m + 5)] == config_.line.askIdentityAtBlock && blockSends_[U32(m + 5)] == 1) {
    Fire(kind,
         "own IdentityRequest before the answer to block " + Num(config_.line.askIdentityAtBlock));
    Extra(FaultAction::AskIdentity, nowMs + delay, out);
  }
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  if (config_.line.strayRate > 0 && chance(rng_) < config_.line.strayRate) {
    Extra(FaultAction::StrayBytes, nowMs + delay, out);
  }
  if (config_.line.unknownCommandRate > 0 && chance(rng_) < config_.line.unknownCommandRate) {
    Extra(FaultAction::UnknownCommand, nowMs + delay, out);
  }
  out.push_back({0, Compose(outcome.reply), false});
  out[first].delayMs = delay;
  if (rule && action == FaultAction::Duplicate) {
    out.push_back({config_.replyLatencyMs, Compose(outcome.reply), false});
  }
  if (outcome.reply.type == Reply::Type::Identity) identitySent_ = true;
}

void CPedalModel::OnFramingEvent(CSysExFramer::Event event, bool damaged) {
  if (event == CSysExFramer::Event::None || event == CSysExFramer::Event::Message) return;
  if (damaged) {
    ++damaged_;
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

void CPedalModel::OnLineReset(uint64_t nowMs) {
  uint32_t count = 0;
  for (Violation& v : Overdue(nowMs, count)) {
    if (violations_.size() < kListCap) violations_.push_back(std::move(v));
  }
  if (config_.trace) config_.trace("    the updater closed the line");
  pending_.clear();
  strayRun_ = false;
  settleFrom_.reset();
}

void CPedalModel::OnOutboundDamage() {
  ++damagedAnswers_;
  outboundDamage_ = true;
  relaxed_ = true;
}

void CPedalModel::Violate(MessageKind kind, std::string what, bool order) {
  if (curDamaged_ || (order && (relaxed_ || resentAfterWait_))) {
    ++suppressed_;
    return;
  }
  if (violations_.size() < kListCap) violations_.push_back({received_, kind, std::move(what)});
  if (config_.trace) config_.trace("    violation: " + violations_.back().what);
}

void CPedalModel::Refuse(MessageKind kind, int32_t s, const std::string& why) {
  if (refusals_.size() < kListCap) refusals_.push_back({received_, kind, s, why});
}

void CPedalModel::Fire(MessageKind kind, std::string what) {
  if (faults_.size() < kListCap) faults_.push_back({received_, kind, what});
  if (config_.trace) config_.trace("    fault: " + what);
}

std::vector<Violation> CPedalModel::Overdue(uint64_t nowMs, uint32_t& count) const {
  std::vector<Violation> out;
  for (const Pending& p : pending_) {
    if (p.atMs + kAnswerGraceMs > nowMs) continue;
    ++count;
    if (!outboundDamage_ && damaged_ == 0 && !disconnected_) {
      out.push_back({received_, p.kind,
                     std::string("no ") + KindName(p.kind) + " to the pedal's own request"});
    }
  }
  return out;
}

PedalReport CPedalModel::Report(uint64_t nowMs) const {
  PedalReport r;
  r.family = config_.family;
  r.member = config_.member;
  r.messagesByKind = byKind_;
  r.messagesReceived = received_;
  r.sequence = sequence_;
  r.violations = violations_;
  r.suppressedViolations = suppressed_;
  for (Violation& v : Overdue(nowMs, r.unansweredDeviceRequests)) {
    r.violations.push_back(std::move(v));
  }
  r.refusals = refusals_;
  r.faults = faults_;
  r.damagedMessages = damaged_;
  r.damagedAnswers = damagedAnswers_;
  r.repeatedBlocks = repeatedBlocks_;
  r.blocksStored = blocksStored_;
  r.semaphoreHeld = semaphore_;
  r.audioMuted = muted_;
  r.updateMode = updateMode_;
  r.updateComplete = updateComplete_;
  r.batteryLow = batteryLow_;
  r.disconnected = disconnected_;
  for (const auto& [name, bytes] : files_) {
    FileReport f;
    f.name = name;
    f.size = static_cast<uint32_t>(bytes.size());
    f.crc32 = Crc32(bytes.data(), bytes.size());
    f.open = openFile_ == name;
    auto expected = config_.expectedFiles.find(name);
    if (expected != config_.expectedFiles.end()) f.matchesExpected = expected->second == bytes;
    f.contents = bytes;
    r.files.push_back(std::move(f));
  }
  for (const auto& [name, bytes] : config_.expectedFiles) {
    if (!files_.count(name)) r.missingFiles.push_back(name);
  }
  r.flash.crc32 = Crc32(flash_.data(), flash_.size());
  for (Cell c : cells_) {
    if (c == Cell::Written) ++r.flash.bytesWritten;
    if (c == Cell::Erased) ++r.flash.bytesErased;
    if (c == Cell::Old) ++r.flash.bytesOld;
  }
  if (config_.expectedImage) {
    const std::vector<uint8_t>& image = *config_.expectedImage;
    r.flash.expectedImageGiven = true;
    r.flash.imageSize = static_cast<uint32_t>(image.size());
    r.flash.imageCrc32 = Crc32(image.data(), image.size());
    for (size_t i = 0; i < kFlashSize && r.flash.firstMismatch < 0; ++i) {
      const bool good = i < image.size() ? cells_[i] == Cell::Written && flash_[i] == image[i]
                                         : cells_[i] == Cell::Erased;
      if (!good) r.flash.firstMismatch = static_cast<int64_t>(i);
    }
    if (image.size() > kFlashSize) r.flash.firstMismatch = kFlashSize;
    r.flash.matchesImage = r.flash.firstMismatch < 0;
  }
  r.flashContents = flash_;
  return r;
}

std::string CPedalModel::Describe(const uint8_t* m, size_t n, bool fromPedal) {
  std::string s;
  if (n == 0) return "nothing";
  if (m[0] != kSysExStart || n < 2 || m[n - 1] != kSysExEnd) {
    s = Num(n) + " loose bytes:";
    for (size_t i = 0; i < n && i < 16; ++i) s += " " + Hex(m[i]).substr(2);
    if (n > 16) s += " ...";
    return s;
  }
  const std::string size = " (" + Num(n) + " bytes)";
  if (m[1] == kUniversalNonRealTime && n >= 6 && m[3] == kGeneralInformation) {
    if (m[4] == kIdentityRequestCode) return "IdentityRequest" + size;
    if (m[4] == kIdentityReplyCode && n >= 10) {
      return "IdentityReply family " + Hex(m[6]) + " member " + Num(m[8]) + size;
    }
  }
  if (m[1] != kManufacturer || n < 6) return "message of maker " + Hex(m[1]) + size;
  const std::string id = " [" + Hex(m[3]) + "]";
  if (fromPedal && m[4] != kCmdAck && m[4] != kCmdFile) {
    return "device command " + Hex(m[4]) + id + size;
  }
  switch (m[4]) {
    case kCmdAck:
      return "Ack " + Num(m[5]) + id;
    case kCmdUpdateStart:
      return "UpdateStart" + id;
    case kCmdUpdateComplete:
      return "UpdateComplete" + id;
    case kCmdRomWrite:
      if (n >= 18) {
        const uint32_t count = ReadSeptet14(m + 10);
        std::string d = "RomWrite " + Hex(U32(m + 5), 8) + " n=" + Num(count);
        if (n == PackedSize(count) + kRomWriteOverhead) {
          d += " crc=" + Hex(U32(m + 12 + PackedSize(count)), 8);
        }
        return d + id + size;
      }
      break;
    case kCmdRomErase:
      if (n == 16) {
        return "RomErase " + Hex(U32(m + 5), 8) + " size " + Hex(U32(m + 10), 8) + id;
      }
      break;
    case kCmdFile:
      switch (m[5]) {
        case kSubValueReply:
          if (n >= 12) return "ValueReply " + Num(DecodeSeptet32(m + 6)) + id;
          break;
        case kSubCodeReply:
          if (n >= 8) return "CodeReply " + Num(m[6]) + id;
          break;
        case kSubResult:
          if (n >= 8) return "Result " + Num(m[6]) + id;
          break;
        case kSubGetSemaphore:
          return "GetSemaphore" + id;
        case kSubFileOpen:
          if (n == 29) {
            return "FileOpen \"" +
                   std::string(reinterpret_cast<const char*>(m + 16),
                               strnlen(reinterpret_cast<const char*>(m + 16), 12)) +
                   "\" mode " + Num(U32(m + 6)) + id;
          }
          break;
        case kSubFileClose:
          if (n == 12) return "FileClose " + Num(U32(m + 6)) + id;
          break;
        case kSubFileWrite:
          if (n >= 22) {
            return "FileWrite handle " + Num(U32(m + 6)) + " n=" + Num(U32(m + 11)) + id + size;
          }
          break;
        case kSubFileDelete:
          if (n == 20) {
            return "FileDelete \"" +
                   std::string(reinterpret_cast<const char*>(m + 6),
                               strnlen(reinterpret_cast<const char*>(m + 6), 13)) +
                   "\"" + id;
          }
          break;
        default:
          break;
      }
      return "command 0x60 sub " + Hex(m[5]) + id + size;
    case kCmdAudio:
      if (m[5] == kSubAudioMute) return "AudioMute" + id;
      break;
    default:
      break;
  }
  return "command " + Hex(m[4]) + id + size;
}

}  // namespace px::sim
