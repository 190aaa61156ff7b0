#pragma once
#include <string>

namespace px {

// The COM port number of a port list entry ("COM12:friendly name" gives 12): ComPortNumber of
// the port name before the first ':'; -1 when the entry has no ':'.
int PortNumberOfSelection(const std::string& text);

}  // namespace px
