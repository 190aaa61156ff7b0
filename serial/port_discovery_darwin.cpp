// Port discovery on macOS: the call-out devices /dev/cu.*, told apart by name.
#include "serial/port_discovery.h"
#include "serial/port_discovery_names.h"

namespace px {

PortSystem ThisPortSystem() {
  return PortSystem::kMac;
}

std::vector<PortEntry> ListPortsUnder(const std::string&, const std::string& devRoot) {
  return ListPortsByName(devRoot, DeviceNaming::kMac);
}

std::vector<PortEntry> ListPorts() {
  return ListPortsByName("/dev", DeviceNaming::kMac);
}

}  // namespace px
