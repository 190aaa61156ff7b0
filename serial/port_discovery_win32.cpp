// Port discovery from the Windows device installation services and the registry.
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include "serial/port_discovery.h"
#include "serial/port_list.h"

namespace px {

namespace {

// GUID_DEVINTERFACE_COMPORT
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

constexpr DWORD kTextSize = 256;

bool ReadFriendlyName(HDEVINFO set, SP_DEVINFO_DATA& device, char (&text)[kTextSize + 1]) {
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                         reinterpret_cast<BYTE*>(text), kTextSize, nullptr)) {
    return false;
  }
  text[kTextSize] = '\0';
  return true;
}

bool ReadPortName(HDEVINFO set, SP_DEVINFO_DATA& device, char (&text)[kTextSize + 1]) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return false;
  DWORD size = kTextSize;
  LONG status =
      RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return false;
  // A value stored without its terminator still ends within the buffer.
  text[size < kTextSize ? size : kTextSize] = '\0';
  return true;
}

}  // namespace

void ListComPorts(char** list, int capacity) {
  HDEVINFO set = SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  int count = 0;
  SP_DEVINFO_DATA device;
  for (DWORD index = 0;; ++index) {
    ZeroMemory(&device, sizeof device);
    // 28 bytes in a 32-bit program, 32 in a 64-bit one: the structure's own size either way.
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    char friendly[kTextSize + 1];
    char portName[kTextSize + 1];
    if (!ReadFriendlyName(set, device, friendly)) continue;
    if (!ReadPortName(set, device, portName)) continue;
    if (!serial_detail::HasComPrefix(portName)) continue;
    serial_detail::AddPortEntry(list, capacity, count, portName, friendly);
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace px
