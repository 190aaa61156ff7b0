// Port discovery on the BSDs: the call-out devices /dev/cuaU* and /dev/cuau*.
#include "serial/port_discovery.h"
#include "serial/port_discovery_names.h"

namespace px {

PortSystem ThisPortSystem() {
  return PortSystem::kBsd;
}

std::vector<PortEntry> ListPortsUnder(const std::string&, const std::string& devRoot) {
  return ListPortsByName(devRoot, DeviceNaming::kBsd);
}

std::vector<PortEntry> ListPorts() {
  return ListPortsByName("/dev", DeviceNaming::kBsd);
}

}  // namespace px
