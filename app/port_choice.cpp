#include "app/port_choice.h"

#include <cctype>
#include <cstdlib>

namespace px {
namespace {

size_t FindComWithoutCase(const std::string& text) {
  for (size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'C' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return i;
    }
  }
  return std::string::npos;
}

}  // namespace

int PortNumberOfSelection(const std::string& text) {
  if (text.empty()) return -1;
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return -1;
  const size_t com = FindComWithoutCase(text);
  if (com == std::string::npos) return -1;
  if (colon <= com + 3) return -1;
  const std::string digits = text.substr(com + 3, colon - (com + 3));
  return std::atoi(digits.c_str());
}

}  // namespace px
