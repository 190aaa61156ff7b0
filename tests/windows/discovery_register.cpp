#include "discovery_register.h"

#include <windows.h>
// after windows.h
#include <setupapi.h>

#include <cstring>

namespace px::test {

namespace {

// GUID_DEVCLASS_PORTS and GUID_DEVINTERFACE_COMPORT
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

}  // namespace

bool RegisterTestPort(const std::string& id, const std::string& portName,
                      const std::string& friendlyName) {
  return RegisterTestDevice("ROOT\\PORTS\\" + id, portName, friendlyName);
}

bool RegisterTestDevice(const std::string& instance, const std::string& portName,
                        const std::string& friendlyName) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool ok =
      SetupDiCreateDeviceInfoA(set, instance.c_str(), &kPortsClass, nullptr, nullptr, 0, &device) &&
      SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
  if (ok && !friendlyName.empty()) {
    ok = SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                           reinterpret_cast<const BYTE*>(friendlyName.c_str()),
                                           static_cast<DWORD>(friendlyName.size() + 1));
  }
  SP_DEVICE_INTERFACE_DATA face{};
  face.cbSize = sizeof face;
  ok = ok && SetupDiCreateDeviceInterfaceA(set, &device, &kComPortInterface, nullptr, 0, &face);
  if (ok && !portName.empty()) {
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    ok = key != INVALID_HANDLE_VALUE;
    if (ok) {
      ok = RegSetValueExA(key, "PortName", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(portName.c_str()),
                          static_cast<DWORD>(portName.size() + 1)) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

int RemoveTestPorts(const std::string& prefix) {
  return RemoveTestDevices("ROOT\\PORTS\\" + prefix);
}

int RemoveTestDevices(const std::string& wanted) {
  HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    char id[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) continue;
    if (_strnicmp(id, wanted.c_str(), wanted.size()) != 0) continue;
    if (SetupDiRemoveDevice(set, &device)) ++removed;
  }
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}

}  // namespace px::test
