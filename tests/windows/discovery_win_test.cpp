// Port discovery through SetupAPI, over ports registered in Wine's registry by the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery_register.h"
#include "serial/port_discovery.h"

namespace px::test {
namespace {

const char kIdPrefix[] = "PXTEST";
const char kFriendlyPrefix[] = "pxtest ";

// The listed ports that this test registered, in list order.
std::vector<PortEntry> OurPorts() {
  std::vector<PortEntry> ours;
  for (const PortEntry& port : ListPorts()) {
    if (port.description.find(kFriendlyPrefix) != std::string::npos) ours.push_back(port);
  }
  return ours;
}

// The same as the port list shows them.
std::vector<std::string> OurEntries() {
  std::vector<std::string> texts;
  for (const PortEntry& port : OurPorts()) texts.push_back(EntryText(port));
  return texts;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveTestPorts(kIdPrefix); }
  void TearDown() override { RemoveTestPorts(kIdPrefix); }

  // Registered in call order; the ids keep that order when SetupAPI enumerates them.
  void Register(const std::string& portName, const std::string& friendly) {
    char id[32];
    std::snprintf(id, sizeof id, "%s%04d", kIdPrefix, next_++);
    ASSERT_TRUE(RegisterTestPort(id, portName, friendly.empty() ? "" : kFriendlyPrefix + friendly))
        << portName;
  }

  int next_ = 0;
};

TEST_F(DiscoveryTest, PortsComeOutInNumberOrder) {
  EXPECT_TRUE(OurEntries().empty());
  Register("COM12", "twelve");
  Register("COM3", "three");
  Register("COM7", "seven");
  EXPECT_EQ(OurEntries(), (std::vector<std::string>{"COM3:pxtest three", "COM7:pxtest seven",
                                                    "COM12:pxtest twelve"}));
}

TEST_F(DiscoveryTest, ABluetoothPortIsMarkedAndPreferred) {
  Register("COM4", "USB Serial Port");
  Register("COM9", "Standard Serial over Bluetooth link (COM9)");
  const std::vector<PortEntry> ours = OurPorts();
  ASSERT_EQ(ours.size(), 2u);
  EXPECT_FALSE(ours[0].bluetooth);
  EXPECT_TRUE(ours[1].bluetooth);
  EXPECT_EQ(PreferredPortIndex(ours), 1);
}

TEST_F(DiscoveryTest, OddNamesAndIncompleteDevices) {
  Register("COM5", "five, found first");
  Register("com7", "lower case");
  Register("LPT1", "printer");
  Register("COM", "bare");
  Register("COM5", "five, found second");
  Register("COM9", "");  // no friendly name
  Register("", "no port name");
  std::vector<std::string> ours = OurEntries();
  EXPECT_EQ(ours,
            (std::vector<std::string>{"COM:pxtest bare", "COM5:pxtest five, found first",
                                      "COM5:pxtest five, found second", "com7:pxtest lower case"}));
  ASSERT_EQ(ours.size(), 4u);
  EXPECT_EQ(ComPortNumber(OurPorts()[3].name), 7);
}

// Pairing a Bluetooth serial device gives two ports of the same name: the PC's own incoming
// service, whose instance ID carries the address 000000000000, and the one that calls the
// device. The incoming one is found first here.
TEST_F(DiscoveryTest, ABluetoothPairsIncomingPortIsToldApartByItsInstanceId) {
  const std::string service = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&000";
  RemoveTestDevices(service);
  ASSERT_TRUE(RegisterTestDevice(service + "0\\7&2C3B4A5D&0&000000000000_00000000", "COM4",
                                 "pxtest Standard Serial over Bluetooth link (COM4)"));
  ASSERT_TRUE(RegisterTestDevice(service + "2\\7&2C3B4A5D&0&B0F1ECE31BAA_C00000000", "COM8",
                                 "pxtest Standard Serial over Bluetooth link (COM8)"));
  Register("COM1", "Communications Port (COM1)");
  const std::vector<PortEntry> ours = OurPorts();
  RemoveTestDevices(service);
  ASSERT_EQ(ours.size(), 3u);
  EXPECT_EQ(ours[1].name, "COM4");
  EXPECT_TRUE(ours[1].bluetooth);
  EXPECT_TRUE(ours[1].incoming);
  EXPECT_EQ(ours[2].name, "COM8");
  EXPECT_FALSE(ours[2].incoming);
  EXPECT_EQ(ours[2].deviceAddress, "B0F1ECE31BAA");
  EXPECT_FALSE(ours[0].incoming);
  EXPECT_EQ(ours[0].deviceAddress, "");
  EXPECT_EQ(PreferredPortIndex(ours), 2);
}

}  // namespace
}  // namespace px::test
