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
#include "engine/progress.h"
#include "engine/request_channel.h"
#include "engine/timing.h"
#include "engine/update_ui.h"
#include "protocol/messages.h"
#include "protocol/reply.h"

namespace px {

// The run state of one updater window: the link, the reply thread and its state, the message
// set, the engine's fields and at most one worker.
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
  float ProgressPercent() const { return progress_.ProgressPercent(); }
  float PercentPerByte() const { return progress_.PercentPerByte(); }
  // Answers that nobody asked for, in the engine's life.
  uint64_t SurplusAnswers() const { return reply_.Answers.Surplus(); }
  // The updater's own identity reply, as the device gets it when it asks.
  int OwnIdentityReply(uint8_t* out) { return messages_.IdentityReply(out); }
  void SetMessageTap(IMessageTap* tap);

  // Tests replace how the worker thread is started, to see a start that fails.
  using ThreadStarter = std::function<bool(std::function<void()>)>;
  void SetThreadStarterForTest(ThreadStarter starter) { threadStarter_ = std::move(starter); }

  // The identification alone, for the command line's "identify": IdentityRequest with the usual
  // attempts on an already opened link. Any answer ends it; the caller judges the answer.
  Exchanged Identify();
  // The last identity reply that answered an identification (zeros before any).
  DeviceAnswer LastIdentity() const;

 private:
  // An exchange's rules and the texts of its two failures.
  struct ExchangeRules {
    RetryPolicy policy;
    int timeoutText;
    int errorText;  // "%d" filled with the refusing status
  };

  void Execute(const std::function<bool()>& open);
  bool StartWorker();
  void UpdateThread();
  bool RunSteps();
  bool Identified();
  bool StartUpdateMode();
  bool Finish();

  // Runs one exchange of the message in OutgoingBuffer by its rules.
  Exchanged Run(int length, const ExchangeRules& rules);
  // The same, reported: on failure it has already shown its box (or aborted).
  bool Exchange(int length, const ExchangeRules& rules) {
    return Report(Run(length, rules), rules);
  }
  bool Report(const Exchanged& result, const ExchangeRules& rules);
  // After a transfer's last answer: false (with its box) when the answers went out of step.
  bool Settled();

  // Exchanges. Each returns true on success; on failure it has already reported (or aborted).
  bool GetSemaphore();
  bool AudioMute();
  bool ResultRequest(uint8_t value);
  bool FileDelete(const char* name);
  bool FileOpen(const char* name, uint32_t mode);
  bool FileWrite(const uint8_t* data, uint32_t count);
  bool FileClose();
  ExchangeRules FileCloseRules() const;
  // After a failed FileWrite: its own box or none, never another ending's.
  void CloseAfterFailure();
  bool FileTransfer(int resourceId, const char* name);
  void PrepareProgressScale(bool withModule);
  int FlashTransfer();
  int Erase(uint32_t address, uint32_t size);
  int Write(uint32_t address, uint32_t size, int resourceId);

  ExchangeRules Rules(RetryPolicy policy, int timeoutText, int errorText) const;
  // The policy of an exchange; waitMs 0 is the usual reply wait.
  RetryPolicy Attempts(int failingTimeout, int failingRefusal, uint32_t pauseMs,
                       uint32_t waitMs = 0,
                       bool (*accepts)(const DeviceAnswer&) = AcceptsSuccess) const;

  void FailRun(const std::string& text, RunOutcome outcome = RunOutcome::Refused);
  void RestoreControls();
  void Show(const CProgress::Position& position);
  void AddProgress(float percent) { Show(progress_.Add(percent)); }
  void Transferred(uint32_t bytes);
  bool Aborted() const { return channel_.Aborted(); }

  IPortLink& link_;
  IUpdateUi& ui_;
  const EngineTiming timing_;
  ImageLoader loader_;

  CReplyState reply_;
  CMessageSet messages_;
  CReplyReceiver receiver_;
  CRequestChannel channel_;
  CProgress progress_;
  std::thread replyThread_;

  std::atomic<int> UpdateInProgress_{0};
  std::atomic<RunOutcome> outcome_{RunOutcome::None};

  uint8_t ModuleFileBuffer[kModuleFileBufferSize] = {};
  int32_t OpenFileHandle = 0;
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
