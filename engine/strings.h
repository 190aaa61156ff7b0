#pragma once
#include <cstdint>
#include <string>

// The updater's message texts, keyed by their string-table ids. The Windows resource script
// carries the same table; a test keeps the two equal.
namespace px {

enum TextId : int {
  IDS_ABOUTBOX = 101,
  IDS_ILLEGAL_DEVICE = 105,
  IDS_SET_UPDATE_MODE = 106,
  IDS_UPDATE_COMPLETED = 108,
  IDS_IN_PROGRESS = 109,
  IDS_ERROR_CAPTION = 111,
  IDS_APP_CAPTION = 112,
  IDS_CANT_OPEN_PORT = 117,
  IDS_TIMEOUT_ID_REQUEST = 118,
  IDS_TIMEOUT_ROM_WRITE = 119,
  IDS_TIMEOUT_ROM_ERASE = 120,
  IDS_TIMEOUT_UPDATE_COMPLETE = 121,
  IDS_ERROR_ROM_WRITE = 122,
  IDS_ERROR_ROM_ERASE = 123,
  IDS_ERROR_UPDATE_START = 124,
  IDS_CONFIRM_EXIT = 125,
  IDS_TIMEOUT_UPDATE_START = 126,
  IDS_TIMEOUT_GET_SEMAPHORE = 127,
  IDS_ERROR_GET_SEMAPHORE = 128,
  IDS_TIMEOUT_AUDIO_MUTE = 131,
  IDS_ERROR_AUDIO_MUTE = 132,
  IDS_LOW_BATTERY = 133,
  IDS_ERROR_RESULT = 134,
  IDS_TIMEOUT_RESULT = 135,
  IDS_TIMEOUT_FILE_DELETE = 136,
  IDS_TIMEOUT_FILE_OPEN = 137,
  IDS_TIMEOUT_FILE_WRITE = 138,
  IDS_ERROR_FILE_DELETE = 139,
  IDS_ERROR_FILE_OPEN = 140,
  IDS_ERROR_FILE_WRITE = 141,
  IDS_TIMEOUT_FILE_CLOSE = 142,
  IDS_ERROR_FILE_CLOSE = 143,
  // Texts of our own, for failures the device never causes.
  IDS_CANT_START_UPDATE = 145,
  IDS_IMAGE_MISSING = 146,
  IDS_ANSWERS_OUT_OF_STEP = 147,
};

struct TextEntry {
  int id;
  const char* text;
};

// Every entry, in id order.
const TextEntry* TextTable(int* count);
// The text of an id, or "" when there is none.
const char* LoadText(int id);
// The text with "%d" replaced by the signed status (texts without "%d" come back unchanged).
std::string FormatText(int id, int32_t status);

inline constexpr const char* kProgramTitle = "TARN PX-550LN System v1.30 Updater";
inline constexpr const char* kTooManyInstances =
    "It is forbidden to launch more than %d instance of this application.";

}  // namespace px
