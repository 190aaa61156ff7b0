#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/byte_link.h"
#include "engine/flash_table.h"
#include "engine/images.h"
#include "engine/outcome.h"
#include "engine/request_channel.h"
#include "engine/timing.h"
#include "engine/update_session.h"
#include "engine/update_ui.h"
#include "protocol/messages.h"
#include "protocol/reply.h"

namespace px {

// The run state of one updater window: the link, the reply thread and its state, the message
// set and at most one worker, which runs one update session at a time and shows what it tells.
class CUpdateEngine {
 public:
  CUpdateEngine(IPortLink& link, IUpdateUi& ui, EngineTiming timing = {},
                ImageLoader loader = LoadDeviceImage);
  ~CUpdateEngine();
  CUpdateEngine(const CUpdateEngine&) = delete;
  CUpdateEngine& operator=(const CUpdateEngine&) = delete;

  // Sets ReplyThreadRun and starts the reply thread; the window's initialisation calls it.
  void StartReplyThread();

  // The Execute command, by port number (the dialog) or by port name (the command line).
  void OnExecute(int portNumber);
  void OnExecute(const std::string& portName);

  // The window's destruction: stops the reply thread, wakes a waiting worker with the abort
  // mark, and from then on the worker sends nothing and shows nothing.
  void Abort();
  // Abort, then wait until the worker and the reply thread have ended.
  void Shutdown();
  // Waits up to timeoutMs for the current worker to end; true when none runs.
  bool WaitForWorker(uint32_t timeoutMs);

  bool UpdateInProgress() const { return UpdateInProgress_.load() != 0; }
  bool WorkerAlive() const { return workerAlive_.load(); }
  RunOutcome LastOutcome() const { return outcome_.load(); }
  // The bar of the last run, once it has ended.
  float ProgressPercent() const { return progressPercent_.load(); }
  float PercentPerByte() const { return percentPerByte_.load(); }
  // Answers that nobody asked for, in the engine's life.
  uint64_t SurplusAnswers() const { return reply_.Answers.Surplus(); }
  // The updater's own identity reply, as the device gets it when it asks.
  int OwnIdentityReply(uint8_t* out) { return messages_.IdentityReply(out); }
  void SetMessageTap(IMessageTap* tap);

  // Tests replace how the worker thread is started, to see a start that fails.
  using ThreadStarter = std::function<bool(std::function<void()>)>;
  void SetThreadStarterForTest(ThreadStarter starter) { threadStarter_ = std::move(starter); }

  // The identification alone, for the command line's "identify": IdentityRequest with the usual
  // attempts on an already opened link, on the calling thread.
  Identification Identify();
  // The last identity reply that answered an identification (zeros before any).
  DeviceAnswer LastIdentity() const;

 private:
  class CUiObserver;

  void Execute(const std::function<bool()>& open);
  bool StartWorker();
  void UpdateThread();
  void RestoreControls();
  // Keeps the identity reply that answered an identification.
  void Remember(const Identification& id);
  bool Aborted() const { return stop_.Requested(); }

  IPortLink& link_;
  IUpdateUi& ui_;
  const EngineTiming timing_;
  ImageLoader loader_;

  CReplyState reply_;
  CMessageSet messages_;
  CReplyReceiver receiver_;
  CStopSignal stop_;
  std::atomic<IMessageTap*> tap_{nullptr};
  std::atomic<float> progressPercent_{0.0f};
  std::atomic<float> percentPerByte_{0.0f};
  std::thread replyThread_;

  std::atomic<int> UpdateInProgress_{0};
  std::atomic<RunOutcome> outcome_{RunOutcome::None};

  mutable std::mutex identityMutex_;
  DeviceAnswer lastIdentity_;

  // The worker: at most one, joined before the next starts and before the engine goes.
  std::mutex workerMutex_;
  std::thread worker_;
  std::atomic<bool> workerAlive_{false};
  std::condition_variable workerEnded_;
  ThreadStarter threadStarter_;
};

}  // namespace px
