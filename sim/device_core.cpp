#include "sim/device_core.h"

#include <algorithm>

#include "protocol/codec.h"
#include "protocol/messages.h"
#include "protocol/vocabulary.h"
#include "sim/inbound.h"

namespace px::sim {
namespace {

using wire::Hex;
using wire::Num;
using wire::U32;

// An answer; refused answers carry their reason, and the blame when the updater caused them.
Outcome Answer(Reply reply, bool refused, const std::string& why = {}, bool updaterFault = false,
               uint32_t busyMs = 0) {
  Outcome o;
  o.reply = reply;
  o.busyMs = busyMs;
  o.why = why;
  if (refused) {
    o.refused = true;
    o.status = reply.value;
  }
  if (updaterFault) o.blame = why;
  return o;
}

Outcome AckOf(uint8_t s, const std::string& why = {}, bool updaterFault = false) {
  return Answer({Reply::Type::Ack, s, 0}, s != status::kOk, why, updaterFault && s != status::kOk);
}

}  // namespace

bool ReadsAsSuccess(MessageKind kind, const Reply& reply) {
  switch (reply.type) {
    case Reply::Type::None:
    case Reply::Type::Sub:
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

CDeviceCore::CDeviceCore(const PedalConfig& config)
    : config_(config),
      flash_(kFlashSize),
      cells_(kFlashSize, Cell::Old),
      files_(config.initialFiles) {
  for (uint32_t i = 0; i < kFlashSize; ++i) flash_[i] = OldFirmwareByte(i);
  batteryLow_ = config.batteryLow || config.batteryLowAfterBlock == 0;
}

Reply CDeviceCore::Natural(MessageKind kind, int32_t value) const {
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

std::vector<uint8_t> CDeviceCore::Compose(const Reply& reply) const {
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
    case Reply::Type::Sub:
      // Zeros where a known sub-reply would carry its status: a careless reader sees a success.
      out = {kSysExStart, kManufacturer, 0x00,
             id,          kCmdFile,      static_cast<uint8_t>(reply.value & 0x7F),
             0x00,        0x00,          0x00,
             0x00,        0x00,          kSysExEnd};
      return out;
  }
  out.resize(static_cast<size_t>(n));
  return out;
}

Outcome CDeviceCore::Execute(MessageKind kind, const uint8_t* m, size_t n, bool malformed) {
  const bool fileKind = kind == MessageKind::FileDelete || kind == MessageKind::FileOpen ||
                        kind == MessageKind::FileWrite || kind == MessageKind::FileClose ||
                        kind == MessageKind::ResultRequest;
  if (fileKind && !Variant1()) {
    return AckOf(status::kUnknownCommand, "this member has no file system");
  }
  if (kind == MessageKind::GetSemaphore || kind == MessageKind::AudioMute) {
    if (!Variant1()) return AckOf(status::kUnknownCommand, "this member has no semaphore");
  }
  switch (kind) {
    case MessageKind::IdentityRequest:
      return Answer({Reply::Type::Identity, 0, 0}, false);
    case MessageKind::IdentityReply:
    case MessageKind::Ack:
      return {};
    case MessageKind::Unknown:
      return AckOf(status::kUnknownCommand, "unknown command", true);
    case MessageKind::UpdateStart:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      updateStartSeen_ = true;
      if (!config_.updateModeReady) return AckOf(status::kNotInUpdateMode, "not in update mode");
      if (batteryLow_) return AckOf(status::kBatteryLow, "battery low");
      if (Variant1() && !semaphore_) return AckOf(status::kNoSemaphore, "semaphore not held");
      updateMode_ = true;
      return AckOf(status::kOk);
    case MessageKind::UpdateComplete:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (!updateMode_ && !updateComplete_) {
        return AckOf(status::kNotInUpdateMode, "not in update mode");
      }
      updateMode_ = false;
      updateComplete_ = true;
      return AckOf(status::kOk);
    case MessageKind::GetSemaphore:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (batteryLow_) return AckOf(status::kSemaphoreBatteryLow, "battery low");
      if (semaphoreRefused_ < config_.semaphoreRefusals) {
        ++semaphoreRefused_;
        return AckOf(config_.semaphoreRefusalStatus, "semaphore held elsewhere");
      }
      semaphore_ = true;
      return AckOf(status::kOk);
    case MessageKind::AudioMute:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (!semaphore_) return AckOf(status::kNoSemaphore, "semaphore not held");
      muted_ = true;
      return AckOf(status::kOk);
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
    case MessageKind::ResultRequest:
      return ResultRequest(m, n, malformed);
  }
  return {};
}

Outcome CDeviceCore::ResultRequest(const uint8_t* m, size_t n, bool malformed) {
  if (malformed) return Answer({Reply::Type::Result, status::kMalformed, 0}, true, "malformed");
  std::string blame;
  if (n >= 8 && m[field::kSubStatus] != 0) {
    blame = "ResultRequest argument " + Num(m[field::kSubStatus]) + "; the updater sends 0";
  }
  Outcome o;
  if (!lastFileStatus_) {
    o = Answer({Reply::Type::Result, status::kNothingToConfirm, 0}, true);
    o.why = "no file step to confirm";
  } else {
    const int32_t v = *lastFileStatus_;
    o.reply = {Reply::Type::Result, v >= 0 ? 0 : std::min<int32_t>(-v, 127), 0};
  }
  o.blame = std::move(blame);
  return o;
}

Outcome CDeviceCore::RomErase(const uint8_t* m, bool malformed) {
  auto refuse = [](uint8_t s, const std::string& why, bool updaterFault) {
    return Answer({Reply::Type::Ack, s, 0}, true, why, updaterFault);
  };
  if (malformed) return refuse(status::kMalformed, "malformed", false);
  if (!updateMode_) return refuse(status::kNotInUpdateMode, "not in update mode", false);
  if (batteryLow_) return refuse(status::kBatteryLow, "battery low", false);
  const uint64_t address = U32(m + field::kAddress);
  const uint64_t size = U32(m + field::kEraseSize);
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
  return Answer({Reply::Type::Ack, status::kOk, 0}, false, {}, false, busy);
}

Outcome CDeviceCore::RomWrite(const uint8_t* m, size_t n, bool malformed) {
  auto refuse = [](uint8_t s, const std::string& why, bool updaterFault) {
    return Answer({Reply::Type::Ack, s, 0}, true, why, updaterFault);
  };
  if (!updateMode_) return refuse(status::kNotInUpdateMode, "not in update mode", false);
  if (batteryLow_) return refuse(status::kBatteryLow, "battery low", false);
  const uint32_t count = ReadSeptet14(m + field::kRomWriteLength);
  const size_t packed = PackedSize(count);
  if (count == 0 || n != packed + kRomWriteOverhead) {
    return refuse(status::kBadLength,
                  "length field says " + Num(count) + " bytes, the message carries " +
                      Num(static_cast<int64_t>(n) - static_cast<int64_t>(kRomWriteOverhead)) +
                      " packed bytes",
                  true);
  }
  if (malformed) return refuse(status::kMalformed, "malformed", false);
  const uint64_t address = U32(m + field::kAddress);
  if (address < kFlashBase || address - kFlashBase + count > kFlashSize) {
    return refuse(status::kOutOfRange,
                  Num(count) + " bytes at " + Hex(static_cast<uint32_t>(address), 8) +
                      " do not lie in the flash",
                  true);
  }
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + field::kRomWritePayload, packed);
  raw.resize(count);
  const uint32_t crc = U32(m + field::kRomWritePayload + packed);
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
      return AckOf(status::kOk);
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
  return Answer({Reply::Type::Ack, status::kOk, 0}, false, {}, false, config_.writeTimeMs);
}

Outcome CDeviceCore::FileWrite(const uint8_t* m, size_t n, bool malformed) {
  justClosed_.reset();
  auto value = [&](int32_t v, const std::string& why, bool updaterFault) {
    lastFileStatus_ = v;
    return Answer({Reply::Type::Value, v, 0}, v != 0, why, updaterFault);
  };
  if (!updateMode_) return value(status::kFileNotInUpdateMode, "not in update mode", false);
  const uint32_t count = U32(m + field::kFileWriteLength);
  if (count > kMaxChunk || n != PackedSize(count) + kFileWriteOverhead) {
    return value(status::kInvalid,
                 "length field says " + Num(count) + " bytes, the message carries " +
                     Num(static_cast<int64_t>(n) - static_cast<int64_t>(kFileWriteOverhead)) +
                     " packed bytes",
                 true);
  }
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  const uint32_t handle = U32(m + field::kSubValue);
  if (!openFile_) return value(status::kBadHandle, "no file is open", false);
  if (handle != 0) {
    return value(status::kBadHandle, "handle " + Num(handle) + "; FileOpen gave 0", true);
  }
  const size_t packed = PackedSize(count);
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + field::kFileWritePayload, packed);
  raw.resize(count);
  if (U32(m + field::kFileWritePayload + packed) != BlockCrc32(raw.data(), count)) {
    return value(status::kFileBadCrc, "CRC field does not match the data", true);
  }
  size_t used = 0;
  for (const auto& [name, bytes] : files_) used += bytes.size();
  if (used + count > config_.fileSystemBytes) return value(status::kNoSpace, "no space", false);
  std::vector<uint8_t>& file = files_[*openFile_];
  file.insert(file.end(), raw.begin(), raw.end());
  return value(0, {}, false);
}

Outcome CDeviceCore::FileStep(MessageKind kind, const uint8_t* m, bool malformed) {
  auto value = [&](int32_t v, const std::string& why, bool updaterFault) {
    lastFileStatus_ = v;
    const bool refused = v != 0 && !(kind == MessageKind::FileDelete && v == status::kFileNotFound);
    return Answer({Reply::Type::Value, v, 0}, refused, why, updaterFault);
  };
  std::optional<std::string> closed;
  closed.swap(justClosed_);
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  if (!updateMode_) return value(status::kFileNotInUpdateMode, "not in update mode", false);
  std::string name;
  switch (kind) {
    case MessageKind::FileDelete:
      if (!wire::ReadName(m + field::kFileDeleteName, kFileDeleteNameField, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      if (openFile_ == name) openFile_.reset();
      return value(files_.erase(name) ? 0 : status::kFileNotFound, {}, false);
    case MessageKind::FileOpen: {
      if (!wire::ReadName(m + field::kFileOpenName, kFileOpenNameField, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      const uint32_t mode = U32(m + field::kSubValue);
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
      const uint32_t handle = U32(m + field::kSubValue);
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

void CDeviceCore::FillReport(PedalReport& r) const {
  r.repeatedBlocks = repeatedBlocks_;
  r.blocksStored = blocksStored_;
  r.semaphoreHeld = semaphore_;
  r.audioMuted = muted_;
  r.updateMode = updateMode_;
  r.updateComplete = updateComplete_;
  r.batteryLow = batteryLow_;
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
}

}  // namespace px::sim
