#pragma once
#include <cstdint>
#include <functional>

namespace px {

inline constexpr int kFirmwareResource = 231;
inline constexpr int kModuleResource = 238;

// Finds a device image ("BIN" resource) of the running program. Returns its size and sets
// *bytes to its first byte (valid for the life of the process), or returns -1.
int32_t LoadDeviceImage(int resourceId, const uint8_t** bytes);

using ImageLoader = std::function<int32_t(int resourceId, const uint8_t** bytes)>;

}  // namespace px
