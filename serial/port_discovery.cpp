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

bool HasComPrefix(std::string_view name) {
  return name.size() >= 3 && Upper(name[0]) == 'C' && Upper(name[1]) == 'O' &&
         Upper(name[2]) == 'M';
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

int PreferredPortIndex(const std::vector<PortEntry>& ports) {
  if (ports.empty()) return -1;
  const auto bluetooth =
      std::find_if(ports.begin(), ports.end(), [](const PortEntry& p) { return p.bluetooth; });
  return bluetooth == ports.end() ? 0 : static_cast<int>(bluetooth - ports.begin());
}

namespace serial_detail {

PortEntry MakePortEntry(std::string name, std::string description) {
  PortEntry port{std::move(name), std::move(description), false};
  std::string text = port.name + ":" + port.description;
  for (char& c : text) c = Upper(c);
  port.bluetooth = text.find("BLUETOOTH") != std::string::npos;
  return port;
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
