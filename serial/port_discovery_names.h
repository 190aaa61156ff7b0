#pragma once
#include <string>
#include <vector>

#include "serial/port_discovery.h"

namespace px {

// How a system names its serial devices in /dev.
enum class DeviceNaming {
  kMac,  // cu.<name>: USB adapters as usbserial-*, usbmodem* and the like; a paired Bluetooth
         // device's serial port under the device's own name
  kBsd,  // cuaU<n> (USB serial), cuau<n> (the machine's own UARTs)
};

// The port that the device file `name` in devRoot stands for; false for a name that is not a
// port to list (tty.* twins, .init and .lock files, the Mac's built-in debug ports).
bool PortOfDeviceName(const std::string& name, DeviceNaming naming, const std::string& devRoot,
                      PortEntry& port);
// Every port in devRoot by that naming, in list order.
std::vector<PortEntry> ListPortsByName(const std::string& devRoot, DeviceNaming naming);

}  // namespace px
