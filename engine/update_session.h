#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "engine/flash_table.h"
#include "engine/images.h"
#include "engine/pedal_link.h"
#include "engine/progress.h"
#include "engine/request_channel.h"
#include "engine/timing.h"
#include "engine/update_observer.h"

namespace px {

// How the identification ended: the device when a PX-550LN answered, otherwise why the run cannot
// go on.
struct Identification {
  ExchangeResult exchange;
  std::optional<UpdateDevice> device;
  UpdateResult failure;
};

// One update over an open connection, on the calling thread; the connection's stop ends it. A
// session is used for one run: a new run takes a new session.
class CUpdateSession {
 public:
  CUpdateSession(CPedalLink& link, EngineTiming timing, DeviceImages images);
  CUpdateSession(const CUpdateSession&) = delete;
  CUpdateSession& operator=(const CUpdateSession&) = delete;

  void SetMessageTap(IMessageTap* tap) { channel_.SetTap(tap); }

  // IdentityRequest with the usual attempts. Only an identity reply of a PX-550LN gives a device.
  Identification Identify();
  // The steps after the identification, from the question before anything changes to
  // UpdateComplete. Every step, position, transfer and failure goes to the observer as it happens.
  UpdateResult Run(const UpdateDevice& device, IUpdateObserver& observer);
  // Identify, with its failure told to the observer, then Run.
  UpdateResult Update(IUpdateObserver& observer);

 private:
  // An exchange's rules for this run, and the texts of its two failures.
  struct ExchangeRules {
    RetryPolicy policy;
    int timeoutText;
    int errorText;  // "%d" filled with the refusing status
  };

  bool RunSteps(const UpdateDevice& device);
  // UpdateComplete, and the completion told.
  bool CompleteUpdate();
  void Begin(UpdateStep step);

  // Runs one exchange of the message by its rules.
  ExchangeResult RunRequest(const Message& message, const ExchangeRules& rules);
  // The same, reported: on failure the observer has been told (unless the run was stopped).
  bool Exchange(const Message& message, const ExchangeRules& rules) {
    return Succeeded(RunRequest(message, rules), rules);
  }
  // True when the answer was accepted; otherwise the failure is reported.
  bool Succeeded(const ExchangeResult& result, const ExchangeRules& rules);
  // Tells the observer of a time-out, a refusal or answers out of step, with the rules' texts.
  void ReportFailure(const ExchangeResult& result, const ExchangeRules& rules);
  // After a transfer's last answer: false (reported) when the answers went out of step.
  bool AnswersInStep();

  // Exchanges. Each returns true on success; on failure it has been reported (or stopped).
  bool StartUpdateMode();
  bool GetSemaphore();
  bool AudioMute();
  bool ResultRequest(uint8_t value);
  bool FileDelete(const char* name);
  bool FileOpen(const char* name, uint32_t mode);
  bool FileWrite(const uint8_t* data, uint32_t count);
  bool FileClose();
  // After a failed FileWrite: its own failure or none, never another ending's.
  void CloseAfterFailure();
  bool FileTransfer(int resourceId, const char* name);
  void PrepareProgressScale(bool withModule);
  bool FlashTransfer();
  bool Erase(uint32_t address, uint32_t size);
  bool Write(uint32_t address, uint32_t size, int resourceId);

  // The rules of the exchange that sends `request`, from its row and this run's times; eraseSize
  // sizes the erase's wait (EraseWaitMs).
  ExchangeRules Rules(MessageKind request, uint32_t eraseSize = 0) const;

  void Fail(const std::string& text, RunOutcome outcome = RunOutcome::Refused, int32_t status = 0);
  void ShowPosition(const CProgress::Position& position);
  void AddProgress(float percent) { ShowPosition(progress_.Add(percent)); }
  void Transferred(uint32_t bytes);
  bool Aborted() const { return channel_.Aborted(); }
  // How the run ended: the first failure, the completion, or the stop.
  UpdateResult FinalResult();

  CMessageSet& messages_;
  const EngineTiming timing_;
  const DeviceImages images_;
  CRequestChannel channel_;
  CProgress progress_;

  IUpdateObserver* observer_ = nullptr;
  UpdateStep step_ = UpdateStep::Identify;
  UpdateResult result_;
  int32_t openFileHandle_ = 0;
};

}  // namespace px
