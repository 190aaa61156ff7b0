#include "engine/update_engine.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "base/event.h"
#include "engine/strings.h"

namespace px {

const char* StepName(UpdateStep step) {
  switch (step) {
    case UpdateStep::Identify:
      return "identify";
    case UpdateStep::Semaphore:
      return "semaphore";
    case UpdateStep::Mute:
      return "mute";
    case UpdateStep::UpdateStart:
      return "update-start";
    case UpdateStep::FileDelete:
      return "file-delete";
    case UpdateStep::FileWrite:
      return "file-write";
    case UpdateStep::Erase:
      return "erase";
    case UpdateStep::Write:
      return "write";
    case UpdateStep::Complete:
      return "complete";
  }
  return "";
}

CUpdateEngine::CUpdateEngine(IPortLink& link, IUpdateUi& ui, EngineTiming timing,
                             ImageLoader loader)
    : link_(link),
      ui_(ui),
      timing_(timing),
      loader_(std::move(loader)),
      receiver_(link, reply_, messages_),
      channel_(link, reply_) {}

CUpdateEngine::~CUpdateEngine() {
  Shutdown();
}

void CUpdateEngine::SetMessageTap(IMessageTap* tap) {
  channel_.SetTap(tap);
  receiver_.SetTap(tap);
}

void CUpdateEngine::StartReplyThread() {
  if (replyThread_.joinable()) return;
  reply_.ReplyThreadRun = 1;
  replyThread_ = std::thread([this] {
    SetCurrentThreadPriority(ThreadPriority::AboveNormal);
    receiver_.Run();
  });
}

void CUpdateEngine::OnExecute(int portNumber) {
  Execute([this, portNumber] { return link_.Open(portNumber, kBaudRate); });
}

void CUpdateEngine::OnExecute(const std::string& portName) {
  Execute([this, &portName] { return link_.Open(portName, kBaudRate); });
}

void CUpdateEngine::Execute(const std::function<bool()>& open) {
  // A worker that is still closing its device file after a failure counts as running.
  if (UpdateInProgress_.load() == 1 || workerAlive_.load()) {
    ui_.ShowError(LoadText(IDS_IN_PROGRESS));
    return;
  }
  if (Aborted()) return;
  progress_.Reset();
  ui_.SetProgressPosition(0);
  link_.Close();

  // The images are checked before anything goes to the device.
  const uint8_t* bytes = nullptr;
  const int32_t firmware = loader_(kFirmwareResource, &bytes);
  const int32_t module = loader_(kModuleResource, &bytes);
  if (firmware < 0 || module < 0 || module > static_cast<int32_t>(kModuleFileBufferSize)) {
    outcome_ = RunOutcome::NotStarted;
    ui_.ShowError(LoadText(IDS_IMAGE_MISSING));
    return;
  }

  if (!open()) {
    outcome_ = RunOutcome::PortFailed;
    ui_.ShowError(LoadText(IDS_CANT_OPEN_PORT));
    return;
  }
  ui_.DisableControls();
  UpdateInProgress_ = 1;
  outcome_ = RunOutcome::None;
  channel_.Reset();
  if (!StartWorker()) {
    outcome_ = RunOutcome::NotStarted;
    ui_.ShowError(LoadText(IDS_CANT_START_UPDATE));
    RestoreControls();
  }
}

bool CUpdateEngine::StartWorker() {
  std::lock_guard<std::mutex> lock(workerMutex_);
  if (worker_.joinable()) worker_.join();  // the previous worker has ended; reap it
  workerAlive_ = true;
  auto body = [this] {
    UpdateThread();
    std::lock_guard<std::mutex> ended(workerMutex_);
    workerAlive_ = false;
    workerEnded_.notify_all();
  };
  bool started = false;
  if (threadStarter_) {
    started = threadStarter_(body);
  } else {
    try {
      worker_ = std::thread(body);
      started = true;
    } catch (const std::system_error&) {
      started = false;
    }
  }
  if (!started) workerAlive_ = false;
  return started;
}

bool CUpdateEngine::WaitForWorker(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(workerMutex_);
  return workerEnded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return !workerAlive_.load(); });
}

