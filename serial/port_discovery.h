#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace px {

// One serial port present on this machine.
struct PortEntry {
  std::string name;         // what CSerialLink::Open takes: "COM7", "/dev/rfcomm0"
  std::string description;  // the system's friendly name of the device
  bool bluetooth = false;   // the name or the description mentions Bluetooth
  // The system's own Bluetooth serial service, where other devices call in (Windows' port whose
  // device address is all zeros, the Mac's Bluetooth-Incoming-Port): it opens at once and never
  // reaches a pedal.
  bool incoming = false;
  // The address of the Bluetooth device the port connects to ("B0F1ECE31BAA"), where the system
  // tells (Windows); empty otherwise.
  std::string deviceAddress;
};

// The system whose port names and discovery this build follows, chosen when it is built: a
// build may follow another POSIX system than the one it runs on (the CI builds the device-name
// listing on Linux), so code that depends on the system asks this rather than the compiler.
enum class PortSystem { kWindows, kLinux, kMac, kBsd };
PortSystem ThisPortSystem();

// The serial ports present, at most 256: COM ports by number (equal numbers in the order found),
// then device paths in natural order (rfcomm2 before rfcomm10).
std::vector<PortEntry> ListPorts();
// ListPorts over a fixture tree: sysRoot stands for /sys (where ports are found there), devRoot
// for /dev. Only the tests' port roots use it; Windows lists nothing here.
std::vector<PortEntry> ListPortsUnder(const std::string& sysRoot, const std::string& devRoot);
// The port as the port list shows it: "COM7:friendly name", cut to 255 characters.
std::string EntryText(const PortEntry& port);
// A port through which a pedal may be reached without naming it: a Bluetooth port that is not
// the system's own incoming one. What --all takes.
bool MayLeadToPedal(const PortEntry& port);
// The port to preselect: the first Bluetooth port that names the device it connects to, else
// the first that may lead to a pedal, else the first; -1 when there is none.
int PreferredPortIndex(const std::vector<PortEntry>& ports);

// The device address that a Windows device instance ID gives a Bluetooth serial port: the
// twelve hex digits before the last '_' of a BTHENUM ID's last part
// ("BTHENUM\{...}_LOCALMFG&0002\7&2C3B4A5D&0&B0F1ECE31BAA_C00000000" gives "B0F1ECE31BAA",
// the incoming port's "...&0&000000000000_00000000" all zeros); empty for any other ID.
std::string BluetoothAddressOfInstanceId(std::string_view instanceId);

// The COM port number of a port name, the one rule for it. "COM" in any case followed by a
// decimal number without leading zeros gives that number; -1 when the name does not start with
// "COM" or nothing follows it; 0, which no port bears, for anything else after "COM" (letters,
// spaces, "COM007", a number too large for an int), so that such a name never opens a
// different port.
int ComPortNumber(std::string_view name);
// Whether a port name starts with "COM" in any case: the ports that Windows lists.
bool HasComPrefix(std::string_view name);

}  // namespace px
