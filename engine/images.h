#pragma once
#include <cstddef>
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

// The largest module file the device holds.
inline constexpr size_t kModuleFileBufferSize = 65536;

// The two images an update writes: the firmware into the flash, the module as a device file.
// Their bytes belong to the loader and outlive every run.
struct DeviceImages {
  std::span<const uint8_t> firmware;
  std::span<const uint8_t> module;

  // The image of a resource id: the firmware or the module, empty for any other id.
  std::span<const uint8_t> Of(int resourceId) const {
    return resourceId == kFirmwareResource ? firmware
           : resourceId == kModuleResource ? module
                                           : std::span<const uint8_t>();
  }
};

// Loads both images and checks them by the one rule: both there, and the module no larger than
// the device's file buffer. Nothing when either breaks it.
inline std::optional<DeviceImages> LoadImages(const ImageLoader& loader = LoadDeviceImage) {
  const uint8_t* bytes[2] = {nullptr, nullptr};
  const int32_t firmware = loader(kFirmwareResource, &bytes[0]);
  const int32_t module = loader(kModuleResource, &bytes[1]);
  if (firmware < 0 || module < 0 || module > static_cast<int32_t>(kModuleFileBufferSize)) {
    return std::nullopt;
  }
  return DeviceImages{{bytes[0], static_cast<size_t>(firmware)},
                      {bytes[1], static_cast<size_t>(module)}};
}

}  // namespace px
