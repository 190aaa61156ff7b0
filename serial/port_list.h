#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "serial/port_discovery.h"

namespace px::serial_detail {

constexpr size_t kMaxPorts = 256;

// A listed port, its Bluetooth mark taken from its name and description.
PortEntry MakePortEntry(std::string name, std::string description);

// What the port's Windows device instance ID tells: the Bluetooth device it connects to, or
// that it is the PC's own incoming port.
void TakeInstanceId(PortEntry& port, std::string_view instanceId);

// Puts the ports in list order (see ListPorts) and keeps the first kMaxPorts.
void SortPorts(std::vector<PortEntry>& ports);

// Natural order of names: runs of digits compare by value, so rfcomm2 comes before rfcomm10.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace px::serial_detail
