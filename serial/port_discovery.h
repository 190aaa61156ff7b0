#pragma once
#include <string>
#include <vector>

namespace px {

// Fills list (capacity slots, all null) with the serial ports present, one new[]'d 256-byte
// entry each, "PortName:friendly name", ordered by port: COM names by their number (equal
// numbers in the order found), device paths naturally (rfcomm2 before rfcomm10). When the list
// is full the highest ports are left out. The caller owns the entries (see ReleasePortList).
void ListComPorts(char** list, int capacity);
// The number after "COM" in an entry ("COM12:..." gives 12); -1 when it has none.
int PortNumberOfEntry(const char* text);
// PortNumberOfEntry of the entry at position; -1 outside the list or for an empty slot.
int PortNumberAt(char* const* list, int capacity, int position);
// Releases every entry and empties its slot.
void ReleasePortList(char** list, int capacity);

// ListComPorts into strings.
std::vector<std::string> ListPortEntries();
// The entry to preselect: the first that mentions Bluetooth, else the first; -1 when none.
int PreferredPortIndex(const std::vector<std::string>& entries);
// The port name of an entry: its text before the first ':'.
std::string PortNameOfEntry(const std::string& entry);

}  // namespace px
