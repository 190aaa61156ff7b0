#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/images.h"

namespace px {

// One flash table entry: erase (kind 1) or write (kind 2); other kinds are skipped.
struct FlashImageEntry {
  uint32_t kind;
  uint32_t address;
  uint32_t size;
  uint32_t resourceId;
};
inline constexpr uint32_t kFlashErase = 1;
inline constexpr uint32_t kFlashWrite = 2;
inline constexpr FlashImageEntry FlashImageTable[] = {
    {kFlashErase, 0x000A0000, 0x00100000, 0},
    {kFlashWrite, 0x000A0000, 0, kFirmwareResource},
};

inline constexpr uint32_t kWriteBlock = 0x3000;
inline constexpr uint32_t kFileChunk = 4096;
inline constexpr const char* kModuleFileName = "LINESEL.TDL";
inline constexpr uint32_t kModuleOpenMode = 1;

// Only a pedal of variant 1 has the module file: it alone gets the file transfer (and the
// semaphore and the mute before it).
constexpr bool CarriesModuleFile(uint8_t variant) {
  return variant == 1;
}

}  // namespace px
