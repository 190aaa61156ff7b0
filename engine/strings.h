#pragma once
#include <cstdint>
#include <string>

#include "px_version.h"

// The updater's message texts, keyed by their string-table ids. engine/strings.inc holds them;
// the resource string table is written from the same file at build time.
namespace px {

enum TextId : int {
#define PX_TEXT(name, id, text) name = id,
#include "engine/strings.inc"
#undef PX_TEXT
};

struct TextEntry {
  int id;
  const char* text;
};

// Every entry, in id order.
const TextEntry* TextTable(int* count);
// The text of an id, or "" when there is none.
const char* LoadText(int id);
// The text with its "%d" replaced by the signed number (a text without "%d" comes back unchanged).
std::string FillNumber(const char* text, int32_t number);
// The text of an id, its "%d" filled with the status.
std::string FormatText(int id, int32_t status);

// The title takes its version from the one version source.
inline constexpr const char* kProgramTitle = "TARN PX-550LN System v" PX_VERSION_SHORT " Updater";
inline constexpr const char* kTooManyInstances =
    "It is forbidden to launch more than %d instance of this application.";

}  // namespace px
