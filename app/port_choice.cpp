#include "app/port_choice.h"

#include "serial/port_discovery.h"

namespace px {

int PortNumberOfSelection(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return -1;
  return ComPortNumber(std::string_view(text).substr(0, colon));
}

}  // namespace px
