// The single-message exchanges around the transfers, and the device file transfer. Their rules
// are rows of the exchange table.
#include <algorithm>
#include <string>

#include "engine/strings.h"
#include "engine/update_session.h"

namespace px {

// The file transfer's own constants always fit their messages.
static_assert(std::char_traits<char>::length(kModuleFileName) < kFileOpenNameField);
static_assert(std::char_traits<char>::length(kModuleFileName) < kFileDeleteNameField);
static_assert(kFileChunk <= kMaxFileWriteChunk);

// Keeps asking while the device refuses; a refusal for a low battery has its own text.
bool CUpdateSession::GetSemaphore() {
  const ExchangeRules rules = Rules(MessageKind::GetSemaphore);
  const ExchangeResult r = RunRequest(messages_.GetSemaphore(), rules);
  if (RefusedWith(r, kStatusSemaphoreLowBattery)) {
    Fail(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  return Succeeded(r, rules);
}

bool CUpdateSession::AudioMute() {
  return Exchange(messages_.AudioMute(), Rules(MessageKind::AudioMute));
}

bool CUpdateSession::ResultRequest(uint8_t value) {
  return Exchange(messages_.ResultRequest(value), Rules(MessageKind::ResultRequest));
}

bool CUpdateSession::FileDelete(const char* name) {
  return Exchange(messages_.FileDelete(name), Rules(MessageKind::FileDelete));
}

// The handle is the answer that was judged a success.
bool CUpdateSession::FileOpen(const char* name, uint32_t mode) {
  const ExchangeRules rules = Rules(MessageKind::FileOpen);
  const ExchangeResult r = RunRequest(messages_.FileOpen(name, mode), rules);
  if (!Succeeded(r, rules)) return false;
  openFileHandle_ = r.answer.status;
  return ResultRequest(0);
}

bool CUpdateSession::FileWrite(const uint8_t* data, uint32_t count) {
  const Message chunk = messages_.FileWrite(static_cast<uint32_t>(openFileHandle_), data, count);
  if (!Exchange(chunk, Rules(MessageKind::FileWrite))) return false;
  return ResultRequest(0);
}

bool CUpdateSession::FileClose() {
  return Exchange(messages_.FileClose(static_cast<uint32_t>(openFileHandle_)),
                  Rules(MessageKind::FileClose));
}

// The run has failed already. What the device answers a close then cannot change that, and a
// late answer to the failed chunk may well come now: only the close's own failures are shown.
void CUpdateSession::CloseAfterFailure() {
  const ExchangeRules rules = Rules(MessageKind::FileClose);
  const ExchangeResult r =
      RunRequest(messages_.FileClose(static_cast<uint32_t>(openFileHandle_)), rules);
  if (r.ending == ExchangeEnding::TimedOut || r.ending == ExchangeEnding::Refused) {
    ReportFailure(r, rules);
  }
}

bool CUpdateSession::FileTransfer(int resourceId, const char* name) {
  const std::span<const uint8_t> image = images_.Of(resourceId);
  if (!FileOpen(name, kModuleOpenMode)) return false;

  // At least one FileWrite goes out, even for an empty image.
  size_t offset = 0;
  do {
    const uint32_t chunk =
        static_cast<uint32_t>(std::min<size_t>(kFileChunk, image.size() - offset));
    if (!FileWrite(image.data() + offset, chunk)) {
      // Once the answers are out of step, no answer can be judged, so nothing more is sent.
      if (!Aborted() && !channel_.OutOfStep()) CloseAfterFailure();
      return false;
    }
    offset += chunk;
    Transferred(chunk);
  } while (offset < image.size());
  return FileClose() && AnswersInStep();
}

}  // namespace px
