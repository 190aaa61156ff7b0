// The rules of every exchange, the single-message exchanges around the transfers, and the device
// file transfer.
#include <algorithm>
#include <cassert>
#include <string>

#include "engine/strings.h"
#include "engine/update_session.h"

namespace px {
namespace {

// How long each attempt waits for its answer: the reply wait, or the erase's (EraseWaitMs).
enum class AnswerWait { Reply, Erase };

// A device without the file answers -6, which is as good as deleted.
bool AcceptsDeleted(const DeviceAnswer& a) {
  return a.known && (a.status == kStatusOk || a.status == kStatusNoSuchFile);
}

struct ExchangeRow {
  MessageKind request;
  AnswerWait wait;
  int failingTimeout;             // fails at this time-out: 6 tries five time-outs again
  int failingRefusal;             // ... and at this refusal: 1, the first answer decides
  uint32_t EngineTiming::*pause;  // after an attempt that did not succeed; none when null
  bool (*accepts)(const DeviceAnswer&);
  bool timed;  // whether its answer's delay says how long such a request takes
  int timeoutText;
  int errorText;
};

using K = MessageKind;
using W = AnswerWait;
constexpr uint32_t EngineTiming::*kNone = nullptr;
constexpr uint32_t EngineTiming::*kSemaphore = &EngineTiming::semaphorePauseMs;
constexpr uint32_t EngineTiming::*kResend = &EngineTiming::resendPauseMs;

// One row per exchange, its texts below it. A FileWrite whose answer is lost is not repeated: the
// device may have stored it. The erase's answer waits for the erase, not for the line.
// clang-format off
constexpr ExchangeRow kExchanges[] = {
  //                              fails at the
  // request           wait       time-out  refusal  pause           accepts          timed
  {K::IdentityRequest, W::Reply,  6,        1,       kNone,          AcceptsAny,      false,
   IDS_TIMEOUT_ID_REQUEST, IDS_ILLEGAL_DEVICE},
  {K::GetSemaphore,    W::Reply,  6,        100,     kSemaphore,     AcceptsSuccess,  true,
   IDS_TIMEOUT_GET_SEMAPHORE, IDS_ERROR_GET_SEMAPHORE},
  {K::AudioMute,       W::Reply,  6,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_AUDIO_MUTE, IDS_ERROR_AUDIO_MUTE},
  {K::UpdateStart,     W::Reply,  6,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_UPDATE_START, IDS_ERROR_UPDATE_START},
  {K::FileDelete,      W::Reply,  6,        1,       kNone,          AcceptsDeleted,  true,
   IDS_TIMEOUT_FILE_DELETE, IDS_ERROR_FILE_DELETE},
  {K::FileOpen,        W::Reply,  6,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_FILE_OPEN, IDS_ERROR_FILE_OPEN},
  {K::ResultRequest,   W::Reply,  6,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_RESULT, IDS_ERROR_RESULT},
  {K::FileWrite,       W::Reply,  1,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_FILE_WRITE, IDS_ERROR_FILE_WRITE},
  {K::FileClose,       W::Reply,  6,        1,       kNone,          AcceptsSuccess,  true,
   IDS_TIMEOUT_FILE_CLOSE, IDS_ERROR_FILE_CLOSE},
  {K::RomErase,        W::Erase,  1,        7,       kResend,        AcceptsSuccess,  false,
   IDS_TIMEOUT_ROM_ERASE, IDS_ERROR_ROM_ERASE},
  {K::RomWrite,        W::Reply,  6,        7,       kResend,        AcceptsSuccess,  true,
   IDS_TIMEOUT_ROM_WRITE, IDS_ERROR_ROM_WRITE},
  {K::UpdateComplete,  W::Reply,  6,        1,       kNone,          AcceptsAny,      true,
   IDS_TIMEOUT_UPDATE_COMPLETE, 0},
};
// clang-format on

const ExchangeRow& RowOf(MessageKind request) {
  for (const ExchangeRow& row : kExchanges) {
    if (row.request == request) return row;
  }
  assert(!"every request the session sends has a row");
  return kExchanges[0];
}

}  // namespace

CUpdateSession::ExchangeRules CUpdateSession::Rules(MessageKind request, uint32_t eraseSize) const {
  const ExchangeRow& row = RowOf(request);
  // An erase wait scaled down to nothing is the reply wait.
  const uint32_t eraseMs = row.wait == AnswerWait::Erase ? EraseWaitMs(timing_, eraseSize) : 0;
  const uint32_t waitMs = eraseMs != 0 ? eraseMs : timing_.replyWaitMs;
  return {{waitMs, row.failingTimeout, row.failingRefusal,
           row.pause != nullptr ? timing_.*row.pause : 0, row.accepts, row.timed},
          row.timeoutText,
          row.errorText};
}

// The session's own names and sizes always fit their messages.
static_assert(std::char_traits<char>::length(kModuleFileName) < kFileOpenNameField);
static_assert(std::char_traits<char>::length(kModuleFileName) < kFileDeleteNameField);
static_assert(kFileChunk <= kMaxFileWriteChunk && kWriteBlock <= kMaxRomWriteBlock);

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
