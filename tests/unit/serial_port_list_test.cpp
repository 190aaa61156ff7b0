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

// The two ports that pairing one Bluetooth serial device gives Windows: the PC's own incoming
// service (address all zeros) and the one that calls the device, both with the same name.
constexpr char kIncomingId[] =
    "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&2C3B4A5D&0&000000000000_"
    "00000000";
constexpr char kOutgoingId[] =
    "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&2C3B4A5D&0&B0F1ECE31BAA_"
    "C00000000";

PortEntry Identified(const char* name, const char* description, const char* instanceId) {
  PortEntry port = Port(name, description);
  serial_detail::TakeInstanceId(port, instanceId);
  return port;
}

TEST(BluetoothInstanceIds, TheAddressComesFromABthenumIdOnly) {
  EXPECT_EQ(BluetoothAddressOfInstanceId(kOutgoingId), "B0F1ECE31BAA");
  EXPECT_EQ(BluetoothAddressOfInstanceId(kIncomingId), "000000000000");
  EXPECT_EQ(
      BluetoothAddressOfInstanceId(
          "bthenum\\{00001101-0000-1000-8000-00805f9b34fb}_localmfg&0002\\7&1&0&b0f1ece31baa_c0"),
      "B0F1ECE31BAA")
      << "any case";
  // A USB adapter's, an FTDI driver's (its serial number has letters and digits), a UART's.
  for (const char* id :
       {"USB\\VID_0403&PID_6001\\A50285BI", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
        "ACPI\\PNP0501\\1", "ROOT\\PORTS\\0000", "", "BTHENUM\\", "BTHENUM\\x\\7&0&B0F1ECE31BAZ_0",
        "BTHENUM\\x\\7&0&B0F1ECE31BAA", "BTHENUM\\x\\7&0&1B0F1ECE31BAA_0"}) {
    EXPECT_EQ(BluetoothAddressOfInstanceId(id), "") << id;
  }
}

TEST(BluetoothInstanceIds, ThePairsIncomingPortIsNeverChosen) {
  const char kName[] = "Standard Serial over Bluetooth link";
  const PortEntry incoming = Identified("COM4", kName, kIncomingId);
  const PortEntry outgoing = Identified("COM8", kName, kOutgoingId);
  EXPECT_TRUE(incoming.bluetooth);
  EXPECT_TRUE(incoming.incoming);
  EXPECT_EQ(incoming.deviceAddress, "");
  EXPECT_FALSE(outgoing.incoming);
  EXPECT_EQ(outgoing.deviceAddress, "B0F1ECE31BAA");
  EXPECT_FALSE(MayLeadToPedal(incoming));
  EXPECT_TRUE(MayLeadToPedal(outgoing));
  for (const char* id : {"USB\\VID_0403&PID_6001\\A50285BI", "ACPI\\PNP0501\\1"}) {
    const PortEntry plain = Identified("COM1", "Communications Port", id);
    EXPECT_FALSE(plain.incoming) << id;
    EXPECT_EQ(plain.deviceAddress, "") << id;
  }

  const PortEntry uart = Identified("COM1", "Communications Port", "ACPI\\PNP0501\\1");
  EXPECT_EQ(PreferredPortIndex({uart, incoming, outgoing}), 2);
  // A Bluetooth port that names its device goes before one that does not (another stack's).
  EXPECT_EQ(PreferredPortIndex({Port("COM3", "Bluetooth link"), incoming, outgoing}), 2);
  EXPECT_EQ(PreferredPortIndex({uart, Port("COM3", "Bluetooth link"), incoming}), 1);
  // Only the incoming port: the first port, as without any Bluetooth one.
  EXPECT_EQ(PreferredPortIndex({uart, incoming}), 0);
}

}  // namespace
}  // namespace px
