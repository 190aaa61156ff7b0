#include "engine/update_engine.h"

#include <chrono>
#include <system_error>

#include "base/event.h"
#include "engine/strings.h"

namespace px {

// Shows what a session tells: each failure's box (the first and any later one), the completion's
// box, the bar and the notes; after a failure the controls come back.
class CUpdateEngine::CUiObserver : public IUpdateObserver {
 public:
  explicit CUiObserver(CUpdateEngine& engine) : engine_(engine) {}

  void OnStep(UpdateStep step) override { engine_.ui_.OnStep(step); }
  void OnPosition(int percent) override { engine_.ui_.SetProgressPosition(percent); }
  void OnTransfer(uint64_t done, uint64_t total) override { engine_.ui_.OnTransfer(done, total); }
  void OnFailure(const UpdateFailure& failure) override {
    if (engine_.Aborted()) return;
    if (failure.first) engine_.outcome_ = failure.outcome;
    engine_.ui_.ShowError(failure.text);
    engine_.RestoreControls();
  }
  void OnCompleted(const std::string& text) override {
    engine_.outcome_ = RunOutcome::Completed;
    engine_.ui_.ShowCompletion(text);
    engine_.UpdateInProgress_ = 0;
  }
  bool ConfirmStart(const UpdateDevice& device) override {
    return engine_.ui_.ConfirmStart(device.code, device.variant);
  }

 private:
  CUpdateEngine& engine_;
};

CUpdateEngine::CUpdateEngine(IPortLink& link, IUpdateUi& ui, EngineTiming timing,
                             ImageLoader loader)
    : link_(link),
      ui_(ui),
      timing_(timing),
      loader_(std::move(loader)),
      receiver_(link, reply_, messages_),
      stop_(reply_.Answers) {}

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
  stop_.Request();
}

// The stop wakes every wait and pause of the worker, and the reply thread looks at its flag on
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

// One session per run, on the worker.
void CUpdateEngine::UpdateThread() {
  CUpdateSession session(link_, reply_, messages_, stop_, timing_, loader_);
  session.SetMessageTap(tap_.load());
  CUiObserver observer(*this);
  const UpdateResult result = session.Update(observer);
  Remember(session.Identified());
  progressPercent_ = session.ProgressPercent();
  percentPerByte_ = session.PercentPerByte();
  if (result.outcome == RunOutcome::Declined) {
    outcome_ = RunOutcome::Declined;
    RestoreControls();
  } else if (result.outcome == RunOutcome::Aborted && outcome_.load() == RunOutcome::None) {
    outcome_ = RunOutcome::Aborted;
  }
}

Identification CUpdateEngine::Identify() {
  CUpdateSession session(link_, reply_, messages_, stop_, timing_, loader_);
  session.SetMessageTap(tap_.load());
  const Identification id = session.Identify();
  Remember(id);
  return id;
}

void CUpdateEngine::Remember(const Identification& id) {
  const DeviceAnswer& answer = id.exchanged.answer;
  if (id.exchanged.ending == Ending::Accepted && answer.kind == MessageKind::IdentityReply) {
    std::lock_guard<std::mutex> lock(identityMutex_);
    lastIdentity_ = answer;
  }
}

DeviceAnswer CUpdateEngine::LastIdentity() const {
  std::lock_guard<std::mutex> lock(identityMutex_);
  return lastIdentity_;
}

void CUpdateEngine::RestoreControls() {
  if (Aborted()) return;
  ui_.EnableControls();
  UpdateInProgress_ = 0;
}

}  // namespace px
