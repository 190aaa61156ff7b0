// Port discovery from device names in /dev, for systems without sysfs (macOS, the BSDs).
#include "serial/port_discovery_names.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "serial/port_list.h"

namespace px {

namespace {

namespace fs = std::filesystem;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool DigitsOnly(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The Mac's own ports that never lead to a pedal: its console and Wi-Fi debug lines.
constexpr std::string_view kMacBuiltIn[] = {"debug-console", "wlan-debug"};
// The Mac's own Bluetooth serial service, where other devices call in; the pedal never does.
constexpr std::string_view kMacIncoming = "Bluetooth-Incoming-Port";
// Names that USB serial drivers give on macOS.
constexpr std::string_view kMacUsbPrefixes[] = {"usbserial", "usbmodem", "wchusbserial",
                                                "SLAB_USBtoUART"};

// macOS makes a cu.<device name> port for each paired Bluetooth device with a serial service;
// every other cu.* port is a USB adapter's, named by its driver, or one of the Mac's own.
bool MacPort(std::string_view name, std::string& description, bool& bluetooth) {
  if (!StartsWith(name, "cu.") || name.size() == 3) return false;
  const std::string_view device = name.substr(3);
  for (std::string_view builtIn : kMacBuiltIn) {
    if (device == builtIn) return false;
  }
  bluetooth = false;
  if (device == kMacIncoming) {
    description = "the Mac's own Bluetooth incoming port (not a pedal)";
    return true;
  }
  for (std::string_view usb : kMacUsbPrefixes) {
    if (StartsWith(device, usb)) {
      description = StartsWith(device, "usbmodem") ? "USB modem" : "USB serial port";
      return true;
    }
  }
  description = "Bluetooth serial port " + std::string(device);
  bluetooth = true;
  return true;
}

// The BSDs' call-out devices: cuaU<n> for USB serial adapters, cuau<n> for UARTs. Their .init
// and .lock files are settings, not ports.
bool BsdPort(std::string_view name, std::string& description) {
  if (StartsWith(name, "cuaU") && DigitsOnly(name.substr(4))) {
    description = "USB serial port";
    return true;
  }
  if (StartsWith(name, "cuau") && DigitsOnly(name.substr(4))) {
    description = "Serial port";
    return true;
  }
  return false;
}

}  // namespace

bool PortOfDeviceName(const std::string& name, DeviceNaming naming, const std::string& devRoot,
                      PortEntry& port) {
  if (EndsWith(name, ".init") || EndsWith(name, ".lock")) return false;
  std::string description;
  bool bluetooth = false;
  const bool listed = naming == DeviceNaming::kMac ? MacPort(name, description, bluetooth)
                                                   : BsdPort(name, description);
  if (!listed) return false;
  port = serial_detail::MakePortEntry(devRoot + "/" + name, std::move(description));
  // The name decides, not a mention of Bluetooth: the incoming port is the Mac's own.
  port.bluetooth = bluetooth;
  port.incoming = name == "cu." + std::string(kMacIncoming);
  return true;
}

std::vector<PortEntry> ListPortsByName(const std::string& devRoot, DeviceNaming naming) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(devRoot, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  // Directory order is arbitrary; a fixed order keeps the listing repeatable.
  std::sort(names.begin(), names.end());
  std::vector<PortEntry> ports;
  for (const std::string& name : names) {
    PortEntry port;
    if (PortOfDeviceName(name, naming, devRoot, port)) ports.push_back(std::move(port));
  }
  serial_detail::SortPorts(ports);
  return ports;
}

}  // namespace px
