#include "engine/strings.h"

#include <iterator>

namespace px {
namespace {

constexpr TextEntry kTexts[] = {
#define PX_TEXT(name, id, text) {name, text},
#include "engine/strings.inc"
#undef PX_TEXT
};

}  // namespace

const TextEntry* TextTable(int* count) {
  *count = static_cast<int>(std::size(kTexts));
  return kTexts;
}

const char* LoadText(int id) {
  for (const TextEntry& e : kTexts) {
    if (e.id == id) return e.text;
  }
  return "";
}

std::string FillNumber(const char* text, int32_t number) {
  std::string filled = text;
  const size_t at = filled.find("%d");
  if (at != std::string::npos) filled.replace(at, 2, std::to_string(number));
  return filled;
}

std::string FormatText(int id, int32_t status) {
  return FillNumber(LoadText(id), status);
}

}  // namespace px
