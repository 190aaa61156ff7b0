// Which Windows drivers' output-queue figure the link trusts: the known ones by their device
// names, nothing else.
#include <gtest/gtest.h>

#include "serial/output_queue_drivers.h"

namespace px::serial_detail {
namespace {

TEST(OutputQueueDrivers, OnlyDriversKnownToCountWhatIsStillToLeave) {
  // The system's UART driver, its USB CDC driver, and the FTDI, Prolific and Silicon Labs
  // bridges, whatever their number and letter case.
  for (const char* name :
       {"\\Device\\Serial0", "\\Device\\Serial12", "\\Device\\USBSER000", "\\Device\\USBSER012",
        "\\Device\\VCP0", "\\Device\\VCP3", "\\Device\\ProlificSerial0", "\\Device\\Silabser0",
        "\\device\\serial1", "\\DEVICE\\SILABSER2"}) {
    EXPECT_TRUE(DriverCountsUnsentBytes(name)) << name;
  }
  // Bluetooth stacks (the system's and others), drivers nobody here knows, names that only
  // begin like a known one, and no name at all.
  for (const char* name :
       {"\\Device\\BthModem0", "\\Device\\BtPort1", "\\Device\\BTCOM0", "\\Device\\com0com10",
        "\\Device\\CNCA0", "\\Device\\Serial", "\\Device\\SerialBth0", "\\Device\\VCP0x",
        "\\Device\\Serial0\\more", "Serial0", "\\Device\\", "", "\\??\\unix/dev/pts/3"}) {
    EXPECT_FALSE(DriverCountsUnsentBytes(name)) << name;
  }
}

}  // namespace
}  // namespace px::serial_detail
