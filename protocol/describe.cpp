#include "protocol/describe.h"

#include <cstdio>
#include <string>

#include "protocol/codec.h"
#include "protocol/messages.h"

namespace px {
namespace {

std::string Format(const char* fmt, long long a = 0, long long b = 0, long long c = 0,
                   long long d = 0) {
  char buf[160];
  snprintf(buf, sizeof buf, fmt, a, b, c, d);
  return buf;
}

std::string Name(const uint8_t* m, size_t avail, size_t at, size_t width) {
  std::string name;
  for (size_t i = at; i < at + width && i < avail && m[i] != 0; ++i)
    name += static_cast<char>(m[i]);
  return name;
}

std::string DescribeSub(const uint8_t* m, size_t avail) {
  if (avail < 6) return "Sub(short)";
  const uint8_t sub = m[5];
  auto value = [&](size_t at) -> long long { return avail >= at + 5 ? DecodeSeptet32(m + at) : 0; };
  switch (sub) {
    case kSubValueReply:
      return Format("ValueReply value=%lld", value(6));
    case kSubCodeReply:
      return Format("CodeReply code=%lld", avail > 6 ? m[6] : 0);
    case kSubResult:
      return Format("Result(Request/Reply) value=%lld", avail > 6 ? m[6] : 0);
    case kSubGetSemaphore:
      return "GetSemaphore";
    case kSubFileOpen:
      return Format("FileOpen mode=%lld name=", value(6)) + Name(m, avail, 16, 12);
    case kSubFileClose:
      return Format("FileClose handle=%lld", value(6));
    case kSubFileWrite: {
      const long long n = avail >= 16 ? static_cast<uint32_t>(DecodeSeptet32(m + 11)) : 0;
      const size_t crcAt = 16 + PackedSize(static_cast<size_t>(n));
      return Format("FileWrite handle=%lld len=%lld crc=0x%08llX", value(6), n,
                    static_cast<uint32_t>(value(crcAt)));
    }
    case kSubFileDelete:
      return "FileDelete name=" + Name(m, avail, 6, 13);
    default:
      return Format("Sub(0x%02llX)", sub);
  }
}

}  // namespace

std::string DescribeMessage(const uint8_t* m, size_t length) {
  if (length < 2 || m[0] != kSysExStart) return "Garbage";
  const size_t avail = m[length - 1] == kSysExEnd ? length - 1 : length;
  if (m[1] == kUniversalNonRealTime) {
    if (avail >= 5 && m[3] == kGeneralInformation && m[4] == kIdentityRequestCode) {
      return "IdentityRequest";
    }
    if (avail >= 9 && m[3] == kGeneralInformation && m[4] == kIdentityReplyCode) {
      return Format("IdentityReply family=0x%02llX member=%lld", m[6], m[8]);
    }
    return "Universal(other)";
  }
  if (m[1] != kManufacturer || avail < 5) return "Foreign";
  const std::string id = Format(" id=%02llX", m[3]);
  switch (m[4]) {
    case kCmdAck:
      return "Ack" + id + Format(" status=%lld", avail > 5 ? m[5] : -1);
    case kCmdUpdateStart:
      return "UpdateStart" + id;
    case kCmdRomWrite: {
      if (avail < 12) return "RomWrite(short)" + id;
      const uint32_t n = ReadSeptet14(m + 10);
      const size_t crcAt = 12 + PackedSize(n);
      const long long crc =
          avail >= crcAt + 5 ? static_cast<uint32_t>(DecodeSeptet32(m + crcAt)) : 0;
      return "RomWrite" + id +
             Format(" addr=0x%08llX len=%lld crc=0x%08llX",
                    static_cast<uint32_t>(DecodeSeptet32(m + 5)), n, crc);
    }
    case kCmdUpdateComplete:
      return "UpdateComplete" + id;
    case kCmdRomErase:
      if (avail < 15) return "RomErase(short)" + id;
      return "RomErase" + id +
             Format(" addr=0x%08llX size=%lld", static_cast<uint32_t>(DecodeSeptet32(m + 5)),
                    static_cast<uint32_t>(DecodeSeptet32(m + 10)));
    case kCmdFile:
      return DescribeSub(m, avail) + id;
    case kCmdAudio:
      return (avail > 5 && m[5] == kSubAudioMute ? "AudioMute" : "Audio(other)") + id;
    default:
      return Format("DeviceCommand(0x%02llX)", m[4]) + id;
  }
}

std::string HexBytes(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    if (i) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace px
