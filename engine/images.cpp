#include "engine/images.h"

#include "engine/flash_table.h"

namespace px {

std::span<const uint8_t> DeviceImages::Of(int resourceId) const {
  if (resourceId == kFirmwareResource) return firmware;
  if (resourceId == kModuleResource) return module;
  return {};
}

std::optional<DeviceImages> LoadImages(const ImageLoader& loader) {
  const uint8_t* firmware = nullptr;
  const uint8_t* module = nullptr;
  const int32_t firmwareSize = loader(kFirmwareResource, &firmware);
  const int32_t moduleSize = loader(kModuleResource, &module);
  if (firmwareSize < 0 || moduleSize < 0 ||
      moduleSize > static_cast<int32_t>(kModuleFileBufferSize)) {
    return std::nullopt;
  }
  return DeviceImages{{firmware, static_cast<size_t>(firmwareSize)},
                      {module, static_cast<size_t>(moduleSize)}};
}

}  // namespace px
