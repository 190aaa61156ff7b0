#include "sim/inbound.h"

#include <cstdio>
#include <cstring>

#include "protocol/codec.h"
#include "protocol/messages.h"

namespace px::sim {

namespace wire {

std::string Hex(uint32_t v, int width) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

std::string Num(int64_t v) {
  return std::to_string(v);
}

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(DecodeSeptet32(p));
}

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

bool PaddingOk(const uint8_t* packed, size_t packedCount) {
  const size_t rest = packedCount % 8;
  if (rest == 0) return true;
  if (rest == 1) return false;  // a group without data bytes
  const uint8_t top = packed[packedCount - rest];
  return (top & (0x7F >> (rest - 1))) == 0;
}

}  // namespace wire

using wire::Hex;
using wire::Num;
using wire::U32;

// The kinds the updater sends are the protocol's own, in the same order; whether each is laid out
// right is the conformance checker's question, not this one's.
static_assert(static_cast<int>(MessageKind::IdentityRequest) ==
              static_cast<int>(px::MessageKind::IdentityRequest));
static_assert(static_cast<int>(MessageKind::ResultRequest) ==
              static_cast<int>(px::MessageKind::ResultRequest));
static_assert(static_cast<int>(MessageKind::FileDelete) ==
              static_cast<int>(px::MessageKind::FileDelete));
static_assert(static_cast<int>(MessageKind::AudioMute) ==
              static_cast<int>(px::MessageKind::AudioMute));
static_assert(static_cast<int>(MessageKind::RomWrite) ==
              static_cast<int>(px::MessageKind::RomWrite));
static_assert(static_cast<int>(MessageKind::Unknown) ==
              static_cast<int>(px::MessageKind::AudioMute) + 1);

MessageKind ClassifyMessage(const uint8_t* m, size_t n) {
  const px::MessageKind kind = px::ClassifyMessage(m, n, Sender::Updater);
  return kind <= px::MessageKind::AudioMute ? static_cast<MessageKind>(kind) : MessageKind::Unknown;
}

std::string DescribeMessage(const uint8_t* m, size_t n, bool fromPedal) {
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
