// The single-message exchanges around the transfers, and the device file transfer.
#include <algorithm>

#include "engine/strings.h"
#include "engine/update_session.h"

namespace px {
namespace {

bool AcceptsDeleted(const DeviceAnswer& a) {
  return a.known && (a.status == kStatusOk || a.status == kStatusNoSuchFile);
}

}  // namespace

// Keeps asking while the device refuses: up to the 100th refusal or the 6th time-out, with a
// short pause after every attempt that did not succeed.
bool CUpdateSession::GetSemaphore() {
  const ExchangeRules rules = Rules(Attempts(6, 100, timing_.semaphorePauseMs),
                                    IDS_TIMEOUT_GET_SEMAPHORE, IDS_ERROR_GET_SEMAPHORE);
  const ExchangeResult r = RunRequest(messages_.GetSemaphore(), rules);
  if (RefusedWith(r, kStatusSemaphoreLowBattery)) {
    Fail(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  return Succeeded(r, rules);
}

bool CUpdateSession::AudioMute() {
  return Exchange(messages_.AudioMute(),
                  Rules(UsualAttempts(), IDS_TIMEOUT_AUDIO_MUTE, IDS_ERROR_AUDIO_MUTE));
}

bool CUpdateSession::ResultRequest(uint8_t value) {
  return Exchange(messages_.ResultRequest(value),
                  Rules(UsualAttempts(), IDS_TIMEOUT_RESULT, IDS_ERROR_RESULT));
}

// A device without the file answers -6, which is as good as deleted.
bool CUpdateSession::FileDelete(const char* name) {
  return Exchange(
      messages_.FileDelete(name),
      Rules(UsualAttempts(AcceptsDeleted), IDS_TIMEOUT_FILE_DELETE, IDS_ERROR_FILE_DELETE));
}

// The handle is the answer that was judged a success.
bool CUpdateSession::FileOpen(const char* name, uint32_t mode) {
  const ExchangeRules rules = Rules(UsualAttempts(), IDS_TIMEOUT_FILE_OPEN, IDS_ERROR_FILE_OPEN);
  const ExchangeResult r = RunRequest(messages_.FileOpen(name, mode), rules);
  if (!Succeeded(r, rules)) return false;
  openFileHandle_ = r.answer.status;
  return ResultRequest(0);
}

// Sent once: a chunk whose answer is lost is not repeated, since the device may have stored it.
bool CUpdateSession::FileWrite(const uint8_t* data, uint32_t count) {
  const int length = messages_.FileWrite(static_cast<uint32_t>(openFileHandle_), data, count);
  if (!Exchange(length, Rules(Attempts(1, 1, 0), IDS_TIMEOUT_FILE_WRITE, IDS_ERROR_FILE_WRITE))) {
    return false;
  }
  return ResultRequest(0);
}

CUpdateSession::ExchangeRules CUpdateSession::FileCloseRules() const {
  return Rules(UsualAttempts(), IDS_TIMEOUT_FILE_CLOSE, IDS_ERROR_FILE_CLOSE);
}

bool CUpdateSession::FileClose() {
  return Exchange(messages_.FileClose(static_cast<uint32_t>(openFileHandle_)), FileCloseRules());
}

// The run has failed already. What the device answers a close then cannot change that, and a
// late answer to the failed chunk may well come now: only the close's own failures are shown.
void CUpdateSession::CloseAfterFailure() {
  const ExchangeResult r =
      RunRequest(messages_.FileClose(static_cast<uint32_t>(openFileHandle_)), FileCloseRules());
  if (r.ending == ExchangeEnding::TimedOut || r.ending == ExchangeEnding::Refused) {
    ReportFailure(r, FileCloseRules());
  }
}

bool CUpdateSession::FileTransfer(int resourceId, const char* name) {
  const uint8_t* image = nullptr;
  const int32_t length = loader_(resourceId, &image);
  if (length < 0 || length > static_cast<int32_t>(kModuleFileBufferSize)) {
    Fail(LoadText(IDS_IMAGE_MISSING));
    return false;
  }
  moduleFile_.assign(image, image + (length > 0 ? length : 0));
  if (!FileOpen(name, kModuleOpenMode)) return false;

  // At least one FileWrite goes out, even for an empty image.
  int32_t offset = 0;
  do {
    const uint32_t chunk = static_cast<uint32_t>(std::min<int32_t>(kFileChunk, length - offset));
    if (!FileWrite(moduleFile_.data() + offset, chunk)) {
      // Once the answers are out of step, no answer can be judged, so nothing more is sent.
      if (!Aborted() && !channel_.OutOfStep()) CloseAfterFailure();
      return false;
    }
    offset += static_cast<int32_t>(chunk);
    Transferred(chunk);
  } while (offset < length);
  return FileClose() && AnswersInStep();
}

}  // namespace px
