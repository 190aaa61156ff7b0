#include "engine/images.h"

extern const unsigned char kPxFirmwareImage[];
extern const long kPxFirmwareImageSize;
extern const unsigned char kPxModuleImage[];
extern const long kPxModuleImageSize;

namespace px {

int32_t LoadDeviceImage(int resourceId, const uint8_t** bytes) {
  if (resourceId == kFirmwareResource) {
    *bytes = kPxFirmwareImage;
    return static_cast<int32_t>(kPxFirmwareImageSize);
  }
  if (resourceId == kModuleResource) {
    *bytes = kPxModuleImage;
    return static_cast<int32_t>(kPxModuleImageSize);
  }
  return -1;
}

}  // namespace px
