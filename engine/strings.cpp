#include "engine/strings.h"

#include <iterator>

namespace px {
namespace {

constexpr TextEntry kTexts[] = {
    {IDS_ABOUTBOX, "About PX-550LN Updater(&A)..."},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_SET_UPDATE_MODE, "Please set the Firmware update mode."},
    {IDS_UPDATE_COMPLETED, "Firmware update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_APP_CAPTION, "PX-550LN Updater"},
    {IDS_CANT_OPEN_PORT, "Can't open COM Port."},
    {IDS_TIMEOUT_ID_REQUEST, "Time out error(ID Request)"},
    {IDS_TIMEOUT_ROM_WRITE, "Time out error(ROM write)"},
    {IDS_TIMEOUT_ROM_ERASE, "Time out error(ROM erase)"},
    {IDS_TIMEOUT_UPDATE_COMPLETE, "Time out error(Update complete)"},
    {IDS_ERROR_ROM_WRITE, "Transfer error occurred(ROM write:%d)"},
    {IDS_ERROR_ROM_ERASE, "Transfer error occurred(ROM erase:%d)"},
    {IDS_ERROR_UPDATE_START, "Transfer error occurred(Update start:%d)"},
    {IDS_CONFIRM_EXIT, "Now updating. Are you sure?"},
    {IDS_TIMEOUT_UPDATE_START, "Time out error(Update start)"},
    {IDS_TIMEOUT_GET_SEMAPHORE, "Time out error(Get semaphore)"},
    {IDS_ERROR_GET_SEMAPHORE, "Transfer error occurred(Get semaphore:%d)"},
    {IDS_TIMEOUT_AUDIO_MUTE, "Time out error(Audio mute)"},
    {IDS_ERROR_AUDIO_MUTE, "Transfer error occurred(Audio mute:%d)"},
    {IDS_LOW_BATTERY, "Low battery."},
    {IDS_ERROR_RESULT, "Transfer error occurred(Result:%d)"},
    {IDS_TIMEOUT_RESULT, "Time out error"},
    {IDS_TIMEOUT_FILE_DELETE, "Time out error(File Delete)"},
    {IDS_TIMEOUT_FILE_OPEN, "Time out error(File Open)"},
    {IDS_TIMEOUT_FILE_WRITE, "Time out error(File Write)"},
    {IDS_ERROR_FILE_DELETE, "Error occurred(File Delete:%d)"},
    {IDS_ERROR_FILE_OPEN, "Error occurred(File Open:%d)"},
    {IDS_ERROR_FILE_WRITE, "Transfer error occurred(File Write:%d)"},
    {IDS_TIMEOUT_FILE_CLOSE, "Time out error(File Close)"},
    {IDS_ERROR_FILE_CLOSE, "Error occurred(File Close:%d)"},
    {IDS_CANT_START_UPDATE, "The update could not be started."},
    {IDS_IMAGE_MISSING, "The firmware image could not be loaded."},
    {IDS_ANSWERS_OUT_OF_STEP, "The pedal's answers went out of step. Start the update again."},
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
