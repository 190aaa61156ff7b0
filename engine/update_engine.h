#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/byte_link.h"
#include "engine/images.h"
#include "protocol/messages.h"
#include "protocol/reply.h"

namespace px {

// Every time of the update, in milliseconds. The programs use the defaults; tests scale them.
struct EngineTiming {
  uint32_t replyWaitMs = 5000;
  uint32_t updateStartPauseMs = 500;
  uint32_t resendPauseMs = 100;
  uint32_t semaphorePauseMs = 50;
  uint32_t abortSleepMs = 200;
  // The erase waits size / eraseBytesPerMs + eraseExtraMs for its answer.
  uint32_t eraseBytesPerMs = 33;
  uint32_t eraseExtraMs = 1000;
};

// The steps of a run, for front ends that report them.
enum class UpdateStep {
  Identify,
  Semaphore,
  Mute,
  UpdateStart,
  FileDelete,
  FileWrite,
  Erase,
  Write,
  Complete,
};
const char* StepName(UpdateStep step);

// How the run ended, for front ends that need more than the boxes (the CLI's exit status).
enum class RunOutcome {
  None,
  Completed,
  Refused,     // the device answered with an error, or is not a PX-550LN
  TimedOut,    // the device did not answer
  PortFailed,  // the port could not be opened
  NotStarted,  // the images or the worker thread failed before anything was sent
  Declined,    // the front end declined to go on after identification
  Aborted,
};

// Everything the engine shows goes through this interface. The dialog implements it with
// Win32, the command line with the terminal, tests with a recorder. All calls but the step and
// transfer notes come from the worker thread, except where OnExecute itself reports an error.
class IUpdateUi {
 public:
  virtual ~IUpdateUi() = default;
  // An error box: returns once the user has dismissed it.
  virtual void ShowError(const std::string& text) = 0;
  // The completion box: returns once dismissed.
  virtual void ShowCompletion(const std::string& text) = 0;
  virtual void SetProgressPosition(int percent) = 0;
  // Port list, Execute and Rescan.
  virtual void DisableControls() = 0;
  virtual void EnableControls() = 0;
  // Optional notes for richer front ends.
  virtual void OnStep(UpdateStep) {}
  virtual void OnTransfer(uint64_t /*bytesDone*/, uint64_t /*bytesTotal*/) {}
  // Asked once the device is identified and accepted, before anything on it changes. A front
  // end that returns false ends the run there, without a box.
  virtual bool ConfirmStart(uint8_t /*deviceId*/, uint8_t /*variant*/) { return true; }
};

// One flash table entry: erase (kind 1) or write (kind 2); other kinds are skipped.
struct FlashImageEntry {
  uint32_t kind;
  uint32_t address;
  uint32_t size;
  uint32_t resourceId;
};
inline constexpr uint32_t kFlashErase = 1;
inline constexpr uint32_t kFlashWrite = 2;
inline constexpr FlashImageEntry FlashImageTable[] = {
    {kFlashErase, 0x000A0000, 0x00100000, 0},
    {kFlashWrite, 0x000A0000, 0, 231},
};

inline constexpr uint32_t kBaudRate = 115200;
inline constexpr uint32_t kWriteBlock = 0x3000;
inline constexpr uint32_t kFileChunk = 4096;
inline constexpr size_t kModuleFileBufferSize = 65536;
inline constexpr const char* kModuleFileName = "LINESEL.TDL";

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
  float ProgressPercent() const;
  float PercentPerByte() const;
  CReplyState& Reply() { return reply_; }
  CMessageSet& Messages() { return messages_; }
  void SetMessageTap(IMessageTap* tap);

  // Tests replace how the worker thread is started, to see a start that fails.
  using ThreadStarter = std::function<bool(std::function<void()>)>;
  void SetThreadStarterForTest(ThreadStarter starter) { threadStarter_ = std::move(starter); }

  enum class Wait { Reply, TimedOut, Aborted };
  // The identification alone, for the command line's "identify": IdentityRequest with the usual
  // attempts on an already opened link; the answer is in Reply().
  Wait Identify();

 private:
  void Execute(const std::function<bool()>& open);
  void UpdateThread();
  bool RunSteps();

  // Exchanges. Each returns true on success; on failure it has already reported (or aborted).
  Wait SendWithRetry(const uint8_t* message, int length);
  bool GetSemaphore();
  bool AudioMute();
  bool ResultRequest(uint8_t value);
  bool FileDelete(const char* name);
  bool FileOpen(const char* name, uint32_t mode);
  bool FileWrite(const uint8_t* data, uint32_t count);
  bool FileClose();
  bool FileTransfer(int resourceId, const char* name);
  bool SimpleExchange(int length, int timeoutText, int errorText, bool acceptMinusSix = false);
  bool StartWorker();
  void PrepareProgressScale(bool withModule);
  int FlashTransfer();
  int Erase(uint32_t address, uint32_t size);
  int Write(uint32_t address, uint32_t size, int resourceId);

  // Before a new request: waits out the answers still owed to copies of earlier requests, then
  // forgets any reply left over.
  void BeginRequest();
  // Sends unless the run was aborted; false when aborted.
  bool Send(const uint8_t* message, int length);
  Wait WaitReply(uint32_t timeoutMs);
  // Pauses; false when the run was aborted meanwhile.
  bool Pause(uint32_t ms);
  void FailRun(const std::string& text, RunOutcome outcome = RunOutcome::Refused);
  void RestoreControls();
  void AddProgress(float percent);
  void Transferred(uint32_t bytes);
  void ShowProgress();
  bool Aborted() const { return aborted_.load(); }
  int32_t Status() const { return reply_.ReplyStatus.load(); }

  IPortLink& link_;
  IUpdateUi& ui_;
  const EngineTiming timing_;
  ImageLoader loader_;

  CReplyState reply_;
  CMessageSet messages_;
  CReplyReceiver receiver_;
  std::thread replyThread_;
  IMessageTap* tap_ = nullptr;

  std::atomic<int> UpdateInProgress_{0};
  std::atomic<bool> aborted_{false};
  std::atomic<RunOutcome> outcome_{RunOutcome::None};

  // Progress is written by the worker and read by front ends.
  mutable std::mutex progressMutex_;
  float ProgressPercent_ = 0.0f;
  float PercentPerByte_ = 0.0f;
  uint64_t bytesDone_ = 0;
  uint64_t bytesTotal_ = 0;

  // Answers the device may still send to requests whose wait timed out; the worker's alone.
  int owed_ = 0;

  uint8_t ModuleFileBuffer[kModuleFileBufferSize] = {};
  int32_t OpenFileHandle = 0;

  // The worker: at most one, joined before the next starts and before the engine goes.
  std::mutex workerMutex_;
  std::thread worker_;
  std::atomic<bool> workerAlive_{false};
  std::condition_variable workerEnded_;
  std::mutex abortMutex_;
  std::condition_variable abortCv_;
  ThreadStarter threadStarter_;
};

}  // namespace px
