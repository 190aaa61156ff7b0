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

std::string FormatText(int id, int32_t status) {
  std::string text = LoadText(id);
  const size_t at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(status));
  return text;
}

}  // namespace px
