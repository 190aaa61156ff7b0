// The single-message exchanges around the transfers, and the device file transfer.
#include <algorithm>
#include <cstring>

#include "engine/strings.h"
#include "engine/update_engine.h"

namespace px {
namespace {

bool AcceptsDeleted(int32_t status) {
  return status == kStatusOk || status == kStatusNoSuchFile;
}

}  // namespace

// Keeps asking while the device refuses: up to the 100th refusal or the 6th time-out, with a
// short pause after every attempt that did not succeed.
bool CUpdateEngine::GetSemaphore() {
  const ExchangeRules rules = Rules(Attempts(6, 100, timing_.semaphorePauseMs),
                                    IDS_TIMEOUT_GET_SEMAPHORE, IDS_ERROR_GET_SEMAPHORE);
  const Exchanged r = RunExchange(channel_, messages_.OutgoingBuffer, messages_.GetSemaphore(),
                                  rules.policy, timing_.replyWaitMs);
  if (r.ending == Ending::Refused && r.status == kStatusSemaphoreLowBattery) {
    FailRun(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  return Report(r, rules);
}

bool CUpdateEngine::AudioMute() {
  return Exchange(messages_.AudioMute(),
                  Rules(Attempts(6, 1, 0), IDS_TIMEOUT_AUDIO_MUTE, IDS_ERROR_AUDIO_MUTE));
}

bool CUpdateEngine::ResultRequest(uint8_t value) {
  return Exchange(messages_.ResultRequest(value),
                  Rules(Attempts(6, 1, 0), IDS_TIMEOUT_RESULT, IDS_ERROR_RESULT));
}

// A device without the file answers -6, which is as good as deleted.
bool CUpdateEngine::FileDelete(const char* name) {
  return Exchange(
      messages_.FileDelete(name),
      Rules(Attempts(6, 1, 0, 0, AcceptsDeleted), IDS_TIMEOUT_FILE_DELETE, IDS_ERROR_FILE_DELETE));
}

// The handle is the status that was judged a success, never a second read of the reply state
// (which a stray answer may have changed meanwhile).
bool CUpdateEngine::FileOpen(const char* name, uint32_t mode) {
  int32_t judged = 0;
  if (!Exchange(messages_.FileOpen(name, mode),
                Rules(Attempts(6, 1, 0), IDS_TIMEOUT_FILE_OPEN, IDS_ERROR_FILE_OPEN), &judged)) {
    return false;
  }
  OpenFileHandle = judged;
  return ResultRequest(0);
}

// Sent once: a chunk whose answer is lost is not repeated, since the device may have stored it.
bool CUpdateEngine::FileWrite(const uint8_t* data, uint32_t count) {
  const int length = messages_.FileWrite(static_cast<uint32_t>(OpenFileHandle), data, count);
  if (!Exchange(length, Rules(Attempts(1, 1, 0), IDS_TIMEOUT_FILE_WRITE, IDS_ERROR_FILE_WRITE))) {
    return false;
  }
  return ResultRequest(0);
}

bool CUpdateEngine::FileClose() {
  return Exchange(messages_.FileClose(static_cast<uint32_t>(OpenFileHandle)),
                  Rules(Attempts(6, 1, 0), IDS_TIMEOUT_FILE_CLOSE, IDS_ERROR_FILE_CLOSE));
}

bool CUpdateEngine::FileTransfer(int resourceId, const char* name) {
  const uint8_t* image = nullptr;
  const int32_t length = loader_(resourceId, &image);
  if (length < 0 || length > static_cast<int32_t>(kModuleFileBufferSize)) {
    FailRun(LoadText(IDS_IMAGE_MISSING));
    return false;
  }
  if (length > 0) memcpy(ModuleFileBuffer, image, static_cast<size_t>(length));
  if (!FileOpen(name, kModuleOpenMode)) return false;

  // At least one FileWrite goes out, even for an empty image.
  int32_t offset = 0;
  do {
    const uint32_t chunk = static_cast<uint32_t>(std::min<int32_t>(kFileChunk, length - offset));
    if (!FileWrite(ModuleFileBuffer + offset, chunk)) {
      if (!Aborted()) FileClose();  // its outcome does not change the result
      return false;
    }
    offset += static_cast<int32_t>(chunk);
    Transferred(chunk);
  } while (offset < length);
  return FileClose() && Settled();
}

}  // namespace px
