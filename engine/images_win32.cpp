#include <windows.h>

#include "engine/images.h"

namespace px {

int32_t LoadDeviceImage(int resourceId, const uint8_t** bytes) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(resourceId), "BIN");
  if (found == nullptr) return -1;
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (loaded == nullptr) return -1;
  const void* locked = LockResource(loaded);
  if (locked == nullptr) return -1;
  *bytes = static_cast<const uint8_t*>(locked);
  return static_cast<int32_t>(SizeofResource(nullptr, found));
}

}  // namespace px
