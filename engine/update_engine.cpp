#include "engine/update_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

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
      receiver_(link, reply_, messages_) {}

CUpdateEngine::~CUpdateEngine() {
  Shutdown();
}

void CUpdateEngine::SetMessageTap(IMessageTap* tap) {
  tap_ = tap;
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

float CUpdateEngine::ProgressPercent() const {
  std::lock_guard<std::mutex> lock(progressMutex_);
  return ProgressPercent_;
}

float CUpdateEngine::PercentPerByte() const {
  std::lock_guard<std::mutex> lock(progressMutex_);
  return PercentPerByte_;
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
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    ProgressPercent_ = 0.0f;
  }
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
  reply_.ReplyEvent.ResetEvent();
  owed_ = 0;
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
  {
    std::lock_guard<std::mutex> lock(abortMutex_);
    aborted_ = true;
  }
  reply_.ReplyStatus = kAbortStatus;
  reply_.ReplyEvent.SetEvent();
  abortCv_.notify_all();
}

void CUpdateEngine::Shutdown() {
  Abort();
  WaitForWorker(timing_.abortSleepMs);
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

// Replies carry no sequence number: once a copy of a request timed out and another copy was
// answered, the answer to the first may still come, and would be taken for the next request's
// (a late answer to block k read as block k + 1 written). So before a new request each answer
// still owed is waited for, one reply wait at most; the first that does not come is taken as
// lost, and with it the rest.
void CUpdateEngine::BeginRequest() {
  while (owed_ > 0 && WaitReply(timing_.replyWaitMs) == Wait::Reply) {
  }
  owed_ = 0;
  reply_.ReplyEvent.ResetEvent();
}

bool CUpdateEngine::Send(const uint8_t* message, int length) {
  if (Aborted()) return false;
  SendToDevice(link_, message, length, tap_);
  ++owed_;
  return true;
}

CUpdateEngine::Wait CUpdateEngine::WaitReply(uint32_t timeoutMs) {
  if (Aborted()) return Wait::Aborted;
  const bool signalled = reply_.ReplyEvent.Lock(timeoutMs);
  // The abort mark counts only when the window really goes; a device may answer 255 too.
  if (Aborted()) return Wait::Aborted;
  if (!signalled) return Wait::TimedOut;
  if (owed_ > 0) --owed_;
  return Wait::Reply;
}

bool CUpdateEngine::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(abortMutex_);
  abortCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return aborted_.load(); });
  return !aborted_.load();
}

void CUpdateEngine::FailRun(const std::string& text, RunOutcome outcome) {
  if (Aborted()) return;
  outcome_ = outcome;
  ui_.ShowError(text);
  RestoreControls();
}

void CUpdateEngine::RestoreControls() {
  if (Aborted()) return;
  ui_.EnableControls();
  UpdateInProgress_ = 0;
}

void CUpdateEngine::ShowProgress() {
  if (Aborted()) return;
  int position = 0;
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    position = static_cast<int>(ProgressPercent_);
  }
  ui_.SetProgressPosition(position);
}

void CUpdateEngine::AddProgress(float percent) {
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    ProgressPercent_ += percent;
    if (ProgressPercent_ > 100.0f) ProgressPercent_ = 100.0f;
  }
  ShowProgress();
}

// A confirmed chunk or block moves the bar by its share of the transferred bytes.
void CUpdateEngine::Transferred(uint32_t bytes) {
  uint64_t done = 0;
  uint64_t total = 0;
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    done = bytesDone_ += bytes;
    total = bytesTotal_;
  }
  AddProgress(static_cast<float>(bytes) * PercentPerByte());
  if (!Aborted()) ui_.OnTransfer(done, total);
}

// One request, up to six attempts of sending and waiting; no pause between them. A new request
// forgets any reply that an earlier one left behind; resends of the same request do not, so a
// late answer to an earlier copy still counts.
CUpdateEngine::Wait CUpdateEngine::SendWithRetry(const uint8_t* message, int length) {
  BeginRequest();
  for (int attempt = 0; attempt < 6; ++attempt) {
    if (!Send(message, length)) return Wait::Aborted;
    const Wait w = WaitReply(timing_.replyWaitMs);
    if (w != Wait::TimedOut) return w;
  }
  return Wait::TimedOut;
}

CUpdateEngine::Wait CUpdateEngine::Identify() {
  return SendWithRetry(IdentityRequest.data(), static_cast<int>(IdentityRequest.size()));
}

bool CUpdateEngine::RunSteps() {
  ui_.OnStep(UpdateStep::Identify);
  Wait w = Identify();
  if (w == Wait::Aborted) return false;
  if (w == Wait::TimedOut) {
    FailRun(LoadText(IDS_TIMEOUT_ID_REQUEST), RunOutcome::TimedOut);
    return false;
  }
  if (Status() != 0) {
    FailRun(LoadText(IDS_ILLEGAL_DEVICE));
    return false;
  }
  const uint8_t variant = reply_.DeviceVariant.load();
  messages_.DeviceId = reply_.ReportedDeviceId.load();
  if (!IsAcceptedDeviceId(messages_.DeviceId)) {
    FailRun(LoadText(IDS_ILLEGAL_DEVICE));
    return false;
  }

  if (!ui_.ConfirmStart(messages_.DeviceId, variant)) {
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
  messages_.SetIdentityReplyDevice(messages_.DeviceId);

  ui_.OnStep(UpdateStep::UpdateStart);
  w = SendWithRetry(messages_.OutgoingBuffer, messages_.UpdateStart());
  if (w == Wait::Aborted) return false;
  if (w == Wait::TimedOut) {
    FailRun(LoadText(IDS_TIMEOUT_UPDATE_START), RunOutcome::TimedOut);
    return false;
  }
  const int32_t status = Status();
  if (status == 11) {
    FailRun(LoadText(IDS_SET_UPDATE_MODE));
    return false;
  }
  if (status == 12) {
    FailRun(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  if (status != 0) {
    FailRun(FormatText(IDS_ERROR_UPDATE_START, status));
    return false;
  }
  if (!Pause(timing_.updateStartPauseMs)) return false;

  if (withModule) {
    AddProgress(5.0f);
    ui_.OnStep(UpdateStep::FileDelete);
    if (!FileDelete(kModuleFileName)) return false;
    ui_.OnStep(UpdateStep::FileWrite);
    if (!FileTransfer(kModuleResource, kModuleFileName)) return false;
  }
  if (FlashTransfer() != 0) return false;

  ui_.OnStep(UpdateStep::Complete);
  w = SendWithRetry(messages_.OutgoingBuffer, messages_.UpdateComplete());
  if (w == Wait::Aborted) return false;
  if (w == Wait::TimedOut) {
    FailRun(LoadText(IDS_TIMEOUT_UPDATE_COMPLETE), RunOutcome::TimedOut);
    return false;
  }
  if (Aborted()) return false;
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    ProgressPercent_ = 100.0f;
  }
  ui_.SetProgressPosition(100);
  outcome_ = RunOutcome::Completed;
  ui_.ShowCompletion(LoadText(IDS_UPDATE_COMPLETED));
  UpdateInProgress_ = 0;
  return true;
}

}  // namespace px