void CUpdateEngine::Abort() {
  reply_.ReplyThreadRun = 0;
  channel_.Abort();
}

// The abort wakes every wait and pause of the worker, and the reply thread looks at its flag on
// every byte, so both joins come within a reply thread's 100 ms whatever the line does.
void CUpdateEngine::Shutdown() {
  Abort();
  {
    std::unique_lock<std::mutex> lock(workerMutex_);
    workerEnded_.wait(lock, [this] { return !workerAlive_.load(); });
    if (worker_.joinable()) worker_.join();
  }
  if (replyThread_.joinable()) replyThread_.join();
}

void CUpdateEngine::UpdateThread() {
  if (!RunSteps() && outcome_.load() == RunOutcome::None && Aborted()) {
    outcome_ = RunOutcome::Aborted;
  }
}

// The whole run, step by step.
bool CUpdateEngine::RunSteps() {
  ui_.OnStep(UpdateStep::Identify);
  if (!Identified()) return false;
  const uint8_t deviceId = messages_.DeviceId.load();
  const uint8_t variant = LastIdentity().variant;
  if (!ui_.ConfirmStart(deviceId, variant)) {
    outcome_ = RunOutcome::Declined;
    RestoreControls();
    return false;
  }
  const bool withModule = variant == 1;
  if (withModule) {
    ui_.OnStep(UpdateStep::Semaphore);
    if (!GetSemaphore()) return false;
    ui_.OnStep(UpdateStep::Mute);
    if (!AudioMute()) return false;
  }
  PrepareProgressScale(withModule);
  messages_.SetIdentityReplyDevice(deviceId);

  ui_.OnStep(UpdateStep::UpdateStart);
  if (!StartUpdateMode()) return false;
  if (!channel_.Pause(timing_.updateStartPauseMs)) return false;

  if (withModule) {
    AddProgress(5.0f);
    ui_.OnStep(UpdateStep::FileDelete);
    if (!FileDelete(kModuleFileName)) return false;
    ui_.OnStep(UpdateStep::FileWrite);
    if (!FileTransfer(kModuleResource, kModuleFileName)) return false;
  }
  if (FlashTransfer() != 0) return false;
  if (!Settled()) return false;

  ui_.OnStep(UpdateStep::Complete);
  return Finish();
}

// The first answer on a line just opened may wait for the device or the radio link to wake up:
// it says nothing of how long later requests take.
Exchanged CUpdateEngine::Identify() {
  RetryPolicy policy = Attempts(6, 1, 0, timing_.replyWaitMs, AcceptsAny);
  policy.timed = false;
  const Exchanged r =
      RunExchange(channel_, IdentityRequest.data(), static_cast<int>(IdentityRequest.size()),
                  policy, timing_.replyWaitMs);
  if (r.ending == Ending::Accepted && r.answer.kind == MessageKind::IdentityReply) {
    std::lock_guard<std::mutex> lock(identityMutex_);
    lastIdentity_ = r.answer;
  }
  return r;
}

DeviceAnswer CUpdateEngine::LastIdentity() const {
  std::lock_guard<std::mutex> lock(identityMutex_);
  return lastIdentity_;
}

// Only an identity reply of a PX-550LN lets the run go on; any other answer names no device.
bool CUpdateEngine::Identified() {
  const Exchanged r = Identify();
  switch (r.ending) {
    case Ending::Aborted:
      return false;
    case Ending::TimedOut:
      FailRun(LoadText(IDS_TIMEOUT_ID_REQUEST), RunOutcome::TimedOut);
      return false;
    case Ending::OutOfStep:
      FailRun(LoadText(IDS_ANSWERS_OUT_OF_STEP), RunOutcome::OutOfStep);
      return false;
    default:
      break;
  }
  if (r.answer.kind != MessageKind::IdentityReply || !IsAcceptedDeviceId(r.answer.deviceId)) {
    FailRun(LoadText(IDS_ILLEGAL_DEVICE));
    return false;
  }
  messages_.DeviceId = r.answer.deviceId;
  return true;
}

