#include "serial/output_queue_drivers.h"

#include <cctype>
#include <string_view>

namespace px::serial_detail {

namespace {

// The device names, less their number, of drivers whose output queue is the bytes still to
// leave: the system's own UART driver (Serial), its USB CDC driver (usbser), and the USB serial
// bridges of FTDI (VCP), Prolific and Silicon Labs.
constexpr std::string_view kExactDrivers[] = {"Serial", "USBSER", "VCP", "ProlificSerial",
                                              "Silabser"};
constexpr std::string_view kDevicePrefix = "\\Device\\";

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool DriverCountsUnsentBytes(const std::string& deviceName) {
  std::string_view name(deviceName);
  if (!SameLetters(name.substr(0, kDevicePrefix.size()), kDevicePrefix)) return false;
  name.remove_prefix(kDevicePrefix.size());
  // The driver's name, then the device's number and nothing else.
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  if (digits == name.size()) return false;
  const std::string_view driver = name.substr(0, digits);
  for (std::string_view known : kExactDrivers) {
    if (SameLetters(driver, known)) return true;
  }
  return false;
}

}  // namespace px::serial_detail
