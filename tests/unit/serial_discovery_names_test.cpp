// Port discovery by device name (macOS, the BSDs) over fixture folders of fake device entries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/port_discovery.h"
#include "serial/port_discovery_names.h"
#include "test_folder.h"

namespace px {
namespace {

namespace fs = std::filesystem;

class DevFixture : public ::testing::Test {
 protected:
  void SetUp() override { root_ = test::FreshTestFolder("px-dev"); }
  void TearDown() override { fs::remove_all(root_); }

  // Device files cannot be made without privileges; the listing goes by name alone.
  void Entries(const std::vector<std::string>& names) {
    for (const std::string& name : names) std::ofstream(root_ / name) << "";
  }
  // Name, description and Bluetooth mark of each port, in list order.
  std::vector<std::string> List(DeviceNaming naming) {
    std::vector<std::string> rows;
    for (const PortEntry& p : ListPortsByName(root_.string(), naming)) {
      rows.push_back(p.name.substr(root_.string().size() + 1) + "|" + p.description +
                     (p.bluetooth ? "|bt" : ""));
    }
    return rows;
  }

  fs::path root_;
};

TEST_F(DevFixture, MacListsCallOutPortsAndTellsBluetoothByName) {
  Entries({"cu.Bluetooth-Incoming-Port", "tty.Bluetooth-Incoming-Port", "cu.PX-550LN",
           "tty.PX-550LN", "cu.usbserial-A50285BI", "tty.usbserial-A50285BI", "cu.usbmodem14201",
           "cu.debug-console", "cu.wlan-debug", "cu.Pedal2-SerialPort", "cu.", "ttys000", "disk0",
           "cu.SLAB_USBtoUART"});
  EXPECT_EQ(List(DeviceNaming::kMac),
            (std::vector<std::string>{
                "cu.Bluetooth-Incoming-Port|the Mac's own Bluetooth incoming port (not a pedal)",
                "cu.PX-550LN|Bluetooth serial port PX-550LN|bt",
                "cu.Pedal2-SerialPort|Bluetooth serial port Pedal2-SerialPort|bt",
                "cu.SLAB_USBtoUART|USB serial port",
                "cu.usbmodem14201|USB modem",
                "cu.usbserial-A50285BI|USB serial port",
            }));
  // The default is the pedal's port, never the Mac's own incoming one that sorts before it.
  const std::vector<PortEntry> ports = ListPortsByName(root_.string(), DeviceNaming::kMac);
  EXPECT_EQ(PreferredPortIndex(ports), 1);
  ASSERT_EQ(ports.size(), 6u);
  EXPECT_TRUE(ports[0].incoming) << "'ports' marks it";
  EXPECT_FALSE(ports[1].incoming);
  EXPECT_EQ(List(DeviceNaming::kBsd), std::vector<std::string>{});
}

TEST_F(DevFixture, BsdListsUsbAndUartCallOutPortsButNotTheirSettingsFiles) {
  Entries({"cuaU10", "cuaU2", "cuaU0.init", "cuaU0.lock", "cuau0", "cuau1.init", "ttyu0", "ttyU0",
           "cuaUx", "cuau", "cu.usbserial-1"});
  EXPECT_EQ(List(DeviceNaming::kBsd),
            (std::vector<std::string>{"cuaU2|USB serial port", "cuaU10|USB serial port",
                                      "cuau0|Serial port"}));
  EXPECT_EQ(List(DeviceNaming::kMac), std::vector<std::string>{"cu.usbserial-1|USB serial port"});
}

TEST_F(DevFixture, AMissingOrEmptyFolderListsNothing) {
  EXPECT_TRUE(List(DeviceNaming::kMac).empty());
  fs::remove_all(root_);
  EXPECT_TRUE(List(DeviceNaming::kBsd).empty());
}

// The listing the build chose lists the fixture's /dev the way its system names ports.
TEST_F(DevFixture, TheBuildsOwnListingTakesTheFixtureRoots) {
  Entries({"cu.PX-550LN", "cuaU0"});
  const std::vector<PortEntry> ports = ListPortsUnder((root_ / "no-sys").string(), root_.string());
  switch (ThisPortSystem()) {
    case PortSystem::kMac:
      ASSERT_EQ(ports.size(), 1u);
      EXPECT_EQ(ports[0].name, (root_ / "cu.PX-550LN").string());
      break;
    case PortSystem::kBsd:
      ASSERT_EQ(ports.size(), 1u);
      EXPECT_EQ(ports[0].name, (root_ / "cuaU0").string());
      break;
    default:
      EXPECT_TRUE(ports.empty()) << "sysfs lists nothing without its class folder";
  }
}

}  // namespace
}  // namespace px