bool CUpdateEngine::StartUpdateMode() {
  const ExchangeRules rules =
      Rules(Attempts(6, 1, 0), IDS_TIMEOUT_UPDATE_START, IDS_ERROR_UPDATE_START);
  const Exchanged r = Run(messages_.UpdateStart(), rules);
  if (RefusedWith(r, kStatusNotInUpdateMode)) {
    FailRun(LoadText(IDS_SET_UPDATE_MODE));
    return false;
  }
  if (RefusedWith(r, kStatusLowBattery)) {
    FailRun(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  return Report(r, rules);
}

// Any answer to UpdateComplete counts as success.
bool CUpdateEngine::Finish() {
  const ExchangeRules rules =
      Rules(Attempts(6, 1, 0, timing_.replyWaitMs, AcceptsAny), IDS_TIMEOUT_UPDATE_COMPLETE, 0);
  if (!Exchange(messages_.UpdateComplete(), rules)) return false;
  if (Aborted()) return false;
  Show(progress_.Complete());
  outcome_ = RunOutcome::Completed;
  ui_.ShowCompletion(LoadText(IDS_UPDATE_COMPLETED));
  UpdateInProgress_ = 0;
  return true;
}

CUpdateEngine::ExchangeRules CUpdateEngine::Rules(RetryPolicy policy, int timeoutText,
                                                  int errorText) const {
  return {policy, timeoutText, errorText};
}

RetryPolicy CUpdateEngine::Attempts(int failingTimeout, int failingRefusal, uint32_t pauseMs,
                                    uint32_t waitMs, bool (*accepts)(const DeviceAnswer&)) const {
  return {waitMs != 0 ? waitMs : timing_.replyWaitMs, failingTimeout, failingRefusal, pauseMs,
          accepts};
}

Exchanged CUpdateEngine::Run(int length, const ExchangeRules& rules) {
  if (length < 0) {  // arguments that cannot be carried; never happens with our own names
    DeviceAnswer cannot;
    cannot.status = -1;
    return {Ending::Refused, cannot};
  }
  return RunExchange(channel_, messages_.OutgoingBuffer, length, rules.policy, timing_.replyWaitMs);
}

bool CUpdateEngine::Report(const Exchanged& result, const ExchangeRules& rules) {
  switch (result.ending) {
    case Ending::Accepted:
      return true;
    case Ending::TimedOut:
      FailRun(LoadText(rules.timeoutText), RunOutcome::TimedOut);
      return false;
    case Ending::Refused:
      FailRun(FormatText(rules.errorText, result.answer.status));
      return false;
    case Ending::OutOfStep:
      FailRun(LoadText(IDS_ANSWERS_OUT_OF_STEP), RunOutcome::OutOfStep);
      return false;
    case Ending::Aborted:
      return false;
  }
  return false;
}

// After a transfer's last answer, the answers must have stayed in step: otherwise a refusal may
// have been read as a success.
bool CUpdateEngine::Settled() {
  if (channel_.Settle(timing_.replyWaitMs, timing_.settleMarginMs)) return true;
  if (!Aborted()) FailRun(LoadText(IDS_ANSWERS_OUT_OF_STEP), RunOutcome::OutOfStep);
  return false;
}

// The first failure of a run decides its outcome; a later one still shows its box.
void CUpdateEngine::FailRun(const std::string& text, RunOutcome outcome) {
  if (Aborted()) return;
  RunOutcome none = RunOutcome::None;
  outcome_.compare_exchange_strong(none, outcome);
  ui_.ShowError(text);
  RestoreControls();
}

void CUpdateEngine::RestoreControls() {
  if (Aborted()) return;
  ui_.EnableControls();
  UpdateInProgress_ = 0;
}

void CUpdateEngine::Show(const CProgress::Position& position) {
  if (!Aborted()) ui_.SetProgressPosition(position.percent);
}

void CUpdateEngine::Transferred(uint32_t bytes) {
  const CProgress::Position position = progress_.Transferred(bytes);
  Show(position);
  if (!Aborted()) ui_.OnTransfer(position.bytesDone, position.bytesTotal);
}

}  // namespace px
