#pragma once
#include <string>

namespace px {

// ListComPorts over a sysfs tree at sysRoot ("/sys"); entries name the ports under devRoot
// ("/dev"). Lists Bluetooth RFCOMM ports, USB serial and ACM ports, and other ttys that a
// driver bound to real hardware; never consoles, ptys or UART slots without a UART.
void ListComPortsAt(const std::string& sysRoot, const std::string& devRoot, char** list,
                    int capacity);

}  // namespace px
