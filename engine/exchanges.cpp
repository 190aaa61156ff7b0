// The single-message exchanges around the transfers, and the device file transfer.
#include <algorithm>
#include <cstring>

#include "engine/strings.h"
#include "engine/update_engine.h"

namespace px {

// Keeps asking while the device refuses: up to the 100th refusal or the 6th time-out, with a
// short pause after every attempt that did not succeed.
bool CUpdateEngine::GetSemaphore() {
  const int length = messages_.GetSemaphore();
  int timeouts = 0;
  int refusals = 0;
  BeginRequest();
  for (;;) {
    if (!Send(messages_.OutgoingBuffer, length)) return false;
    const Wait w = WaitReply(timing_.replyWaitMs);
    if (w == Wait::Aborted) return false;
    if (w == Wait::TimedOut) {
      if (++timeouts == 6) {
        FailRun(LoadText(IDS_TIMEOUT_GET_SEMAPHORE), RunOutcome::TimedOut);
        return false;
      }
    } else {
      const int32_t status = Status();
      if (status == 0) return true;
      if (++refusals == 100) {
        FailRun(status == 3 ? LoadText(IDS_LOW_BATTERY)
                            : FormatText(IDS_ERROR_GET_SEMAPHORE, status));
        return false;
      }
    }
    if (!Pause(timing_.semaphorePauseMs)) return false;
  }
}

bool CUpdateEngine::SimpleExchange(int length, int timeoutText, int errorText,
                                   bool acceptMinusSix) {
  if (length < 0) {  // arguments that cannot be carried; never happens with our own names
    FailRun(FormatText(errorText, -1));
    return false;
  }
  const Wait w = SendWithRetry(messages_.OutgoingBuffer, length);
  if (w == Wait::Aborted) return false;
  if (w == Wait::TimedOut) {
    FailRun(LoadText(timeoutText), RunOutcome::TimedOut);
    return false;
  }
  const int32_t status = Status();
  if (status == 0 || (acceptMinusSix && status == -6)) return true;
  FailRun(FormatText(errorText, status));
  return false;
}

bool CUpdateEngine::AudioMute() {
  return SimpleExchange(messages_.AudioMute(), IDS_TIMEOUT_AUDIO_MUTE, IDS_ERROR_AUDIO_MUTE);
}

bool CUpdateEngine::ResultRequest(uint8_t value) {
  memset(messages_.OutgoingBuffer, 0, 8);
  return SimpleExchange(messages_.ResultRequest(value), IDS_TIMEOUT_RESULT, IDS_ERROR_RESULT);
}

// A device without the file answers -6, which is as good as deleted.
bool CUpdateEngine::FileDelete(const char* name) {
  return SimpleExchange(messages_.FileDelete(name), IDS_TIMEOUT_FILE_DELETE, IDS_ERROR_FILE_DELETE,
                        true);
}

bool CUpdateEngine::FileOpen(const char* name, uint32_t mode) {
  memset(messages_.OutgoingBuffer, 0, 29);
  if (!SimpleExchange(messages_.FileOpen(name, mode), IDS_TIMEOUT_FILE_OPEN, IDS_ERROR_FILE_OPEN)) {
    return false;
  }
  OpenFileHandle = Status();
  return ResultRequest(0);
}

// Sent once: a chunk whose answer is lost is not repeated, since the device may have stored it.
bool CUpdateEngine::FileWrite(const uint8_t* data, uint32_t count) {
  BeginRequest();
  const int length = messages_.FileWrite(static_cast<uint32_t>(OpenFileHandle), data, count);
  if (length < 0) {
    FailRun(FormatText(IDS_ERROR_FILE_WRITE, -1));
    return false;
  }
  if (!Send(messages_.OutgoingBuffer, length)) return false;
  const Wait w = WaitReply(timing_.replyWaitMs);
  if (w == Wait::Aborted) return false;
  if (w == Wait::TimedOut) {
    FailRun(LoadText(IDS_TIMEOUT_FILE_WRITE), RunOutcome::TimedOut);
    return false;
  }
  const int32_t status = Status();
  if (status != 0) {
    FailRun(FormatText(IDS_ERROR_FILE_WRITE, status));
    return false;
  }
  return ResultRequest(0);
}

bool CUpdateEngine::FileClose() {
  return SimpleExchange(messages_.FileClose(static_cast<uint32_t>(OpenFileHandle)),
                        IDS_TIMEOUT_FILE_CLOSE, IDS_ERROR_FILE_CLOSE);
}

bool CUpdateEngine::FileTransfer(int resourceId, const char* name) {
  const uint8_t* image = nullptr;
  const int32_t length = loader_(resourceId, &image);
  if (length < 0 || length > static_cast<int32_t>(kModuleFileBufferSize)) {
    FailRun(LoadText(IDS_IMAGE_MISSING));
    return false;
  }
  if (length > 0) memcpy(ModuleFileBuffer, image, static_cast<size_t>(length));
  if (!FileOpen(name, 1)) return false;

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
  return FileClose();
}

}  // namespace px
