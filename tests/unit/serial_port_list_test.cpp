#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_discovery.h"
#include "serial/port_list.h"

namespace px {
namespace {

// A list being built the way ListComPorts builds it.
class PortList {
 public:
  explicit PortList(int capacity) : slots_(static_cast<size_t>(capacity), nullptr) {}
  ~PortList() { ReleasePortList(slots_.data(), Capacity()); }

  PortList& Add(const char* portName, const char* friendly = "port") {
    serial_detail::AddPortEntry(slots_.data(), Capacity(), count_, portName, friendly);
    return *this;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (char* entry : slots_) {
      if (entry != nullptr) names.push_back(PortNameOfEntry(entry));
    }
    return names;
  }
  int Capacity() const { return static_cast<int>(slots_.size()); }
  char** Slots() { return slots_.data(); }

 private:
  std::vector<char*> slots_;
  int count_ = 0;
};

using Names = std::vector<std::string>;

TEST(PortNumberOfEntry, ReadsTheNumberBetweenComAndTheColon) {
  EXPECT_EQ(PortNumberOfEntry("COM12:USB Serial Port"), 12);
  EXPECT_EQ(PortNumberOfEntry("com7:Bluetooth link"), 7);
  EXPECT_EQ(PortNumberOfEntry("COMx:odd"), 0);
  EXPECT_EQ(PortNumberOfEntry("COM123456789:long"), 1234567) << "at most 7 characters";
  EXPECT_EQ(PortNumberOfEntry("COM3 no colon"), -1);
  EXPECT_EQ(PortNumberOfEntry("Modem:on COM3"), -1) << "COM after the colon";
  EXPECT_EQ(PortNumberOfEntry("COM:bare"), -1);
  EXPECT_EQ(PortNumberOfEntry(""), -1);
  EXPECT_EQ(PortNumberOfEntry(nullptr), -1);
}

TEST(PortListOrder, ComPortsGoByNumberKeepingTheOrderFoundForEqualNumbers) {
  PortList list(256);
  list.Add("COM12").Add("COM3").Add("COM7", "first seven").Add("com7", "second seven");
  list.Add("COM10").Add("COMx").Add("COM");
  EXPECT_EQ(list.Names(), (Names{"COMx", "COM", "COM3", "COM7", "com7", "COM10", "COM12"}));
  EXPECT_STREQ(list.Slots()[4], "com7:second seven") << "kept as stored";
}

TEST(PortListOrder, DevicePathsGoInNaturalOrderAfterComPorts) {
  PortList list(8);
  list.Add("/dev/ttyUSB0").Add("/dev/rfcomm10").Add("/dev/rfcomm2").Add("COM4");
  list.Add("/dev/ttyACM1").Add("/dev/rfcomm02");
  EXPECT_EQ(list.Names(), (Names{"COM4", "/dev/rfcomm2", "/dev/rfcomm02", "/dev/rfcomm10",
                                 "/dev/ttyACM1", "/dev/ttyUSB0"}));
}

TEST(PortListLimits, AFullListKeepsTheLowestPortsAndReleasesTheRest) {
  PortList list(3);
  list.Add("COM9").Add("COM5").Add("COM7").Add("COM1").Add("COM20").Add("COM5", "again");
  EXPECT_EQ(list.Names(), (Names{"COM1", "COM5", "COM5"}));
  EXPECT_EQ(PortNumberAt(list.Slots(), 3, 2), 5);
  EXPECT_EQ(PortNumberAt(list.Slots(), 3, -1), -1);
  EXPECT_EQ(PortNumberAt(list.Slots(), 3, 3), -1);
}

TEST(PortListLimits, EntriesAreCutTo255Characters) {
  PortList list(1);
  std::string friendly(400, 'f');
  EXPECT_EQ(PortNumberAt(list.Slots(), 1, 0), -1) << "empty slot";
  list.Add("COM2", friendly.c_str());
  EXPECT_EQ(std::string(list.Slots()[0]), "COM2:" + std::string(250, 'f'));
}

TEST(PortChoice, PrefersTheFirstBluetoothEntry) {
  EXPECT_EQ(PreferredPortIndex({}), -1);
  EXPECT_EQ(PreferredPortIndex({"COM1:Communications Port", "COM3:USB"}), 0);
  EXPECT_EQ(PreferredPortIndex({"COM1:Communications Port", "COM4:Standard Serial over bluetooth",
                                "COM5:Bluetooth"}),
            1);
  EXPECT_EQ(PortNameOfEntry("/dev/rfcomm0:Bluetooth serial port 00:11:22:33:44:55"),
            "/dev/rfcomm0");
  EXPECT_EQ(PortNameOfEntry("COM7"), "COM7");
}

}  // namespace
}  // namespace px
