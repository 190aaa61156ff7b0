#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/pedal_config.h"

// Reading a message from the pedal's side of the line: what kind it is, its fields, and a
// one-line description for traces.
namespace px::sim {

// What the updater sends: flash blocks of 12,288 bytes and file chunks of 4,096, the last of
// each shorter; files opened with mode 1.
inline constexpr uint32_t kUpdaterBlock = 12288;
inline constexpr uint32_t kUpdaterChunk = 4096;
inline constexpr uint32_t kOpenForWriting = 1;
// The largest file chunk the device takes.
inline constexpr uint32_t kMaxChunk = 65536;

MessageKind ClassifyMessage(const uint8_t* m, size_t n);
// A one-line description of any message either side sends.
std::string DescribeMessage(const uint8_t* m, size_t n, bool fromPedal = false);

namespace wire {

std::string Hex(uint32_t v, int width = 2);
std::string Num(int64_t v);
// A correct encoder leaves bits 4 to 6 of a Septet32's fifth byte clear.
inline bool SeptetOk(const uint8_t* p) {
  return p[4] <= 0x0F;
}
uint32_t U32(const uint8_t* p);
// Printable characters, a NUL within the field, and nothing but zeros after it.
bool ReadName(const uint8_t* p, size_t width, std::string& name);
// The top-bits byte of a short last group has no bits set for its missing bytes.
bool PaddingOk(const uint8_t* packed, size_t packedCount);

}  // namespace wire
}  // namespace px::sim
