#include "protocol/messages.h"

#include <algorithm>
#include <cstring>

namespace px {
namespace {

// F0 52 00 id cmd: returns the offset after the command.
size_t Header(uint8_t* out, uint8_t id, uint8_t command) {
  out[0] = kSysExStart;
  out[field::kFamily] = kManufacturer;
  out[field::kChannel] = 0x00;
  out[field::kDeviceId] = id;
  out[field::kCommand] = command;
  return field::kCommand + 1;
}

// F0 52 00 id cmd sub: returns the offset after the sub-command.
size_t Header(uint8_t* out, uint8_t id, uint8_t command, uint8_t sub) {
  Header(out, id, command);
  out[field::kSub] = sub;
  return field::kSub + 1;
}

// Closes the message with the 0xF7 at `end`; returns its length.
int Finish(uint8_t* out, size_t end) {
  out[end] = kSysExEnd;
  return static_cast<int>(end + 1);
}

// Name field of width bytes: the characters, then zeros; the last byte is always 0.
bool NameFits(const char* name, size_t width) {
  return name != nullptr && strnlen(name, width) < width;
}

size_t PutName(uint8_t* out, size_t at, const char* name, size_t width) {
  const size_t n = strlen(name);
  memcpy(out + at, name, n);
  memset(out + at + n, 0, width - n);
  return at + width;
}

// The payload packed from `at`, then its Septet32 check: returns the offset after the check.
size_t PutPayload(uint8_t* out, size_t at, const uint8_t* data, uint32_t n) {
  const size_t end = at + Pack7Bit(out + at, data, n);
  EncodeSeptet32(BlockCrc32(data, n), out + end);
  return end + 5;
}

// A message composed into a buffer of `capacity` bytes; empty when the composer refused.
template <typename Compose>
Message Composed(size_t capacity, Compose compose) {
  Message m(capacity);
  const int length = compose(m.data());
  m.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return m;
}

constexpr size_t kShortMessage = 32;  // every message without a payload fits

}  // namespace

int ComposeAck(uint8_t* out, uint8_t id, uint8_t status) {
  Header(out, id, kCmdAck);
  out[field::kAckStatus] = status;
  return Finish(out, field::kAckStatus + 1);
}

int ComposeUpdateStart(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdUpdateStart));
}

int ComposeUpdateComplete(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdUpdateComplete));
}

int ComposeRomWrite(uint8_t* out, uint8_t id, const uint8_t* data, uint32_t address, uint32_t n) {
  if (n > kMaxRomWriteBlock || (n > 0 && data == nullptr)) return -1;
  Header(out, id, kCmdRomWrite);
  EncodeSeptet32(address, out + field::kAddress);
  WriteSeptet14(n, out + field::kRomWriteLength);
  return Finish(out, PutPayload(out, field::kRomWritePayload, data, n));
}

int ComposeRomErase(uint8_t* out, uint8_t id, uint32_t address, uint32_t size) {
  Header(out, id, kCmdRomErase);
  EncodeSeptet32(address, out + field::kAddress);
  EncodeSeptet32(size, out + field::kEraseSize);
  return Finish(out, field::kEraseSize + 5);
}

int ComposeGetSemaphore(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdFile, kSubGetSemaphore));
}

int ComposeAudioMute(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdAudio, kSubAudioMute));
}

int ComposeResultRequest(uint8_t* out, uint8_t id, uint8_t value) {
  Header(out, id, kCmdFile, kSubResult);
  out[field::kSubStatus] = value & 0x7F;
  return Finish(out, field::kSubStatus + 1);
}

int ComposeFileDelete(uint8_t* out, uint8_t id, const char* name) {
  if (!NameFits(name, kFileDeleteNameField)) return -1;
  Header(out, id, kCmdFile, kSubFileDelete);
  return Finish(out, PutName(out, field::kFileDeleteName, name, kFileDeleteNameField));
}

int ComposeFileOpen(uint8_t* out, uint8_t id, const char* name, uint32_t mode) {
  if (!NameFits(name, kFileOpenNameField)) return -1;
  Header(out, id, kCmdFile, kSubFileOpen);
  EncodeSeptet32(mode, out + field::kSubValue);
  memset(out + field::kFileOpenZeros, 0, field::kFileOpenName - field::kFileOpenZeros);
  return Finish(out, PutName(out, field::kFileOpenName, name, kFileOpenNameField));
}

