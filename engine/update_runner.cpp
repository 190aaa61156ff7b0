#include "engine/update_runner.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "engine/strings.h"

namespace px {

namespace {

// How long a stopped worker gets to end by itself before its system call is cancelled.
constexpr uint32_t kStopGraceMs = 200;

}  // namespace

// Passes on what a session tells, and keeps the runner's own state: the link released after every
// failure, never after a completion.
class CUpdateRunner::CSessionWatch : public IUpdateObserver {
 public:
  explicit CSessionWatch(CUpdateRunner& runner) : runner_(runner) {}

  void OnStep(UpdateStep step) override { runner_.watcher_.OnStep(step); }
  void OnPosition(int percent) override { runner_.watcher_.OnPosition(percent); }
  void OnTransfer(uint64_t done, uint64_t total) override {
    runner_.watcher_.OnTransfer(done, total);
  }
  void OnFailure(const UpdateFailure& failure) override {
    if (runner_.Aborted()) return;
    runner_.watcher_.OnFailure(failure);
    runner_.Release();
  }
  void OnCompleted(const std::string& text) override {
    runner_.watcher_.OnCompleted(text);
    runner_.updateInProgress_ = 0;
  }
  bool ConfirmStart(const UpdateDevice& device) override {
    return runner_.watcher_.ConfirmStart(device);
  }

 private:
  CUpdateRunner& runner_;
};

CUpdateRunner::CUpdateRunner(IPortLink& port, IRunWatcher& watcher, EngineTiming timing,
                             ImageLoader loader)
    : link_(port), watcher_(watcher), timing_(timing), loader_(std::move(loader)) {}

CUpdateRunner::CUpdateRunner(std::unique_ptr<IPortLink> port, IRunWatcher& watcher)
    : link_(std::move(port)), watcher_(watcher), timing_(), loader_(LoadDeviceImage) {}

CUpdateRunner::~CUpdateRunner() {
  Shutdown();
}

void CUpdateRunner::SetMessageTap(IMessageTap* tap) {
  tap_ = tap;
  link_.SetTap(tap);
}

UpdateResult CUpdateRunner::LastResult() const {
  std::lock_guard<std::mutex> lock(resultMutex_);
  return result_;
}

void CUpdateRunner::SetResult(const UpdateResult& result) {
  std::lock_guard<std::mutex> lock(resultMutex_);
  result_ = result;
}

void CUpdateRunner::OnExecute(int portNumber) {
  Execute([this, portNumber] { return link_.Open(portNumber); });
}

void CUpdateRunner::OnExecute(const std::string& portName) {
  Execute([this, portName] { return link_.Open(portName); });
}

// On the front end's thread, which must never wait for the port: a Bluetooth port connects
// inside the system's open, for seconds. The worker closes and opens it; until the open has
// failed, the run is active.
void CUpdateRunner::Execute(Opener open) {
  // A worker that is still closing its device file after a failure counts as running.
  if (updateInProgress_.load() == 1 || workerAlive_.load()) {
    Refuse(RunOutcome::None, IDS_IN_PROGRESS);
    return;
  }
  if (Aborted()) return;
  watcher_.OnPosition(0);

  // The images are checked before anything goes to the device.
  const std::optional<DeviceImages> images = LoadImages(loader_);
  if (!images) {
    Refuse(RunOutcome::NotStarted, IDS_IMAGE_MISSING);
    return;
  }
  images_ = *images;

  watcher_.OnRunStarted();
  updateInProgress_ = 1;
  SetResult({});
  if (!StartWorker(std::move(open))) {
    Refuse(RunOutcome::NotStarted, IDS_CANT_START_UPDATE);
    Release();
  }
}

bool CUpdateRunner::StartWorker(Opener open) {
  std::lock_guard<std::mutex> lock(workerMutex_);
  if (worker_.joinable()) worker_.join();  // the previous worker has ended; reap it
  workerAlive_ = true;
  auto body = [this, open = std::move(open)] {
    {
      std::lock_guard<std::mutex> started(workerMutex_);
      workerIo_ = CThreadIoCancel::OfCurrentThread();
    }
    if (OpenPort(open)) UpdateThread();
    std::lock_guard<std::mutex> ended(workerMutex_);
    workerIo_ = CThreadIoCancel();
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

// On the worker: whatever a previous run left open goes, then the chosen port opens. A window
// closed meanwhile hears nothing of it.
bool CUpdateRunner::OpenPort(const Opener& open) {
  if (Aborted()) return false;
  const CPedalLink::Opening opening = open();
  if (Aborted()) return false;
  if (opening == CPedalLink::Opening::Opened) return true;
  if (opening == CPedalLink::Opening::PortFailed) {
    Refuse(RunOutcome::PortFailed, IDS_CANT_OPEN_PORT);
  } else {
    Refuse(RunOutcome::NotStarted, IDS_CANT_START_UPDATE);
  }
  Release();
  return false;
}

bool CUpdateRunner::WaitForWorker(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(workerMutex_);
  return workerEnded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return !workerAlive_.load(); });
}

// The stop ends every wait of a session at once; only a worker inside the system's own call
// (a port still connecting) needs that call cancelled, and a system that cannot cancel it
// keeps the worker there.
bool CUpdateRunner::StopWorker(uint32_t timeoutMs) {
  Abort();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto ended = [this] { return !workerAlive_.load(); };
  std::unique_lock<std::mutex> lock(workerMutex_);
  if (workerEnded_.wait_for(lock, std::chrono::milliseconds(std::min(timeoutMs, kStopGraceMs)),
                            ended)) {
    return true;
  }
  workerIo_.CancelBlockingCall();
  return workerEnded_.wait_until(lock, deadline, ended);
}

void CUpdateRunner::AbandonWorker() {
  std::lock_guard<std::mutex> lock(workerMutex_);
  if (worker_.joinable()) worker_.detach();
}

void CUpdateRunner::Abort() {
  link_.EndReplies();
  link_.Stop();
}

// The stop wakes every wait and pause of the worker, and the reply thread looks at its flag on
// every byte and is woken from its read, so both joins come at once whatever the line does.
void CUpdateRunner::Shutdown() {
  Abort();
  {
    std::unique_lock<std::mutex> lock(workerMutex_);
    workerEnded_.wait(lock, [this] { return !workerAlive_.load(); });
    if (worker_.joinable()) worker_.join();
  }
  link_.Close();
}

// One session per run, on the worker.
void CUpdateRunner::UpdateThread() {
  CUpdateSession session(link_, timing_, images_);
  session.SetMessageTap(tap_.load());
  CSessionWatch observer(*this);
  const UpdateResult result = session.Update(observer);
  SetResult(result);
  if (result.outcome == RunOutcome::Declined) Release();
}

void CUpdateRunner::Release() {
  if (Aborted()) return;
  watcher_.OnRunReleased();
  updateInProgress_ = 0;
}

// A run that does not start: its text, as a failure that no run's outcome hangs on when one
// already runs.
void CUpdateRunner::Refuse(RunOutcome outcome, int text) {
  const UpdateResult failure = {.outcome = outcome, .text = LoadText(text)};
  if (outcome != RunOutcome::None) SetResult(failure);
  watcher_.OnFailure({failure, outcome != RunOutcome::None});
}

}  // namespace px
