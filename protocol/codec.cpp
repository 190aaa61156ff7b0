#include "protocol/codec.h"

#include <array>

namespace px {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

}  // namespace

void EncodeSeptet32(uint32_t value, uint8_t* dest) {
  dest[0] = static_cast<uint8_t>(value & 0x7F);
  dest[1] = static_cast<uint8_t>((value >> 7) & 0x7F);
  dest[2] = static_cast<uint8_t>((value >> 14) & 0x7F);
  dest[3] = static_cast<uint8_t>((value >> 21) & 0x7F);
  dest[4] = static_cast<uint8_t>(value >> 28);
}

int32_t DecodeSeptet32(const uint8_t* src) {
  const uint32_t v = (src[0] & 0x7Fu) | ((src[1] & 0x7Fu) << 7) | ((src[2] & 0x7Fu) << 14) |
                     ((src[3] & 0x7Fu) << 21) | ((src[4] & 0x0Fu) << 28);
  return static_cast<int32_t>(v);
}

size_t Pack7Bit(uint8_t* dest, const uint8_t* src, size_t count) {
  uint8_t* out = dest;
  for (size_t g = 0; g < count; g += 7) {
    const size_t n = count - g < 7 ? count - g : 7;
    uint8_t* top = out++;
    uint8_t bits = 0;
    for (size_t j = 0; j < n; ++j) {
      const uint8_t b = src[g + j];
      bits |= static_cast<uint8_t>((b >> 7) << (6 - j));
      *out++ = b & 0x7F;
    }
    *top = bits;
  }
  return static_cast<size_t>(out - dest);
}

size_t Unpack7Bit(uint8_t* dest, const uint8_t* src, size_t packedCount) {
  size_t written = 0;
  for (size_t g = 0; g < packedCount; g += 8) {
    const uint8_t top = src[g];
    const size_t n = packedCount - g - 1 < 7 ? packedCount - g - 1 : 7;
    for (size_t j = 0; j < n; ++j) {
      dest[written++] =
          static_cast<uint8_t>((src[g + 1 + j] & 0x7F) | (((top >> (6 - j)) & 1) << 7));
    }
  }
  return written;
}

uint32_t BlockCrc32Update(uint32_t crc, const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t BlockCrc32(const uint8_t* data, size_t count) {
  return BlockCrc32Update(0xFFFFFFFFu, data, count);
}

}  // namespace px
