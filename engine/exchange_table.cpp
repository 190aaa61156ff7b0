#include "engine/exchange_table.h"

#include <cassert>

#include "engine/strings.h"

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

// One row per exchange. Any answer ends the identity request (the session then judges who
// answered) and UpdateComplete; a FileWrite whose answer is lost is not repeated, since the device
// may have stored it; the erase's answer waits for the erase itself, so its delay says nothing of
// the line. Each row's texts follow it.
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

ExchangeRules RulesOf(MessageKind request, const EngineTiming& timing, uint32_t eraseSize) {
  const ExchangeRow& row = RowOf(request);
  // An erase wait scaled down to nothing is the reply wait.
  const uint32_t eraseMs = row.wait == AnswerWait::Erase ? EraseWaitMs(timing, eraseSize) : 0;
  const uint32_t waitMs = eraseMs != 0 ? eraseMs : timing.replyWaitMs;
  return {{waitMs, row.failingTimeout, row.failingRefusal,
           row.pause != nullptr ? timing.*row.pause : 0, row.accepts, row.timed},
          row.timeoutText,
          row.errorText};
}

}  // namespace px