int ComposeFileWrite(uint8_t* out, uint8_t id, uint32_t handle, const uint8_t* data, uint32_t n) {
  if (n > kMaxFileWriteChunk || (n > 0 && data == nullptr)) return -1;
  Header(out, id, kCmdFile, kSubFileWrite);
  EncodeSeptet32(handle, out + field::kSubValue);
  EncodeSeptet32(n, out + field::kFileWriteLength);
  return Finish(out, PutPayload(out, field::kFileWritePayload, data, n));
}

int ComposeFileClose(uint8_t* out, uint8_t id, uint32_t handle) {
  Header(out, id, kCmdFile, kSubFileClose);
  EncodeSeptet32(handle, out + field::kSubValue);
  return Finish(out, field::kSubValue + 5);
}

// F0 7E 00 06 02 52, the family and member codes (low byte first), the revision, F7.
int ComposeIdentityReply(uint8_t* out, uint8_t family, uint8_t member, const uint8_t revision[4]) {
  out[0] = kSysExStart;
  out[field::kFamily] = kUniversalNonRealTime;
  out[field::kChannel] = 0x00;
  out[field::kInfoClass] = kGeneralInformation;
  out[field::kCommand] = kIdentityReplyCode;
  out[field::kIdentityManufacturer] = kManufacturer;
  out[field::kIdentityFamily] = family & 0x7F;
  out[field::kIdentityFamily + 1] = 0x00;
  out[field::kIdentityMember] = member & 0x7F;
  out[field::kIdentityMember + 1] = 0x00;
  for (size_t i = 0; i < 4; ++i) out[field::kIdentityRevision + i] = revision[i] & 0x7F;
  return Finish(out, field::kIdentityRevision + 4);
}

Message CMessageSet::UpdateStart() const {
  return Composed(kShortMessage, [&](uint8_t* out) { return ComposeUpdateStart(out, DeviceId); });
}
Message CMessageSet::UpdateComplete() const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeUpdateComplete(out, DeviceId); });
}
Message CMessageSet::RomWrite(const uint8_t* data, uint32_t address, uint32_t n) const {
  return Composed(PackedSize(std::min(n, kMaxRomWriteBlock)) + kRomWriteOverhead,
                  [&](uint8_t* out) { return ComposeRomWrite(out, DeviceId, data, address, n); });
}
Message CMessageSet::RomErase(uint32_t address, uint32_t size) const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeRomErase(out, DeviceId, address, size); });
}
Message CMessageSet::GetSemaphore() const {
  return Composed(kShortMessage, [&](uint8_t* out) { return ComposeGetSemaphore(out, DeviceId); });
}
Message CMessageSet::AudioMute() const {
  return Composed(kShortMessage, [&](uint8_t* out) { return ComposeAudioMute(out, DeviceId); });
}
Message CMessageSet::ResultRequest(uint8_t value) const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeResultRequest(out, DeviceId, value); });
}
Message CMessageSet::FileDelete(const char* name) const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeFileDelete(out, DeviceId, name); });
}
Message CMessageSet::FileOpen(const char* name, uint32_t mode) const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeFileOpen(out, DeviceId, name, mode); });
}
Message CMessageSet::FileWrite(uint32_t handle, const uint8_t* data, uint32_t n) const {
  return Composed(PackedSize(std::min(n, kMaxFileWriteChunk)) + kFileWriteOverhead,
                  [&](uint8_t* out) { return ComposeFileWrite(out, DeviceId, handle, data, n); });
}
Message CMessageSet::FileClose(uint32_t handle) const {
  return Composed(kShortMessage,
                  [&](uint8_t* out) { return ComposeFileClose(out, DeviceId, handle); });
}

int CMessageSet::IdentityReply(uint8_t* out) const {
  static constexpr uint8_t kRevision[4] = {'1', '0', '0', '0'};
  return ComposeIdentityReply(out, IdentityReplyDevice.load(), 0x00, kRevision);
}

}  // namespace px
