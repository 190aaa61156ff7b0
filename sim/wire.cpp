#include "sim/wire.h"

#include <cctype>
#include <cstdio>

#include "protocol/codec.h"
#include "sim/message_table.h"

namespace px::sim {

bool ParseKind(std::string_view name, WireKind& kind) {
  for (size_t i = 0; i < kMessageKindCount; ++i) {
    const std::string_view known = KindName(static_cast<WireKind>(i));
    if (known.size() != name.size()) continue;
    size_t k = 0;
    while (k < name.size() && std::tolower(static_cast<unsigned char>(name[k])) ==
                                  std::tolower(static_cast<unsigned char>(known[k]))) {
      ++k;
    }
    if (k == name.size()) {
      kind = static_cast<WireKind>(i);
      return true;
    }
  }
  return false;
}

namespace wire {
namespace {

uint8_t Low7(int32_t v) {
  return static_cast<uint8_t>(v & 0x7F);
}

std::string Loose(const uint8_t* m, size_t n) {
  std::string s = Num(static_cast<int64_t>(n)) + " loose bytes:";
  for (size_t i = 0; i < n && i < 16; ++i) s += " " + Hex(m[i]).substr(2);
  return n > 16 ? s + " ..." : s;
}

// The fields of a request, as its row lays them out.
std::string Fields(const Row& row, const uint8_t* m, size_t n) {
  std::string s;
  for (const Field& f : row.fields) {
    if (f.name == nullptr || f.at + f.width >= n) break;
    if (f.enc == Enc::Septet32) {
      const bool hex = f.width == 5 && (f.at == 5 || f.at == 10);  // flash addresses and sizes
      s += std::string(" ") + f.name + " " + (hex ? Hex(U32(m + f.at), 8) : Num(U32(m + f.at)));
    } else if (f.enc == Enc::Septet14) {
      s += " n=" + Num(U14(m + f.at));
    } else if (f.enc == Enc::None && f.width > 1) {
      std::string name;
      for (size_t i = 0; i < f.width && m[f.at + i] != 0; ++i)
        name += static_cast<char>(m[f.at + i]);
      s += " \"" + name + "\"";
    } else if (f.enc == Enc::None) {
      s += std::string(" ") + f.name + " " + Num(m[f.at]);
    }
  }
  if (row.payloadAt != 0 && LengthMatches(row, m, n)) {
    s += " crc=" + Hex(U32(m + row.payloadAt + PackedSize(PayloadCount(row, m, n))), 8);
  }
  return s;
}

std::string DescribeAnswer(const uint8_t* m, size_t n) {
  if (m[kCommandAt] == kCmdAck) return "Ack " + Num(m[5]);
  if (m[kCommandAt] != kCmdFile) return "device command " + Hex(m[kCommandAt]);
  if (m[kSubAt] == kSubValue && n >= 12) return "ValueReply " + Num(DecodeSeptet32(m + 6));
  if (m[kSubAt] == kSubCode && n >= 8) return "CodeReply " + Num(m[6]);
  if (m[kSubAt] == kSubResult && n >= 8) return "ResultReply " + Num(m[6]);
  return "command 0x60 sub " + Hex(m[kSubAt]);
}

}  // namespace

bool Accepted(uint8_t family) {
  return family == 0x5E || family == 0x5D;
}

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

std::vector<uint8_t> AckMessage(uint8_t id, uint8_t status) {
  return {kStart, kMaker, 0x00, id, kCmdAck, Low7(status), kEnd};
}

std::vector<uint8_t> ValueMessage(uint8_t id, int32_t value) {
  std::vector<uint8_t> m = {kStart, kMaker, 0x00, id, kCmdFile, kSubValue, 0, 0, 0, 0, 0, kEnd};
  EncodeSeptet32(static_cast<uint32_t>(value), m.data() + 6);
  return m;
}

std::vector<uint8_t> ResultMessage(uint8_t id, uint8_t status) {
  return {kStart, kMaker, 0x00, id, kCmdFile, kSubResult, Low7(status), kEnd};
}

std::vector<uint8_t> CodeMessage(uint8_t id, uint8_t code, int32_t value) {
  uint8_t m[17] = {kStart, kMaker, 0x00, id, kCmdFile, kSubCode, Low7(code)};
  size_t n = 7;
  if (code == kValueCode) {
    EncodeSeptet32(static_cast<uint32_t>(value), m + 11);  // behind two fields of zeros
    n = 16;
  }
  m[n++] = kEnd;
  return std::vector<uint8_t>(m, m + n);
}

std::vector<uint8_t> SubReplyMessage(uint8_t id, uint8_t sub) {
  return {kStart, kMaker, 0x00, id, kCmdFile, Low7(sub), 0x00, 0x00, 0x00, 0x00, 0x00, kEnd};
}

std::vector<uint8_t> IdentityMessage(uint8_t family, uint8_t member, const uint8_t revision[4]) {
  return {kStart,
          kUniversal,
          0x00,
          kGeneralInfo,
          kIdentityTell,
          kMaker,
          Low7(family),
          0x00,
          Low7(member),
          0x00,
          Low7(revision[0]),
          Low7(revision[1]),
          Low7(revision[2]),
          Low7(revision[3]),
          kEnd};
}

std::vector<uint8_t> IdentityAsk() {
  return {kStart, kUniversal, 0x7F, kGeneralInfo, kIdentityAsk, kEnd};
}

std::vector<uint8_t> DeviceCommand(uint8_t id, uint8_t command) {
  return {kStart, kMaker, 0x00, id, command, kEnd};
}

std::string Describe(const uint8_t* m, size_t n, bool fromPedal) {
  if (n == 0) return "nothing";
  if (m[0] != kStart || n < 2 || m[n - 1] != kEnd) return Loose(m, n);
  const std::string size = " (" + Num(static_cast<int64_t>(n)) + " bytes)";
  if (m[1] == kUniversal && n >= 6 && m[3] == kGeneralInfo) {
    if (m[4] == kIdentityAsk) return "IdentityRequest" + size;
    if (m[4] == kIdentityTell && n >= 10) {
      return "IdentityReply family " + Hex(m[6]) + " member " + Num(m[8]) + size;
    }
  }
  if (m[1] != kMaker || n < 6) return "message of maker " + Hex(m[1]) + size;
  const std::string id = " [" + Hex(m[kIdAt]) + "]";
  if (fromPedal) return DescribeAnswer(m, n) + id;
  const WireKind kind = Classify(m, n);
  if (kind == WireKind::Unknown) {
    const bool sub = m[kCommandAt] == kCmdFile || m[kCommandAt] == kCmdAudio;
    return "command " + Hex(m[kCommandAt]) + (sub ? " sub " + Hex(m[kSubAt]) : "") + id + size;
  }
  return KindName(kind) + Fields(RowOf(kind), m, n) + id + size;
}

}  // namespace wire
}  // namespace px::sim
