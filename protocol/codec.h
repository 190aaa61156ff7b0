#pragma once
#include <cstddef>
#include <cstdint>

// Field encodings of the pedal's System Exclusive messages: every byte between F0 and F7 must be
// below 0x80, so numbers travel seven bits at a time and binary data is packed.
namespace px {

// Five bytes, least significant seven bits first; the last byte holds bits 28 to 31.
void EncodeSeptet32(uint32_t value, uint8_t* dest);
// Reads five septets back as a signed 32-bit number (bit 3 of the fifth byte is the sign).
int32_t DecodeSeptet32(const uint8_t* src);

// Two bytes holding 14 bits; higher bits are dropped.
inline void WriteSeptet14(uint32_t value, uint8_t* dest) {
  dest[0] = static_cast<uint8_t>(value & 0x7F);
  dest[1] = static_cast<uint8_t>((value >> 7) & 0x7F);
}
inline uint32_t ReadSeptet14(const uint8_t* src) {
  return src[0] + 128u * src[1];
}

// Size of count raw bytes once packed: count + ceil(count / 7).
constexpr size_t PackedSize(size_t count) {
  return count + (count + 6) / 7;
}

// Packs count raw bytes into groups of one top-bits byte and up to seven low-seven-bit bytes.
// dest must hold PackedSize(count) bytes. Returns the number of bytes written.
size_t Pack7Bit(uint8_t* dest, const uint8_t* src, size_t count);
// The inverse of Pack7Bit for packedCount bytes; returns the number of raw bytes written.
// Used by the virtual pedal; the updater itself never unpacks.
size_t Unpack7Bit(uint8_t* dest, const uint8_t* src, size_t packedCount);

// CRC-32 with the reflected polynomial 0xEDB88320, initial value all ones and no final
// inversion (the complement of the common CRC-32 of the same bytes).
uint32_t BlockCrc32(const uint8_t* data, size_t count);
// Continues a running CRC; BlockCrc32(d, n) == BlockCrc32Update(0xFFFFFFFF, d, n).
uint32_t BlockCrc32Update(uint32_t crc, const uint8_t* data, size_t count);

}  // namespace px
