#pragma once
#include <string>
#include <vector>

#include "serial/port_discovery.h"

namespace px {

// ListPorts over a sysfs tree at sysRoot ("/sys"); the ports are named under devRoot ("/dev").
// Lists Bluetooth RFCOMM ports, USB serial and ACM ports, and other ttys that a driver bound to
// real hardware; never consoles, ptys or UART slots without a UART.
std::vector<PortEntry> ListPortsAt(const std::string& sysRoot, const std::string& devRoot);

}  // namespace px
