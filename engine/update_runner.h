#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/thread_io.h"
#include "engine/images.h"
#include "engine/pedal_link.h"
#include "engine/run_watcher.h"
#include "engine/timing.h"
#include "engine/update_session.h"

namespace px {

// Runs updates for a front end that lives as long as the runner: it owns the connection (whose
// reply thread is started once and ended with the runner) and at most one worker, which runs one
// update session at a time and passes on what it tells.
class CUpdateRunner {
 public:
  CUpdateRunner(IPortLink& port, IRunWatcher& watcher, EngineTiming timing = {},
                ImageLoader loader = LoadDeviceImage);
  // A runner that owns its port.
  CUpdateRunner(std::unique_ptr<IPortLink> port, IRunWatcher& watcher);
  ~CUpdateRunner();
  CUpdateRunner(const CUpdateRunner&) = delete;
  CUpdateRunner& operator=(const CUpdateRunner&) = delete;

  // Starts the reply thread, once, when the front end starts.
  void StartReplyThread() { link_.StartReplyThread(); }

  // Starts a run on the port, by number or by name: disables the controls and starts the
  // worker, which opens the port. Never waits for the port itself.
  void OnExecute(int portNumber);
  void OnExecute(const std::string& portName);

  // The front end goes: stops the reply thread, wakes a waiting worker with the stop signal, and
  // from then on the worker sends nothing and tells nothing.
  void Abort();
  // Abort, then wait until the worker and the reply thread have ended.
  void Shutdown();
  // Waits up to timeoutMs for the current worker to end; true when none runs.
  bool WaitForWorker(uint32_t timeoutMs);
  // Abort, and wait up to timeoutMs for the worker to end, cancelling the system call that it
  // may be blocked in (a port that is still connecting). True when no worker runs any more;
  // false when the system keeps it.
  bool StopWorker(uint32_t timeoutMs);
  // Lets a worker that StopWorker could not end go, so that the runner's end does not wait for
  // it. It still uses the runner and the link when the system returns to it, so the caller ends
  // the process at once after this, before either goes.
  void AbandonWorker();

  bool UpdateInProgress() const { return updateInProgress_.load() != 0; }
  // A front end that shows the completion box on a thread of its own ends the run there, as the
  // box closes, before the worker hears of it: the run is over once the user has seen it end.
  void EndCompletedRun() { updateInProgress_ = 0; }
  bool WorkerAlive() const { return workerAlive_.load(); }
  // How the last run ended, once it has: its session's result, or why it did not start.
  UpdateResult LastResult() const;
  // Answers that nobody asked for, in the runner's life.
  uint64_t SurplusAnswers() { return link_.Answers().Surplus(); }
  // The updater's own identity reply, as the device gets it when it asks.
  Message OwnIdentityReply() { return link_.Messages().IdentityReply(); }
  void SetMessageTap(IMessageTap* tap);

  // Tests replace how the worker thread is started, to see a start that fails.
  using ThreadStarter = std::function<bool(std::function<void()>)>;
  void SetThreadStarterForTest(ThreadStarter starter) { threadStarter_ = std::move(starter); }

 private:
  class CSessionWatch;

  using Opener = std::function<CPedalLink::Opening()>;
  void Execute(Opener open);
  bool StartWorker(Opener open);
  bool OpenPort(const Opener& open);
  void UpdateThread();
  // The run no longer holds the link.
  void Release();
  void Refuse(RunOutcome outcome, int text);
  bool Aborted() const { return link_.Stopped(); }
  void SetResult(const UpdateResult& result);

  CPedalLink link_;
  IRunWatcher& watcher_;
  const EngineTiming timing_;
  ImageLoader loader_;
  DeviceImages images_;  // loaded and checked by each run's start, before its worker
  std::atomic<IMessageTap*> tap_{nullptr};

  std::atomic<int> updateInProgress_{0};
  mutable std::mutex resultMutex_;
  UpdateResult result_;

  // The worker: at most one, joined before the next starts and before the runner goes.
  std::mutex workerMutex_;
  std::thread worker_;
  std::atomic<bool> workerAlive_{false};
  CThreadIoCancel workerIo_;  // under workerMutex_, while the worker runs
  std::condition_variable workerEnded_;
  ThreadStarter threadStarter_;
};

}  // namespace px
