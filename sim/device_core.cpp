#include "sim/device_core.h"

#include <algorithm>

#include "protocol/codec.h"
#include "sim/message_table.h"
#include "sim/wire.h"

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

std::string LengthSlip(uint32_t count, size_t n, size_t overhead) {
  return "length field says " + Num(count) + " bytes, the message carries " +
         Num(static_cast<int64_t>(n) - static_cast<int64_t>(overhead)) + " packed bytes";
}

bool ReadNameField(WireKind kind, const uint8_t* m, std::string& name) {
  const Field& f = FieldOf(kind, "name");
  return wire::ReadName(m + f.at, f.width, name);
}

Outcome AckOf(uint8_t s, const std::string& why = {}, bool updaterFault = false) {
  return Answer({Reply::Type::Ack, s, 0}, s != status::kOk, why, updaterFault && s != status::kOk);
}

}  // namespace

bool ReadsAsSuccess(WireKind kind, const Reply& reply) {
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
             (kind == WireKind::FileDelete && reply.value == status::kFileNotFound);
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

Reply CDeviceCore::Natural(WireKind kind, int32_t value) const {
  const Row& row = RowOf(kind);
  if (row.member1Only && !Variant1()) return {Reply::Type::Ack, value, 0};
  switch (row.answer) {
    case Answers::Value:
      return {Reply::Type::Value, value, 0};
    case Answers::Result:
      return {Reply::Type::Result, value, 0};
    default:
      return {Reply::Type::Ack, value, 0};
  }
}

std::vector<uint8_t> CDeviceCore::Compose(const Reply& reply) const {
  const uint8_t id = config_.family;
  switch (reply.type) {
    case Reply::Type::None:
      return {};
    case Reply::Type::Identity:
      return wire::IdentityMessage(config_.family, config_.member, config_.revision.data());
    case Reply::Type::Ack:
      return wire::AckMessage(id, static_cast<uint8_t>(reply.value));
    case Reply::Type::Result:
      return wire::ResultMessage(id, static_cast<uint8_t>(reply.value));
    case Reply::Type::Value:
      return wire::ValueMessage(id, reply.value);
    case Reply::Type::Code:
      return wire::CodeMessage(id, static_cast<uint8_t>(reply.value), reply.extra);
    case Reply::Type::Sub:
      return wire::SubReplyMessage(id, static_cast<uint8_t>(reply.value));
  }
  return {};
}

Outcome CDeviceCore::Execute(WireKind kind, const uint8_t* m, size_t n, bool malformed,
                             bool damaged) {
  if (RowOf(kind).member1Only && !Variant1()) {
    return AckOf(status::kUnknownCommand, "this member has no " + std::string(KindName(kind)));
  }
  switch (kind) {
    case WireKind::IdentityRequest:
      return Answer({Reply::Type::Identity, 0, 0}, false);
    case WireKind::IdentityReply:
    case WireKind::Ack:
      return {};
    case WireKind::Unknown:
      return AckOf(status::kUnknownCommand, "unknown command", true);
    case WireKind::UpdateStart:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      updateStartSeen_ = true;
      if (!config_.updateModeReady) return AckOf(status::kNotInUpdateMode, "not in update mode");
      if (batteryLow_) return AckOf(status::kBatteryLow, "battery low");
      if (Variant1() && !semaphore_) return AckOf(status::kNoSemaphore, "semaphore not held");
      updateMode_ = true;
      return AckOf(status::kOk);
    case WireKind::UpdateComplete:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (!updateMode_ && !updateComplete_) {
        return AckOf(status::kNotInUpdateMode, "not in update mode");
      }
      updateMode_ = false;
      updateComplete_ = true;
      return AckOf(status::kOk);
    case WireKind::GetSemaphore:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (batteryLow_) return AckOf(status::kSemaphoreBatteryLow, "battery low");
      if (semaphoreRefused_ < config_.semaphoreRefusals) {
        ++semaphoreRefused_;
        return AckOf(config_.semaphoreRefusalStatus, "semaphore held elsewhere");
      }
      semaphore_ = true;
      return AckOf(status::kOk);
    case WireKind::AudioMute:
      if (malformed) return AckOf(status::kMalformed, "malformed");
      if (!semaphore_) return AckOf(status::kNoSemaphore, "semaphore not held");
      muted_ = true;
      return AckOf(status::kOk);
    case WireKind::RomErase:
      return RomErase(m, malformed);
    case WireKind::RomWrite:
      return RomWrite(m, n, malformed, damaged);
    case WireKind::FileWrite:
      return FileWrite(m, n, malformed);
    case WireKind::FileDelete:
    case WireKind::FileOpen:
    case WireKind::FileClose:
      return FileStep(kind, m, malformed);
    case WireKind::ResultRequest:
      return ResultRequest(m, n, malformed);
  }
  return {};
}

Outcome CDeviceCore::ResultRequest(const uint8_t* m, size_t n, bool malformed) {
  if (malformed) return Answer({Reply::Type::Result, status::kMalformed, 0}, true, "malformed");
  std::string blame;
  const uint32_t value = ReadField(WireKind::ResultRequest, "value", m);
  if (n >= 8 && value != 0) {
    blame = "ResultRequest argument " + Num(value) + "; the updater sends 0";
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
  const uint64_t address = ReadField(WireKind::RomErase, "address", m);
  const uint64_t size = ReadField(WireKind::RomErase, "size", m);
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

Outcome CDeviceCore::RomWrite(const uint8_t* m, size_t n, bool malformed, bool damaged) {
  auto refuse = [](uint8_t s, const std::string& why, bool updaterFault) {
    return Answer({Reply::Type::Ack, s, 0}, true, why, updaterFault);
  };
  if (!updateMode_) return refuse(status::kNotInUpdateMode, "not in update mode", false);
  if (batteryLow_) return refuse(status::kBatteryLow, "battery low", false);
  const Row& row = RowOf(WireKind::RomWrite);
  const uint32_t count = PayloadCount(row, m, n);
  const size_t packed = PackedSize(count);
  if (count == 0 || !LengthMatches(row, m, n)) {
    return refuse(status::kBadLength, LengthSlip(count, n, row.length), true);
  }
  if (malformed) return refuse(status::kMalformed, "malformed", false);
  const uint64_t address = ReadField(WireKind::RomWrite, "address", m);
  if (address < kFlashBase || address - kFlashBase + count > kFlashSize) {
    return refuse(status::kOutOfRange,
                  Num(count) + " bytes at " + Hex(static_cast<uint32_t>(address), 8) +
                      " do not lie in the flash",
                  true);
  }
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + row.payloadAt, packed);
  raw.resize(count);
  const uint32_t crc = U32(m + row.payloadAt + packed);
  if (crc != BlockCrc32(raw.data(), count)) {
    return refuse(status::kBadCrc, "CRC field does not match the data", true);
  }
  const size_t from = static_cast<size_t>(address - kFlashBase);
  bool anyOld = false;
  bool anyWritten = false;
  bool allWritten = true;
  bool anyOnDamage = damaged;
  for (size_t i = from; i < from + count; ++i) {
    const bool written = IsWritten(cells_[i]);
    anyOld = anyOld || cells_[i] == Cell::Old;
    anyWritten = anyWritten || written;
    allWritten = allWritten && written;
    anyOnDamage = anyOnDamage || cells_[i] == Cell::WrittenOnDamage;
  }
  if (anyOld) return refuse(status::kNotErased, "range not erased", false);
  if (anyWritten) {
    // The same block again, most likely because its answer went missing: nothing to do.
    if (allWritten && std::equal(raw.begin(), raw.end(), flash_.begin() + from)) {
      ++repeatedBlocks_;
      return AckOf(status::kOk);
    }
    // Where the line changed this block or the one written there before, the clash is the
    // line's doing, not the updater's.
    return refuse(status::kWrittenTwice, "range already written with other data", !anyOnDamage);
  }
  std::copy(raw.begin(), raw.end(), flash_.begin() + from);
  std::fill(cells_.begin() + from, cells_.begin() + from + count,
            damaged ? Cell::WrittenOnDamage : Cell::Written);
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
  const Row& row = RowOf(WireKind::FileWrite);
  const uint32_t count = PayloadCount(row, m, n);
  if (!LengthMatches(row, m, n)) {
    return value(status::kInvalid, LengthSlip(count, n, row.length), true);
  }
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  const uint32_t handle = ReadField(WireKind::FileWrite, "handle", m);
  if (!openFile_) return value(status::kBadHandle, "no file is open", false);
  if (handle != 0) {
    return value(status::kBadHandle, "handle " + Num(handle) + "; FileOpen gave 0", true);
  }
  const size_t packed = PackedSize(count);
  std::vector<uint8_t> raw(count + 7);
  Unpack7Bit(raw.data(), m + row.payloadAt, packed);
  raw.resize(count);
  if (U32(m + row.payloadAt + packed) != BlockCrc32(raw.data(), count)) {
    return value(status::kFileBadCrc, "CRC field does not match the data", true);
  }
  size_t used = 0;
  for (const auto& [name, bytes] : files_) used += bytes.size();
  if (used + count > config_.fileSystemBytes) return value(status::kNoSpace, "no space", false);
  std::vector<uint8_t>& file = files_[*openFile_];
  file.insert(file.end(), raw.begin(), raw.end());
  return value(0, {}, false);
}

Outcome CDeviceCore::FileStep(WireKind kind, const uint8_t* m, bool malformed) {
  auto value = [&](int32_t v, const std::string& why, bool updaterFault) {
    lastFileStatus_ = v;
    const bool refused = v != 0 && !(kind == WireKind::FileDelete && v == status::kFileNotFound);
    return Answer({Reply::Type::Value, v, 0}, refused, why, updaterFault);
  };
  std::optional<std::string> closed;
  closed.swap(justClosed_);
  if (malformed) return value(status::kFileMalformed, "malformed", false);
  if (!updateMode_) return value(status::kFileNotInUpdateMode, "not in update mode", false);
  std::string name;
  switch (kind) {
    case WireKind::FileDelete:
      if (!ReadNameField(WireKind::FileDelete, m, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      if (openFile_ == name) openFile_.reset();
      return value(files_.erase(name) ? 0 : status::kFileNotFound, {}, false);
    case WireKind::FileOpen: {
      if (!ReadNameField(WireKind::FileOpen, m, name)) {
        return value(status::kInvalid, "name field not a NUL-terminated, zero-padded name", true);
      }
      const uint32_t mode = ReadField(WireKind::FileOpen, "mode", m);
      if (mode != kOpenForWriting) {
        return value(status::kInvalid, "open mode " + Num(mode) + "; the updater opens with 1",
                     true);
      }
      // A run that failed may have left a file open: opening anew closes it.
      openFile_ = name;
      files_[name].clear();
      return value(0, {}, false);
    }
    case WireKind::FileClose: {
      const uint32_t handle = ReadField(WireKind::FileClose, "handle", m);
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
    if (IsWritten(c)) ++r.flash.bytesWritten;
    if (c == Cell::Erased) ++r.flash.bytesErased;
    if (c == Cell::Old) ++r.flash.bytesOld;
  }
  if (config_.expectedImage) {
    const std::vector<uint8_t>& image = *config_.expectedImage;
    r.flash.expectedImageGiven = true;
    r.flash.imageSize = static_cast<uint32_t>(image.size());
    r.flash.imageCrc32 = Crc32(image.data(), image.size());
    for (size_t i = 0; i < kFlashSize && r.flash.firstMismatch < 0; ++i) {
      const bool good = i < image.size() ? IsWritten(cells_[i]) && flash_[i] == image[i]
                                         : cells_[i] == Cell::Erased;
      if (!good) r.flash.firstMismatch = static_cast<int64_t>(i);
    }
    if (image.size() > kFlashSize) r.flash.firstMismatch = kFlashSize;
    r.flash.matchesImage = r.flash.firstMismatch < 0;
  }
  r.flashContents = flash_;
}

}  // namespace px::sim
