#include "serial/port_discovery.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "serial/port_list.h"

namespace px {

namespace {

// At most this many characters after "COM" are read as the number.
constexpr int kMaxNumberChars = 7;

int LeadingNumber(const char* text, int maxChars) {
  int value = 0;
  for (int i = 0; i < maxChars && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Where an entry sorts: COM ports by number, then device paths by name.
struct SortKey {
  bool isCom;
  int number;
  const char* name;  // up to nameLength
  size_t nameLength;
};

SortKey KeyOfEntry(const char* entry) {
  const char* colon = std::strchr(entry, ':');
  size_t length = colon ? static_cast<size_t>(colon - entry) : std::strlen(entry);
  if (serial_detail::HasComPrefix(entry)) return {true, PortNumberOfEntry(entry), entry, length};
  return {false, 0, entry, length};
}

bool GoesBefore(const SortKey& added, const SortKey& listed) {
  if (added.isCom != listed.isCom) return added.isCom;
  if (added.isCom) return listed.number > added.number;
  std::string a(added.name, added.nameLength);
  std::string b(listed.name, listed.nameLength);
  return serial_detail::NaturalLess(a.c_str(), b.c_str());
}

}  // namespace

namespace serial_detail {

bool HasComPrefix(const char* name) {
  return Upper(name[0]) == 'C' && Upper(name[1]) == 'O' && Upper(name[2]) == 'M';
}

bool NaturalLess(const char* a, const char* b) {
  auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (*a != '\0' && *b != '\0') {
    if (isDigit(*a) && isDigit(*b)) {
      while (*a == '0' && isDigit(a[1])) ++a;
      while (*b == '0' && isDigit(b[1])) ++b;
      size_t lengthA = 0, lengthB = 0;
      while (isDigit(a[lengthA])) ++lengthA;
      while (isDigit(b[lengthB])) ++lengthB;
      if (lengthA != lengthB) return lengthA < lengthB;
      int order = std::strncmp(a, b, lengthA);
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

void AddPortEntry(char** list, int capacity, int& count, const char* portName,
                  const char* friendlyName) {
  SortKey added{false, 0, portName, std::strlen(portName)};
  if (HasComPrefix(portName)) {
    added.isCom = true;
    added.number = LeadingNumber(portName + 3, kMaxNumberChars);
  }
  int position = 0;
  while (position < capacity && list[position] != nullptr &&
         !GoesBefore(added, KeyOfEntry(list[position]))) {
    ++position;
  }
  if (position >= capacity) return;
  char* entry = new (std::nothrow) char[kEntrySize];
  if (entry == nullptr) return;
  std::snprintf(entry, kEntrySize, "%s:%s", portName, friendlyName);
  if (count == capacity) {
    delete[] list[capacity - 1];
    list[capacity - 1] = nullptr;
    --count;
  }
  for (int i = count; i > position; --i) list[i] = list[i - 1];
  list[position] = entry;
  ++count;
}

}  // namespace serial_detail

int PortNumberOfEntry(const char* text) {
  if (text == nullptr) return -1;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return -1;
  const char* com = nullptr;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0' && p[2] != '\0'; ++p) {
    if (serial_detail::HasComPrefix(p)) {
      com = p;
      break;
    }
  }
  if (com == nullptr || com + 3 >= colon) return -1;
  int chars = static_cast<int>(colon - (com + 3));
  return LeadingNumber(com + 3, chars < kMaxNumberChars ? chars : kMaxNumberChars);
}

int PortNumberAt(char* const* list, int capacity, int position) {
  if (list == nullptr || position < 0 || position >= capacity || list[position] == nullptr) {
    return -1;
  }
  return PortNumberOfEntry(list[position]);
}

void ReleasePortList(char** list, int capacity) {
  for (int i = 0; i < capacity; ++i) {
    delete[] list[i];
    list[i] = nullptr;
  }
}

std::vector<std::string> ListPortEntries() {
  constexpr int kSlots = 256;
  char* list[kSlots] = {};
  ListComPorts(list, kSlots);
  std::vector<std::string> entries;
  for (char* entry : list) {
    if (entry != nullptr) entries.emplace_back(entry);
  }
  ReleasePortList(list, kSlots);
  return entries;
}

int PreferredPortIndex(const std::vector<std::string>& entries) {
  if (entries.empty()) return -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string upper = entries[i];
    for (char& c : upper) c = Upper(c);
    if (upper.find("BLUETOOTH") != std::string::npos) return static_cast<int>(i);
  }
  return 0;
}

std::string PortNameOfEntry(const std::string& entry) {
  return entry.substr(0, entry.find(':'));
}

}  // namespace px
