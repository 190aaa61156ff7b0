#pragma once

namespace px::serial_detail {

constexpr int kEntrySize = 256;

// Adds one port to a list being built by ListComPorts: count entries fill its first slots.
// The entry goes after every entry that sorts before it or equal to it; on a full list the
// last entry is released to make room, or the new port is left out when it sorts last.
void AddPortEntry(char** list, int capacity, int& count, const char* portName,
                  const char* friendlyName);

// The name starts with "COM" in any mix of case.
bool HasComPrefix(const char* name);

// Natural order of names: runs of digits compare by value, so rfcomm2 comes before rfcomm10.
bool NaturalLess(const char* a, const char* b);

}  // namespace px::serial_detail
