#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/codec.h"
#include "protocol/vocabulary.h"

// The System Exclusive messages that the updater sends, byte for byte.
namespace px {

// A whole message, from its 0xF0 to its 0xF7.
using Message = std::vector<uint8_t>;

inline constexpr size_t kMaxMessageSize = 65536;
inline constexpr uint32_t kMaxRomWriteBlock = 16383;  // the Septet14 length field's limit
inline constexpr size_t kFileOpenNameField = 12;
inline constexpr size_t kFileDeleteNameField = 13;
inline constexpr size_t kRomWriteOverhead = 18;
inline constexpr size_t kFileWriteOverhead = 22;
// The largest FileWrite chunk whose message stays within kMaxMessageSize.
inline constexpr uint32_t kMaxFileWriteChunk = 57324;
static_assert(PackedSize(kMaxFileWriteChunk) + kFileWriteOverhead <= kMaxMessageSize);

inline constexpr std::array<uint8_t, 6> IdentityRequest = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
inline constexpr size_t kIdentityReplyLength = 15;

// Composers. Each returns the whole message, or an empty one when its arguments cannot be
// carried.
Message ComposeAck(uint8_t id, uint8_t status);
Message ComposeUpdateStart(uint8_t id);
Message ComposeUpdateComplete(uint8_t id);
// Refuses blocks over kMaxRomWriteBlock bytes.
Message ComposeRomWrite(uint8_t id, const uint8_t* data, uint32_t address, uint32_t n);
Message ComposeRomErase(uint8_t id, uint32_t address, uint32_t size);
Message ComposeGetSemaphore(uint8_t id);
Message ComposeAudioMute(uint8_t id);
Message ComposeResultRequest(uint8_t id, uint8_t value);
// Refuses names of more than 12 characters (13-byte field, always NUL-terminated).
Message ComposeFileDelete(uint8_t id, const char* name);
// Refuses names of more than 11 characters (12-byte field, always NUL-terminated).
Message ComposeFileOpen(uint8_t id, const char* name, uint32_t mode);
// Refuses chunks over kMaxFileWriteChunk bytes.
Message ComposeFileWrite(uint8_t id, uint32_t handle, const uint8_t* data, uint32_t n);
Message ComposeFileClose(uint8_t id, uint32_t handle);
// An identity reply naming manufacturer 0x52, the given family and member codes and revision.
Message ComposeIdentityReply(uint8_t family, uint8_t member, const uint8_t revision[4]);

// The updater's side of the message set: the id of the device it talks to, which every request
// and every answer of the updater carries, and the updater's own identity reply.
class CMessageSet {
 public:
  std::atomic<uint8_t> DeviceId{kDefaultDeviceId};

  Message UpdateStart() const { return ComposeUpdateStart(DeviceId); }
  Message UpdateComplete() const { return ComposeUpdateComplete(DeviceId); }
  Message RomWrite(const uint8_t* data, uint32_t address, uint32_t n) const {
    return ComposeRomWrite(DeviceId, data, address, n);
  }
  Message RomErase(uint32_t address, uint32_t size) const {
    return ComposeRomErase(DeviceId, address, size);
  }
  Message GetSemaphore() const { return ComposeGetSemaphore(DeviceId); }
  Message AudioMute() const { return ComposeAudioMute(DeviceId); }
  Message ResultRequest(uint8_t value) const { return ComposeResultRequest(DeviceId, value); }
  Message FileDelete(const char* name) const { return ComposeFileDelete(DeviceId, name); }
  Message FileOpen(const char* name, uint32_t mode) const {
    return ComposeFileOpen(DeviceId, name, mode);
  }
  Message FileWrite(uint32_t handle, const uint8_t* data, uint32_t n) const {
    return ComposeFileWrite(DeviceId, handle, data, n);
  }
  Message FileClose(uint32_t handle) const { return ComposeFileClose(DeviceId, handle); }
  Message Ack(uint8_t status) const { return ComposeAck(DeviceId, status); }

  // Byte 6 of the updater's identity reply: 0x00 until a run reaches its update-start step.
  void SetIdentityReplyDevice(uint8_t d) { IdentityReplyDevice.store(d); }
  // The updater's 15-byte identity reply.
  Message IdentityReply() const;

 private:
  std::atomic<uint8_t> IdentityReplyDevice{0x00};
};

}  // namespace px
