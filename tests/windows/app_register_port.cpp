// Registers COM ports in the running system's device list, the way a serial driver would, so
// that port discovery under Wine has something to list.
//
//   app_register_port add PORTNAME FRIENDLY NAME...            one port of the Ports class
//   app_register_port add-id ID PORTNAME FRIENDLY NAME...      the same with a full instance ID,
//                                                              such as a Bluetooth port's
//                                                              BTHENUM\...
//   app_register_port clear                                    removes every port registered here
#include <windows.h>
// setupapi.h needs windows.h first.
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

int Fail(const char* step) {
  std::fprintf(stderr, "app_register_port: %s failed (%lu)\n", step, ::GetLastError());
  return 1;
}

// With no instance ID, SetupAPI makes one under ROOT\PORTS.
int Add(const char* instanceId, const char* portName, const std::string& friendly) {
  HDEVINFO set = ::SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  int rc = 0;
  if (!::SetupDiCreateDeviceInfoA(set, instanceId != nullptr ? instanceId : "PORTS", &kPortsClass,
                                  nullptr, nullptr, instanceId != nullptr ? 0 : DICD_GENERATE_ID,
                                  &device)) {
    rc = Fail("SetupDiCreateDeviceInfoA");
  } else if (!::SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) {
    rc = Fail("SetupDiRegisterDeviceInfo");
  } else if (!::SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                                  reinterpret_cast<const BYTE*>(friendly.c_str()),
                                                  static_cast<DWORD>(friendly.size() + 1))) {
    rc = Fail("SetupDiSetDeviceRegistryPropertyA");
  } else if (!::SetupDiCreateDeviceInterfaceA(set, &device, &kComPortInterface, nullptr, 0,
                                              nullptr)) {
    rc = Fail("SetupDiCreateDeviceInterfaceA");
  } else {
    HKEY key =
        ::SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
      rc = Fail("SetupDiCreateDevRegKeyA");
    } else {
      if (::RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                           static_cast<DWORD>(std::strlen(portName) + 1)) != ERROR_SUCCESS) {
        rc = Fail("RegSetValueExA");
      }
      ::RegCloseKey(key);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return rc;
}

// Where the ports registered here live.
bool RegisteredHere(const char* id) {
  return _strnicmp(id, "ROOT\\PORTS\\", 11) == 0 || _strnicmp(id, "BTHENUM\\", 8) == 0;
}

// Removes those devices until none is left; a removal may or may not shift the set.
int Clear() {
  for (int pass = 0; pass < 64; ++pass) {
    HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiGetClassDevsA");
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool found = false;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
      char id[512] = {};
      ::SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), nullptr);
      if (!RegisteredHere(id)) continue;
      found = true;
      if (!::SetupDiRemoveDevice(set, &device)) {
        ::SetupDiDestroyDeviceInfoList(set);
        return Fail("SetupDiRemoveDevice");
      }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    if (!found) return 0;
  }
  std::fprintf(stderr, "app_register_port: ports are still registered\n");
  return 1;
}

std::string Words(int from, int argc, char** argv) {
  std::string text = argv[from];
  for (int i = from + 1; i < argc; ++i) text += std::string(" ") + argv[i];
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "add") == 0) {
    return Add(nullptr, argv[2], Words(3, argc, argv));
  }
  if (argc >= 5 && std::strcmp(argv[1], "add-id") == 0) {
    return Add(argv[2], argv[3], Words(4, argc, argv));
  }
  if (argc == 2 && std::strcmp(argv[1], "clear") == 0) return Clear();
  std::fprintf(stderr,
               "usage: app_register_port add PORTNAME FRIENDLY NAME | add-id ID PORTNAME FRIENDLY "
               "NAME | clear\n");
  return 2;
}
