// Port discovery from sysfs (Linux).
#include "serial/port_discovery_linux.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "serial/port_discovery.h"
#include "serial/port_list.h"

namespace px {

namespace {

namespace fs = std::filesystem;

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The USB device that a tty hangs under: the nearest ancestor with a vendor id.
bool FindUsbDevice(const fs::path& sysRoot, fs::path device, fs::path& usbDevice) {
  std::error_code ec;
  fs::path root = fs::weakly_canonical(sysRoot, ec);
  for (int level = 0; level < 6 && !device.empty() && device != device.root_path(); ++level) {
    if (Exists(device / "idVendor")) {
      usbDevice = device;
      return true;
    }
    if (device == root) break;
    device = device.parent_path();
  }
  return false;
}

std::string UsbFriendlyName(const fs::path& usbDevice, const std::string& name) {
  std::string manufacturer = ReadLine(usbDevice / "manufacturer");
  std::string product = ReadLine(usbDevice / "product");
  std::string text = manufacturer;
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  if (text.empty()) text = StartsWith(name, "ttyACM") ? "USB modem" : "USB serial port";
  return text;
}

// Serial-core ports exist for every UART slot the driver reserves; "type" 0 says no UART
// answered in that slot.
bool HasUart(const fs::path& tty) {
  if (!Exists(tty / "type")) return true;
  std::string type = ReadLine(tty / "type");
  return !type.empty() && type != "0";
}

// The friendly name of a tty worth listing; false for one that is not.
bool FriendlyNameOf(const fs::path& sysRoot, const fs::path& tty, const std::string& name,
                    std::string& friendly) {
  if (StartsWith(name, "rfcomm")) {
    // RFCOMM ports have no device link; the bound address and channel are attributes.
    friendly = "Bluetooth serial port";
    std::string address = ReadLine(tty / "address");
    std::string channel = ReadLine(tty / "channel");
    if (!address.empty()) friendly += " " + address;
    if (!channel.empty()) friendly += " channel " + channel;
    return true;
  }
  fs::path deviceLink = tty / "device";
  if (!Exists(deviceLink)) return false;  // consoles, ptys, virtual terminals
  std::error_code ec;
  fs::path device = fs::canonical(deviceLink, ec);
  if (ec) return false;
  fs::path usbDevice;
  if (FindUsbDevice(sysRoot, device, usbDevice)) {
    friendly = UsbFriendlyName(usbDevice, name);
    return true;
  }
  if (!Exists(device / "driver") || !HasUart(tty)) return false;
  friendly = "Serial port";
  return true;
}

}  // namespace

std::vector<PortEntry> ListPortsAt(const std::string& sysRoot, const std::string& devRoot) {
  std::error_code ec;
  fs::path classDir = fs::path(sysRoot) / "class" / "tty";
  std::vector<std::string> names;
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  // Directory order is arbitrary; a fixed order keeps the listing repeatable.
  std::sort(names.begin(), names.end());
  std::vector<PortEntry> ports;
  for (const std::string& name : names) {
    std::string friendly;
    if (!FriendlyNameOf(sysRoot, classDir / name, name, friendly)) continue;
    ports.push_back(serial_detail::MakePortEntry(devRoot + "/" + name, std::move(friendly)));
  }
  serial_detail::SortPorts(ports);
  return ports;
}

PortSystem ThisPortSystem() {
  return PortSystem::kLinux;
}

std::vector<PortEntry> ListPortsUnder(const std::string& sysRoot, const std::string& devRoot) {
  return ListPortsAt(sysRoot, devRoot);
}

std::vector<PortEntry> ListPorts() {
  return ListPortsAt("/sys", "/dev");
}

}  // namespace px
