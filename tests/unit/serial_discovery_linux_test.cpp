#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/port_discovery.h"
#include "serial/port_discovery_linux.h"
#include "test_folder.h"

namespace px {
namespace {

namespace fs = std::filesystem;

// A small sysfs: devices under devices/, each tty linked from class/tty/ as the kernel does.
class SysfsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test::FreshTestFolder("px-sysfs");
    fs::create_directories(root_ / "class" / "tty");
  }
  void TearDown() override { fs::remove_all(root_); }

  void File(const fs::path& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text << "\n";
  }
  void Link(const fs::path& at, const fs::path& target) {
    fs::create_directories((root_ / at).parent_path());
    fs::create_symlink(target, root_ / at);
  }
  // A tty at devices/<dir>/tty/<name>, its device link pointing at devices/<deviceDir>.
  void Tty(const std::string& name, const std::string& dir, const std::string& deviceDir = "") {
    fs::path tty = fs::path("devices") / dir / "tty" / name;
    fs::create_directories(root_ / tty);
    Link(fs::path("class/tty") / name, fs::path("../..") / tty);
    if (!deviceDir.empty()) {
      Link(tty / "device", fs::relative(root_ / "devices" / deviceDir, root_ / tty));
    }
  }
  void UsbDevice(const std::string& dir, const std::string& manufacturer,
                 const std::string& product) {
    File(fs::path("devices") / dir / "idVendor", "0403");
    if (!manufacturer.empty()) File(fs::path("devices") / dir / "manufacturer", manufacturer);
    if (!product.empty()) File(fs::path("devices") / dir / "product", product);
  }
  void Driver(const std::string& deviceDir) {
    fs::create_directories(root_ / "bus/drivers/port");
    Link(fs::path("devices") / deviceDir / "driver",
         fs::relative(root_ / "bus/drivers/port", root_ / "devices" / deviceDir));
  }

  std::vector<std::string> List() {
    std::vector<std::string> texts;
    for (const PortEntry& port : ListPortsAt(root_.string(), "/dev")) {
      texts.push_back(EntryText(port));
    }
    return texts;
  }

  fs::path root_;
};

TEST_F(SysfsFixture, ListsBluetoothUsbAndRealUartsInNaturalOrder) {
  Tty("rfcomm10", "virtual");
  Tty("rfcomm2", "virtual");
  Tty("rfcomm0", "virtual");
  File("devices/virtual/tty/rfcomm0/address", "00:11:22:33:44:55");
  File("devices/virtual/tty/rfcomm0/channel", "1");

  UsbDevice("pci0/usb1/1-2", "FTDI", "FT232R USB UART");
  fs::create_directories(root_ / "devices/pci0/usb1/1-2/1-2:1.0/ttyUSB0");
  Tty("ttyUSB0", "pci0/usb1/1-2/1-2:1.0/ttyUSB0", "pci0/usb1/1-2/1-2:1.0/ttyUSB0");
  UsbDevice("pci0/usb1/1-3", "Arduino (www.arduino.cc)", "");
  Tty("ttyACM0", "pci0/usb1/1-3/1-3:1.0", "pci0/usb1/1-3/1-3:1.0");
  UsbDevice("pci0/usb1/1-4", "", "");
  Tty("ttyUSB1", "pci0/usb1/1-4/1-4:1.0/ttyUSB1", "pci0/usb1/1-4/1-4:1.0/ttyUSB1");

  // An on-board UART that answered, and a reserved slot where none did.
  Tty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "pnp0/00:01/00:01:0/00:01:0.0");
  File("devices/pnp0/00:01/00:01:0/00:01:0.0/tty/ttyS0/type", "4");
  Driver("pnp0/00:01/00:01:0/00:01:0.0");
  Tty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1",
      "platform/serial8250/serial8250:0/serial8250:0.1");
  File("devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1/type", "0");
  Driver("platform/serial8250/serial8250:0/serial8250:0.1");
  // A UART device with no driver bound.
  Tty("ttyS2", "platform/other/port", "platform/other/port");
  File("devices/platform/other/port/tty/ttyS2/type", "4");

  // Consoles and terminals have no device behind them.
  Tty("tty0", "virtual");
  Tty("console", "virtual");
  Tty("ptmx", "virtual");

  std::vector<std::string> entries = List();
  EXPECT_EQ(entries, (std::vector<std::string>{
                         "/dev/rfcomm0:Bluetooth serial port 00:11:22:33:44:55 channel 1",
                         "/dev/rfcomm2:Bluetooth serial port",
                         "/dev/rfcomm10:Bluetooth serial port",
                         "/dev/ttyACM0:Arduino (www.arduino.cc)",
                         "/dev/ttyS0:Serial port",
                         "/dev/ttyUSB0:FTDI FT232R USB UART",
                         "/dev/ttyUSB1:USB serial port",
                     }));
  const std::vector<PortEntry> ports = ListPortsAt(root_.string(), "/dev");
  EXPECT_EQ(PreferredPortIndex(ports), 0);
  EXPECT_EQ(ports[0].name, "/dev/rfcomm0");
  EXPECT_TRUE(ports[2].bluetooth);
  EXPECT_FALSE(ports[3].bluetooth);
}

TEST_F(SysfsFixture, NothingToListGivesAnEmptyList) {
  Tty("tty1", "virtual");
  EXPECT_TRUE(List().empty());
  fs::remove_all(root_ / "class");
  EXPECT_TRUE(List().empty());
}

}  // namespace
}  // namespace px
