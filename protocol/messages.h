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

// Composers into any buffer. Each writes the whole message from out[0] and returns its length,
// or -1 when the arguments cannot be carried (nothing is written then).
int ComposeAck(uint8_t* out, uint8_t id, uint8_t status);
int ComposeUpdateStart(uint8_t* out, uint8_t id);
int ComposeUpdateComplete(uint8_t* out, uint8_t id);
// Refuses blocks over kMaxRomWriteBlock bytes. out must hold PackedSize(n) + 18 bytes.
int ComposeRomWrite(uint8_t* out, uint8_t id, const uint8_t* data, uint32_t address, uint32_t n);
int ComposeRomErase(uint8_t* out, uint8_t id, uint32_t address, uint32_t size);
int ComposeGetSemaphore(uint8_t* out, uint8_t id);
int ComposeAudioMute(uint8_t* out, uint8_t id);
int ComposeResultRequest(uint8_t* out, uint8_t id, uint8_t value);
// Refuses names of more than 12 characters (13-byte field, always NUL-terminated).
int ComposeFileDelete(uint8_t* out, uint8_t id, const char* name);
// Refuses names of more than 11 characters (12-byte field, always NUL-terminated).
int ComposeFileOpen(uint8_t* out, uint8_t id, const char* name, uint32_t mode);
// Refuses chunks over kMaxFileWriteChunk bytes. out must hold PackedSize(n) + 22 bytes.
int ComposeFileWrite(uint8_t* out, uint8_t id, uint32_t handle, const uint8_t* data, uint32_t n);
int ComposeFileClose(uint8_t* out, uint8_t id, uint32_t handle);
// An identity reply naming manufacturer 0x52, the given family and member codes and revision.
int ComposeIdentityReply(uint8_t* out, uint8_t family, uint8_t member, const uint8_t revision[4]);

// The updater's side of the message set: the id of the device it talks to, which every request
// carries, the requests composed as values, and the updater's own identity reply. A request whose
// arguments cannot be carried comes back empty.
class CMessageSet {
 public:
  std::atomic<uint8_t> DeviceId{kDefaultDeviceId};

  Message UpdateStart() const;
  Message UpdateComplete() const;
  Message RomWrite(const uint8_t* data, uint32_t address, uint32_t n) const;
  Message RomErase(uint32_t address, uint32_t size) const;
  Message GetSemaphore() const;
  Message AudioMute() const;
  Message ResultRequest(uint8_t value) const;
  Message FileDelete(const char* name) const;
  Message FileOpen(const char* name, uint32_t mode) const;
  Message FileWrite(uint32_t handle, const uint8_t* data, uint32_t n) const;
  Message FileClose(uint32_t handle) const;

  // Byte 6 of the updater's identity reply: 0x00 until a run reaches its update-start step.
  void SetIdentityReplyDevice(uint8_t d) { IdentityReplyDevice.store(d); }
  // Writes the updater's 15-byte identity reply; returns 15.
  int IdentityReply(uint8_t* out) const;

 private:
  std::atomic<uint8_t> IdentityReplyDevice{0x00};
};

}  // namespace px
