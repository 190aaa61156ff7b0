#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The pedal's own words for the wire: the bytes of the message set as the device knows them, the
// kinds of message it receives, and the readers and writers of fields. Nothing here comes from
// the updater's protocol code; only the field encodings (septets, packing, CRC) are shared, and
// fixed vectors pin those.
namespace px::sim {

// Every message the pedal can receive, by what it is.
enum class WireKind : uint8_t {
  IdentityRequest,
  IdentityReply,  // the updater's answer to the pedal's own IdentityRequest
  Ack,            // the updater's answer to a device command
  UpdateStart,
  RomWrite,
  UpdateComplete,
  RomErase,
  ResultRequest,
  GetSemaphore,
  FileOpen,
  FileClose,
  FileWrite,
  FileDelete,
  AudioMute,
  Unknown,
};
inline constexpr size_t kMessageKindCount = static_cast<size_t>(WireKind::Unknown) + 1;

const char* KindName(WireKind kind);
// Case-insensitive; false for an unknown name.
bool ParseKind(std::string_view name, WireKind& kind);

// What the updater sends: flash blocks of 12,288 bytes and file chunks of 4,096, the last of
// each shorter; files opened with mode 1.
inline constexpr uint32_t kUpdaterBlock = 12288;
inline constexpr uint32_t kUpdaterChunk = 4096;
inline constexpr uint32_t kOpenForWriting = 1;

namespace wire {

// Framing, the two families and the header of a device-specific message.
inline constexpr uint8_t kStart = 0xF0;
inline constexpr uint8_t kEnd = 0xF7;
inline constexpr uint8_t kMaker = 0x52;      // byte 1 of a device-specific message
inline constexpr uint8_t kUniversal = 0x7E;  // byte 1 of an identity message
inline constexpr uint8_t kGeneralInfo = 0x06;
inline constexpr uint8_t kIdentityAsk = 0x01;
inline constexpr uint8_t kIdentityTell = 0x02;
inline constexpr size_t kChannelAt = 2;  // 0x00 from the updater
inline constexpr size_t kIdAt = 3;
inline constexpr size_t kCommandAt = 4;
inline constexpr size_t kSubAt = 5;

// Commands and the sub-commands of the device's answers.
inline constexpr uint8_t kCmdAck = 0x00;
inline constexpr uint8_t kCmdFile = 0x60;
inline constexpr uint8_t kCmdAudio = 0x61;
inline constexpr uint8_t kSubValue = 0x03;
inline constexpr uint8_t kSubCode = 0x04;
inline constexpr uint8_t kSubResult = 0x05;
// The code of a CodeReply that carries a signed value behind an error field.
inline constexpr uint8_t kValueCode = 34;

// The id an updater uses before it has read ours, and the family codes it goes on with.
inline constexpr uint8_t kFirstId = 0x5E;
bool Accepted(uint8_t family);

std::string Hex(uint32_t v, int width = 2);
std::string Num(int64_t v);
// A correct encoder leaves bits 4 to 6 of a Septet32's fifth byte clear.
inline bool SeptetOk(const uint8_t* p) {
  return p[4] <= 0x0F;
}
uint32_t U32(const uint8_t* p);
inline uint32_t U14(const uint8_t* p) {
  return p[0] + 128u * p[1];
}
// Printable characters, a NUL within the field, and nothing but zeros after it.
bool ReadName(const uint8_t* p, size_t width, std::string& name);
// The top-bits byte of a short last group has no bits set for its missing bytes.
bool PaddingOk(const uint8_t* packed, size_t packedCount);

// The pedal's own messages.
std::vector<uint8_t> AckMessage(uint8_t id, uint8_t status);
std::vector<uint8_t> ValueMessage(uint8_t id, int32_t value);
std::vector<uint8_t> ResultMessage(uint8_t id, uint8_t status);
// Code 34 carries an error field of 0, a field not examined, then the value.
std::vector<uint8_t> CodeMessage(uint8_t id, uint8_t code, int32_t value);
// A file sub-reply of another sub-command, with zeros where a known one carries its status: a
// careless reader sees a success.
std::vector<uint8_t> SubReplyMessage(uint8_t id, uint8_t sub);
std::vector<uint8_t> IdentityMessage(uint8_t family, uint8_t member, const uint8_t revision[4]);
// The pedal asks who listens (byte 2: to everyone).
std::vector<uint8_t> IdentityAsk();
std::vector<uint8_t> DeviceCommand(uint8_t id, uint8_t command);

// A one-line description of any message either side sends, for traces.
std::string Describe(const uint8_t* m, size_t n, bool fromPedal = false);

}  // namespace wire
}  // namespace px::sim
