// Port discovery from the Windows device installation services and the registry.
#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

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
  HKEY opened = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (opened == INVALID_HANDLE_VALUE) return false;
  std::unique_ptr<HKEY__, decltype(&RegCloseKey)> key(opened, RegCloseKey);
  DWORD size = kTextSize;
  LONG status = RegQueryValueExA(key.get(), "PortName", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(text), &size);
  if (status != ERROR_SUCCESS) return false;
  // A value stored without its terminator still ends within the buffer.
  text[size < kTextSize ? size : kTextSize] = '\0';
  return true;
}

// The device's instance ID, such as
// BTHENUM\{...}_LOCALMFG&0002\7&2C3B4A5D&0&B0F1ECE31BAA_C00000000; empty when the system does not
// give it.
std::string ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  char id[kTextSize + 1] = {};  // instance IDs have at most 200 characters
  if (!SetupDiGetDeviceInstanceIdA(set, &device, id, kTextSize, nullptr)) return "";
  return id;
}

}  // namespace

PortSystem ThisPortSystem() {
  return PortSystem::kWindows;
}

// COM ports have no fixture tree: the tests register ports with the system instead.
std::vector<PortEntry> ListPortsUnder(const std::string&, const std::string&) {
  return {};
}

std::vector<PortEntry> ListPorts() {
  std::vector<PortEntry> ports;
  HDEVINFO opened = SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (opened == INVALID_HANDLE_VALUE) return ports;
  std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)> set(opened,
                                                                     SetupDiDestroyDeviceInfoList);
  SP_DEVINFO_DATA device;
  for (DWORD index = 0;; ++index) {
    ZeroMemory(&device, sizeof device);
    // 28 bytes in a 32-bit program, 32 in a 64-bit one: the structure's own size either way.
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) break;
    char friendly[kTextSize + 1];
    char portName[kTextSize + 1];
    if (!ReadFriendlyName(set.get(), device, friendly)) continue;
    if (!ReadPortName(set.get(), device, portName)) continue;
    // Only COM ports are listed, "COM" in any case.
    if (!HasComPrefix(portName)) continue;
    PortEntry port = serial_detail::MakePortEntry(portName, friendly);
    // A paired Bluetooth device has two ports of the same name; only its ID tells them apart.
    serial_detail::TakeInstanceId(port, ReadInstanceId(set.get(), device));
    ports.push_back(std::move(port));
  }
  serial_detail::SortPorts(ports);
  return ports;
}

}  // namespace px
