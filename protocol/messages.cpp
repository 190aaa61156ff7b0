#include "protocol/messages.h"

#include <cstring>

namespace px {
namespace {

// F0 52 00 id cmd
uint8_t* Header(uint8_t* out, uint8_t id, uint8_t command) {
  out[0] = kSysExStart;
  out[1] = kManufacturer;
  out[2] = 0x00;
  out[3] = id;
  out[4] = command;
  return out + 5;
}

// F0 52 00 id cmd sub
uint8_t* Header(uint8_t* out, uint8_t id, uint8_t command, uint8_t sub) {
  uint8_t* p = Header(out, id, command);
  *p = sub;
  return p + 1;
}

int Finish(uint8_t* out, uint8_t* end) {
  *end = kSysExEnd;
  return static_cast<int>(end + 1 - out);
}

// Name field of width bytes: the characters, then zeros; the last byte is always 0.
bool NameFits(const char* name, size_t width) {
  return name != nullptr && strnlen(name, width) < width;
}

uint8_t* PutName(uint8_t* p, const char* name, size_t width) {
  const size_t n = strlen(name);
  memcpy(p, name, n);
  memset(p + n, 0, width - n);
  return p + width;
}

}  // namespace

int ComposeAck(uint8_t* out, uint8_t id, uint8_t status) {
  uint8_t* p = Header(out, id, kCmdAck);
  *p++ = status;
  return Finish(out, p);
}

int ComposeUpdateStart(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdUpdateStart));
}

int ComposeUpdateComplete(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdUpdateComplete));
}

int ComposeRomWrite(uint8_t* out, uint8_t id, const uint8_t* data, uint32_t address, uint32_t n) {
  if (n > kMaxRomWriteBlock || (n > 0 && data == nullptr)) return -1;
  uint8_t* p = Header(out, id, kCmdRomWrite);
  EncodeSeptet32(address, p);
  WriteSeptet14(n, p + 5);
  p += 7;
  p += Pack7Bit(p, data, n);
  EncodeSeptet32(BlockCrc32(data, n), p);
  return Finish(out, p + 5);
}

int ComposeRomErase(uint8_t* out, uint8_t id, uint32_t address, uint32_t size) {
  uint8_t* p = Header(out, id, kCmdRomErase);
  EncodeSeptet32(address, p);
  EncodeSeptet32(size, p + 5);
  return Finish(out, p + 10);
}

int ComposeGetSemaphore(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdFile, kSubGetSemaphore));
}

int ComposeAudioMute(uint8_t* out, uint8_t id) {
  return Finish(out, Header(out, id, kCmdAudio, kSubAudioMute));
}

int ComposeResultRequest(uint8_t* out, uint8_t id, uint8_t value) {
  uint8_t* p = Header(out, id, kCmdFile, kSubResult);
  *p++ = value & 0x7F;
  return Finish(out, p);
}

int ComposeFileDelete(uint8_t* out, uint8_t id, const char* name) {
  if (!NameFits(name, kFileDeleteNameField)) return -1;
  uint8_t* p = Header(out, id, kCmdFile, kSubFileDelete);
  return Finish(out, PutName(p, name, kFileDeleteNameField));
}

int ComposeFileOpen(uint8_t* out, uint8_t id, const char* name, uint32_t mode) {
  if (!NameFits(name, kFileOpenNameField)) return -1;
  uint8_t* p = Header(out, id, kCmdFile, kSubFileOpen);
  EncodeSeptet32(mode, p);
  memset(p + 5, 0, 5);
  return Finish(out, PutName(p + 10, name, kFileOpenNameField));
}

int ComposeFileWrite(uint8_t* out, uint8_t id, uint32_t handle, const uint8_t* data, uint32_t n) {
  if (n > kMaxFileWriteChunk || (n > 0 && data == nullptr)) return -1;
  uint8_t* p = Header(out, id, kCmdFile, kSubFileWrite);
  EncodeSeptet32(handle, p);
  EncodeSeptet32(n, p + 5);
  p += 10;
  p += Pack7Bit(p, data, n);
  EncodeSeptet32(BlockCrc32(data, n), p);
  return Finish(out, p + 5);
}

int ComposeFileClose(uint8_t* out, uint8_t id, uint32_t handle) {
  uint8_t* p = Header(out, id, kCmdFile, kSubFileClose);
  EncodeSeptet32(handle, p);
  return Finish(out, p + 5);
}

int ComposeIdentityReply(uint8_t* out, uint8_t family, uint8_t member, const uint8_t revision[4]) {
  const uint8_t bytes[kIdentityReplyLength] = {kSysExStart,
                                               kUniversalNonRealTime,
                                               0x00,
                                               kGeneralInformation,
                                               kIdentityReplyCode,
                                               kManufacturer,
                                               static_cast<uint8_t>(family & 0x7F),
                                               0x00,
                                               static_cast<uint8_t>(member & 0x7F),
                                               0x00,
                                               static_cast<uint8_t>(revision[0] & 0x7F),
                                               static_cast<uint8_t>(revision[1] & 0x7F),
                                               static_cast<uint8_t>(revision[2] & 0x7F),
                                               static_cast<uint8_t>(revision[3] & 0x7F),
                                               kSysExEnd};
  memcpy(out, bytes, sizeof bytes);
  return static_cast<int>(sizeof bytes);
}

int CMessageSet::Ack(uint8_t status) {
  return ComposeAck(OutgoingBuffer, DeviceId, status);
}
int CMessageSet::UpdateStart() {
  return ComposeUpdateStart(OutgoingBuffer, DeviceId);
}
int CMessageSet::UpdateComplete() {
  return ComposeUpdateComplete(OutgoingBuffer, DeviceId);
}
int CMessageSet::RomWrite(uint8_t id, const uint8_t* data, uint32_t address, uint32_t n) {
  return ComposeRomWrite(OutgoingBuffer, id, data, address, n);
}
int CMessageSet::RomErase(uint8_t id, uint32_t address, uint32_t size) {
  return ComposeRomErase(OutgoingBuffer, id, address, size);
}
int CMessageSet::GetSemaphore() {
  return ComposeGetSemaphore(OutgoingBuffer, DeviceId);
}
int CMessageSet::AudioMute() {
  return ComposeAudioMute(OutgoingBuffer, DeviceId);
}
int CMessageSet::ResultRequest(uint8_t value) {
  return ComposeResultRequest(OutgoingBuffer, DeviceId, value);
}
int CMessageSet::FileDelete(const char* name) {
  return ComposeFileDelete(OutgoingBuffer, DeviceId, name);
}
int CMessageSet::FileOpen(const char* name, uint32_t mode) {
  return ComposeFileOpen(OutgoingBuffer, DeviceId, name, mode);
}
int CMessageSet::FileWrite(uint32_t handle, const uint8_t* data, uint32_t n) {
  return ComposeFileWrite(OutgoingBuffer, DeviceId, handle, data, n);
}
int CMessageSet::FileClose(uint32_t handle) {
  return ComposeFileClose(OutgoingBuffer, DeviceId, handle);
}

int CMessageSet::IdentityReply(uint8_t* out) const {
  static constexpr uint8_t kRevision[4] = {'1', '0', '0', '0'};
  return ComposeIdentityReply(out, IdentityReplyDevice.load(), 0x00, kRevision);
}

}  // namespace px
