#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace px {

inline constexpr int kFirmwareResource = 231;
inline constexpr int kModuleResource = 238;

// Finds a device image ("BIN" resource) of the running program. Returns its size and sets
// *bytes to its first byte (valid for the life of the process), or returns -1.
int32_t LoadDeviceImage(int resourceId, const uint8_t** bytes);

using ImageLoader = std::function<int32_t(int resourceId, const uint8_t** bytes)>;

// The two images an update writes: the firmware into the flash, the module as a device file.
// Their bytes belong to the loader and outlive every run.
struct DeviceImages {
  std::span<const uint8_t> firmware;
  std::span<const uint8_t> module;

  // The image of a resource id: the firmware or the module, empty for any other id.
  std::span<const uint8_t> Of(int resourceId) const;
};

// Loads both images and checks them by the one rule: both there, and the module no larger than
// the device's file buffer. Nothing when either breaks it.
std::optional<DeviceImages> LoadImages(const ImageLoader& loader = LoadDeviceImage);

}  // namespace px
