#pragma once
#include <string>

namespace px::test {

// Registers a Ports-class device with the COM port interface, as a port driver would: its id
// is ROOT\PORTS\<id>, with a FRIENDLYNAME and a PortName value in its device key. An empty
// friendly or port name leaves that out. False when SetupAPI refused a step.
bool RegisterTestPort(const std::string& id, const std::string& portName,
                      const std::string& friendlyName);
// The same under a full instance ID, such as a Bluetooth port's BTHENUM\{...}\...
bool RegisterTestDevice(const std::string& instanceId, const std::string& portName,
                        const std::string& friendlyName);
// Removes every device registered with an id starting with prefix; the number removed.
int RemoveTestPorts(const std::string& prefix);
// The same for full instance IDs.
int RemoveTestDevices(const std::string& instancePrefix);

}  // namespace px::test
