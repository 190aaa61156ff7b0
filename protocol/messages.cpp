#include "protocol/messages.h"

#include <cstring>

namespace px {
namespace {

// A message of `length` bytes: F0 52 00 id cmd, zeros, and the closing F7.
Message Header(size_t length, uint8_t id, uint8_t command) {
  Message m(length);
  m[0] = kSysExStart;
  m[field::kFamily] = kManufacturer;
  m[field::kChannel] = 0x00;
  m[field::kDeviceId] = id;
  m[field::kCommand] = command;
  m.back() = kSysExEnd;
  return m;
}

// The same with the sub-command after the command.
Message Header(size_t length, uint8_t id, uint8_t command, uint8_t sub) {
  Message m = Header(length, id, command);
  m[field::kSub] = sub;
  return m;
}

// Name field of width bytes: the characters, then zeros; the last byte is always 0.
bool NameFits(const char* name, size_t width) {
  return name != nullptr && strnlen(name, width) < width;
}

// The name at `at`, in a field that the message holds as zeros.
Message WithName(Message m, size_t at, const char* name) {
  memcpy(&m[at], name, strlen(name));
  return m;
}

// The payload packed from `at`, then its Septet32 check.
void PutPayload(Message& m, size_t at, const uint8_t* data, uint32_t n) {
  const size_t packed = Pack7Bit(&m[at], data, n);
  EncodeSeptet32(BlockCrc32(data, n), &m[at + packed]);
}

}  // namespace

Message ComposeAck(uint8_t id, uint8_t status) {
  Message m = Header(field::kAckStatus + 2, id, kCmdAck);
  m[field::kAckStatus] = status;
  return m;
}

Message ComposeUpdateStart(uint8_t id) {
  return Header(field::kCommand + 2, id, kCmdUpdateStart);
}

Message ComposeUpdateComplete(uint8_t id) {
  return Header(field::kCommand + 2, id, kCmdUpdateComplete);
}

Message ComposeRomWrite(uint8_t id, const uint8_t* data, uint32_t address, uint32_t n) {
  if (n > kMaxRomWriteBlock || (n > 0 && data == nullptr)) return {};
  Message m = Header(PackedSize(n) + kRomWriteOverhead, id, kCmdRomWrite);
  EncodeSeptet32(address, &m[field::kAddress]);
  WriteSeptet14(n, &m[field::kRomWriteLength]);
  PutPayload(m, field::kRomWritePayload, data, n);
  return m;
}

Message ComposeRomErase(uint8_t id, uint32_t address, uint32_t size) {
  Message m = Header(field::kEraseSize + 6, id, kCmdRomErase);
  EncodeSeptet32(address, &m[field::kAddress]);
  EncodeSeptet32(size, &m[field::kEraseSize]);
  return m;
}

Message ComposeGetSemaphore(uint8_t id) {
  return Header(field::kSub + 2, id, kCmdFile, kSubGetSemaphore);
}

Message ComposeAudioMute(uint8_t id) {
  return Header(field::kSub + 2, id, kCmdAudio, kSubAudioMute);
}

Message ComposeResultRequest(uint8_t id, uint8_t value) {
  Message m = Header(field::kSubStatus + 2, id, kCmdFile, kSubResult);
  m[field::kSubStatus] = value & 0x7F;
  return m;
}

Message ComposeFileDelete(uint8_t id, const char* name) {
  if (!NameFits(name, kFileDeleteNameField)) return {};
  return WithName(
      Header(field::kFileDeleteName + kFileDeleteNameField + 1, id, kCmdFile, kSubFileDelete),
      field::kFileDeleteName, name);
}

Message ComposeFileOpen(uint8_t id, const char* name, uint32_t mode) {
  if (!NameFits(name, kFileOpenNameField)) return {};
  Message m = Header(field::kFileOpenName + kFileOpenNameField + 1, id, kCmdFile, kSubFileOpen);
  EncodeSeptet32(mode, &m[field::kSubValue]);
  return WithName(std::move(m), field::kFileOpenName, name);
}

Message ComposeFileWrite(uint8_t id, uint32_t handle, const uint8_t* data, uint32_t n) {
  if (n > kMaxFileWriteChunk || (n > 0 && data == nullptr)) return {};
  Message m = Header(PackedSize(n) + kFileWriteOverhead, id, kCmdFile, kSubFileWrite);
  EncodeSeptet32(handle, &m[field::kSubValue]);
  EncodeSeptet32(n, &m[field::kFileWriteLength]);
  PutPayload(m, field::kFileWritePayload, data, n);
  return m;
}

Message ComposeFileClose(uint8_t id, uint32_t handle) {
  Message m = Header(field::kSubValue + 6, id, kCmdFile, kSubFileClose);
  EncodeSeptet32(handle, &m[field::kSubValue]);
  return m;
}

// F0 7E 00 06 02 52, the family and member codes (low byte first), the revision, F7.
Message ComposeIdentityReply(uint8_t family, uint8_t member, const uint8_t revision[4]) {
  Message m(kIdentityReplyLength);
  m[0] = kSysExStart;
  m[field::kFamily] = kUniversalNonRealTime;
  m[field::kInfoClass] = kGeneralInformation;
  m[field::kCommand] = kIdentityReplyCode;
  m[field::kIdentityManufacturer] = kManufacturer;
  m[field::kIdentityFamily] = family & 0x7F;
  m[field::kIdentityMember] = member & 0x7F;
  for (size_t i = 0; i < 4; ++i) m[field::kIdentityRevision + i] = revision[i] & 0x7F;
  m.back() = kSysExEnd;
  return m;
}

Message CMessageSet::IdentityReply() const {
  static constexpr uint8_t kRevision[4] = {'1', '0', '0', '0'};
  return ComposeIdentityReply(IdentityReplyDevice.load(), 0x00, kRevision);
}

}  // namespace px
