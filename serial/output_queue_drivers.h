#pragma once
#include <string>

namespace px::serial_detail {

// Whether the driver behind a Windows COM port, named by its device (what QueryDosDevice gives
// for "COM7", such as "\Device\Serial0"), is one known to report in its output-queue figure
// (cbOutQue) exactly the bytes that have not left the host. Every other driver's figure is not
// trusted. Plain string work, so that it is tested on every build.
bool DriverCountsUnsentBytes(const std::string& deviceName);

}  // namespace px::serial_detail
