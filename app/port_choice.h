#pragma once
#include <string>

namespace px {

// The COM port number of a port list entry ("COM12:friendly name" gives 12): the text between
// the first "COM" and the first ':' read as a decimal number (0 when it does not start with a
// digit); -1 when the entry has no ':', no "COM" or nothing between them. "COM" is matched in
// any case, as discovery lists names such as "com7" exactly as the system stores them.
int PortNumberOfSelection(const std::string& text);

}  // namespace px
