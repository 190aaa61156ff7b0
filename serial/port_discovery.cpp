#include "serial/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "serial/port_list.h"

namespace px {

namespace {

constexpr size_t kMaxEntryText = 255;

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Where a port sorts: COM ports by number, a COM name without one before every numbered port,
// then device paths by name.
bool GoesBefore(const PortEntry& a, const PortEntry& b) {
  const bool aIsCom = HasComPrefix(a.name);
  const bool bIsCom = HasComPrefix(b.name);
  if (aIsCom != bIsCom) return aIsCom;
  if (aIsCom) return std::max(ComPortNumber(a.name), 0) < std::max(ComPortNumber(b.name), 0);
  return serial_detail::NaturalLess(a.name, b.name);
}

}  // namespace

bool HasComPrefix(std::string_view name) {
  return name.size() >= 3 && Upper(name[0]) == 'C' && Upper(name[1]) == 'O' &&
         Upper(name[2]) == 'M';
}

int ComPortNumber(std::string_view name) {
  if (!HasComPrefix(name) || name.size() == 3) return -1;
  const std::string_view digits = name.substr(3);
  if (digits[0] == '0' || !std::all_of(digits.begin(), digits.end(), IsDigit)) return 0;
  int number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return 0;
  return number;
}

std::string EntryText(const PortEntry& port) {
  std::string text = port.name + ":" + port.description;
  if (text.size() > kMaxEntryText) text.resize(kMaxEntryText);
  return text;
}

bool MayLeadToPedal(const PortEntry& port) {
  return port.bluetooth && !port.incoming;
}

int PreferredPortIndex(const std::vector<PortEntry>& ports) {
  if (ports.empty()) return -1;
  auto chosen = std::find_if(ports.begin(), ports.end(), [](const PortEntry& p) {
    return MayLeadToPedal(p) && !p.deviceAddress.empty();
  });
  if (chosen == ports.end()) chosen = std::find_if(ports.begin(), ports.end(), MayLeadToPedal);
  return chosen == ports.end() ? 0 : static_cast<int>(chosen - ports.begin());
}

std::string BluetoothAddressOfInstanceId(std::string_view instanceId) {
  constexpr std::string_view kEnumerator = "BTHENUM\\";
  constexpr size_t kAddressDigits = 12;
  if (instanceId.size() < kEnumerator.size()) return "";
  for (size_t i = 0; i < kEnumerator.size(); ++i) {
    if (Upper(instanceId[i]) != kEnumerator[i]) return "";
  }
  std::string_view part = instanceId.substr(instanceId.rfind('\\') + 1);
  const size_t underscore = part.rfind('_');
  if (underscore == std::string_view::npos || underscore < kAddressDigits) return "";
  const std::string_view address = part.substr(underscore - kAddressDigits, kAddressDigits);
  const size_t before = underscore - kAddressDigits;
  if (before > 0 && part[before - 1] != '&') return "";
  if (!std::all_of(address.begin(), address.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
    return "";
  }
  std::string text(address);
  for (char& c : text) c = Upper(c);
  return text;
}

namespace serial_detail {

PortEntry MakePortEntry(std::string name, std::string description) {
  PortEntry port;
  port.name = std::move(name);
  port.description = std::move(description);
  std::string text = port.name + ":" + port.description;
  for (char& c : text) c = Upper(c);
  port.bluetooth = text.find("BLUETOOTH") != std::string::npos;
  return port;
}

void TakeInstanceId(PortEntry& port, std::string_view instanceId) {
  std::string address = BluetoothAddressOfInstanceId(instanceId);
  if (address.empty()) return;
  if (address.find_first_not_of('0') == std::string::npos) {
    port.incoming = true;
  } else {
    port.deviceAddress = std::move(address);
  }
}

void SortPorts(std::vector<PortEntry>& ports) {
  // Stable, so that ports with equal numbers keep the order in which they were found.
  std::stable_sort(ports.begin(), ports.end(), GoesBefore);
  if (ports.size() > kMaxPorts) ports.resize(kMaxPorts);
}

bool NaturalLess(const std::string& left, const std::string& right) {
  const char* a = left.c_str();
  const char* b = right.c_str();
  while (*a != '\0' && *b != '\0') {
    if (IsDigit(*a) && IsDigit(*b)) {
      while (*a == '0' && IsDigit(a[1])) ++a;
      while (*b == '0' && IsDigit(b[1])) ++b;
      size_t lengthA = 0, lengthB = 0;
      while (IsDigit(a[lengthA])) ++lengthA;
      while (IsDigit(b[lengthB])) ++lengthB;
      if (lengthA != lengthB) return lengthA < lengthB;
      const int order = std::strncmp(a, b, lengthA);
      if (order != 0) return order < 0;
      a += lengthA;
      b += lengthB;
      continue;
    }
    if (*a != *b) return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
    ++a;
    ++b;
  }
  return *a == '\0' && *b != '\0';
}

}  // namespace serial_detail

}  // namespace px
