#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_discovery.h"
#include "serial/port_list.h"

namespace px {
namespace {

using Texts = std::vector<std::string>;

// The ports in list order, as the port list shows them.
Texts Listed(std::vector<PortEntry> ports) {
  serial_detail::SortPorts(ports);
  Texts texts;
  for (const PortEntry& port : ports) texts.push_back(EntryText(port));
  return texts;
}

PortEntry Port(const char* name, const char* description = "port") {
  return serial_detail::MakePortEntry(name, description);
}

TEST(ComPortNumber, OnlyADecimalNumberAfterComIsAPort) {
  EXPECT_EQ(ComPortNumber("COM12"), 12);
  EXPECT_EQ(ComPortNumber("com7"), 7);
  EXPECT_EQ(ComPortNumber("Com256"), 256);
  EXPECT_EQ(ComPortNumber("COM123456789"), 123456789) << "no cut after 7 characters";
  EXPECT_EQ(ComPortNumber("COM2147483647"), 2147483647);
  // Names of no port: opening port 0 fails, where reading part of them would open another port.
  for (const char* name : {"COMx", "COM 4", "COM12abc", "COM-3", "COM+3", "COM007", "COM0",
                           "COM2147483648", "COM99999999999", "COM99999999999999999999"}) {
    EXPECT_EQ(ComPortNumber(name), 0) << name;
  }
  for (const char* name : {"COM", "CO", "", "LPT1", "/dev/rfcomm0", "xCOM3"}) {
    EXPECT_EQ(ComPortNumber(name), -1) << name;
  }
}

TEST(PortListOrder, ComPortsGoByNumberKeepingTheOrderFoundForEqualNumbers) {
  EXPECT_EQ(Listed({Port("COM12"), Port("COM3"), Port("COM7", "first seven"),
                    Port("com7", "second seven"), Port("COM10"), Port("COMx"), Port("COM"),
                    Port("COM99999999999")}),
            (Texts{"COMx:port", "COM:port", "COM99999999999:port", "COM3:port", "COM7:first seven",
                   "com7:second seven", "COM10:port", "COM12:port"}));
}

TEST(PortListOrder, DevicePathsGoInNaturalOrderAfterComPorts) {
  EXPECT_EQ(Listed({Port("/dev/ttyUSB0"), Port("/dev/rfcomm10"), Port("/dev/rfcomm2"), Port("COM4"),
                    Port("/dev/ttyACM1"), Port("/dev/rfcomm02")}),
            (Texts{"COM4:port", "/dev/rfcomm2:port", "/dev/rfcomm02:port", "/dev/rfcomm10:port",
                   "/dev/ttyACM1:port", "/dev/ttyUSB0:port"}));
}

TEST(PortListLimits, AFullListKeepsTheLowestPorts) {
  std::vector<PortEntry> ports;
  for (int n = 300; n >= 1; --n) ports.push_back(Port(("COM" + std::to_string(n)).c_str()));
  serial_detail::SortPorts(ports);
  ASSERT_EQ(ports.size(), serial_detail::kMaxPorts);
  EXPECT_EQ(ports.front().name, "COM1");
  EXPECT_EQ(ports.back().name, "COM256");
}

TEST(PortListLimits, EntryTextsAreCutTo255Characters) {
  EXPECT_EQ(EntryText(Port("COM2", std::string(400, 'f').c_str())),
            "COM2:" + std::string(250, 'f'));
  EXPECT_EQ(EntryText(Port("COM2", "")), "COM2:");
}

TEST(PortChoice, PrefersTheFirstPortThatMentionsBluetooth) {
  EXPECT_EQ(PreferredPortIndex({}), -1);
  EXPECT_EQ(PreferredPortIndex({Port("COM1", "Communications Port"), Port("COM3", "USB")}), 0);
  EXPECT_EQ(PreferredPortIndex({Port("COM1", "Communications Port"),
                                Port("COM4", "Standard Serial over bluetooth"),
                                Port("COM5", "Bluetooth")}),
            1);
  EXPECT_TRUE(Port("/dev/tty.Bluetooth-Incoming-Port", "").bluetooth) << "in the name";
  EXPECT_FALSE(Port("COM1", "Blue tooth").bluetooth);
}

}  // namespace
}  // namespace px
