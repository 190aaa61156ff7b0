#include "engine/update_session.h"

#include <cassert>

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

CUpdateSession::CUpdateSession(CPedalLink& link, EngineTiming timing, DeviceImages images)
    : messages_(link.Messages()),
      timing_(timing),
      images_(images),
      channel_(link.Port(), link.Answers(), timing) {}

// The first answer on a line just opened may wait for the device or the radio link to wake up:
// it says nothing of how long later requests take. Any answer ends the exchange; only an
// identity reply of a PX-550LN names a device to update.
Identification CUpdateSession::Identify() {
  const ExchangeRules rules = Rules(MessageKind::IdentityRequest);
  Identification id;
  id.exchange = RunExchange(channel_, IdentityRequest.data(),
                            static_cast<int>(IdentityRequest.size()), rules.policy);
  const DeviceAnswer& answer = id.exchange.answer;
  switch (id.exchange.ending) {
    case ExchangeEnding::Aborted:
      id.failure = {.outcome = RunOutcome::Aborted, .text = {}};
      return id;
    case ExchangeEnding::TimedOut:
      id.failure = {.outcome = RunOutcome::TimedOut, .text = LoadText(rules.timeoutText)};
      return id;
    case ExchangeEnding::OutOfStep:
      id.failure = {.outcome = RunOutcome::OutOfStep, .text = LoadText(IDS_ANSWERS_OUT_OF_STEP)};
      return id;
    default:
      break;
  }
  if (answer.kind != MessageKind::IdentityReply || !IsAcceptedDeviceId(answer.deviceId)) {
    id.failure = {.outcome = RunOutcome::Refused, .text = LoadText(rules.errorText)};
    return id;
  }
  id.device = UpdateDevice{answer.deviceId, answer.variant, answer.revision};
  return id;
}

UpdateResult CUpdateSession::Update(IUpdateObserver& observer) {
  observer.OnStep(UpdateStep::Identify);
  const Identification id = Identify();
  if (id.device) return Run(*id.device, observer);
  // A stop that came meanwhile ends the run as stopped, whatever the identification found.
  if (Aborted()) return {.outcome = RunOutcome::Aborted, .text = {}};
  observer.OnFailure({id.failure});
  return id.failure;
}

UpdateResult CUpdateSession::Run(const UpdateDevice& device, IUpdateObserver& observer) {
  observer_ = &observer;
  result_ = {};
  if (!observer.ConfirmStart(device)) {
    result_.outcome = RunOutcome::Declined;
    return result_;
  }
  RunSteps(device);
  return FinalResult();
}

UpdateResult CUpdateSession::FinalResult() {
  if (result_.outcome == RunOutcome::None && Aborted()) result_.outcome = RunOutcome::Aborted;
  result_.position = static_cast<int>(progress_.ProgressPercent());
  return result_;
}

void CUpdateSession::Begin(UpdateStep step) {
  step_ = step;
  observer_->OnStep(step);
}

// The whole run after the question, step by step.
bool CUpdateSession::RunSteps(const UpdateDevice& device) {
  messages_.DeviceId = device.code;
  const bool withModule = CarriesModuleFile(device.variant);
  if (withModule) {
    Begin(UpdateStep::Semaphore);
    if (!GetSemaphore()) return false;
    Begin(UpdateStep::Mute);
    if (!AudioMute()) return false;
  }
  PrepareProgressScale(withModule);
  messages_.SetIdentityReplyDevice(device.code);

  Begin(UpdateStep::UpdateStart);
  if (!StartUpdateMode()) return false;
  if (!channel_.Pause(timing_.updateStartPauseMs)) return false;

  if (withModule) {
    AddProgress(kFixedStepPercent);
    Begin(UpdateStep::FileDelete);
    if (!FileDelete(kModuleFileName)) return false;
    Begin(UpdateStep::FileWrite);
    if (!FileTransfer(kModuleResource, kModuleFileName)) return false;
  }
  if (!FlashTransfer()) return false;
  if (!AnswersInStep()) return false;

  Begin(UpdateStep::Complete);
  return CompleteUpdate();
}

bool CUpdateSession::StartUpdateMode() {
  const ExchangeRules rules = Rules(MessageKind::UpdateStart);
  const ExchangeResult r = RunRequest(messages_.UpdateStart(), rules);
  if (RefusedWith(r, kStatusNotInUpdateMode)) {
    Fail(LoadText(IDS_SET_UPDATE_MODE));
    return false;
  }
  if (RefusedWith(r, kStatusLowBattery)) {
    Fail(LoadText(IDS_LOW_BATTERY));
    return false;
  }
  return Succeeded(r, rules);
}

// Any answer to UpdateComplete counts as success.
bool CUpdateSession::CompleteUpdate() {
  if (!Exchange(messages_.UpdateComplete(), Rules(MessageKind::UpdateComplete))) return false;
  if (Aborted()) return false;
  ShowPosition(progress_.Complete());
  result_.outcome = RunOutcome::Completed;
  result_.text = LoadText(IDS_UPDATE_COMPLETED);
  observer_->OnCompleted(result_.text);
  return true;
}

// The session's requests always fit their messages, for their names and sizes are the program's
// own constants: an empty one is a fault of this program, never an answer of the device.
ExchangeResult CUpdateSession::RunRequest(const Message& message, const ExchangeRules& rules) {
  assert(!message.empty());
  if (message.empty()) {
    Fail(LoadText(IDS_REQUEST_NOT_COMPOSED), RunOutcome::NotStarted);
    return {ExchangeEnding::Aborted, {}};  // told already
  }
  return RunExchange(channel_, message.data(), static_cast<int>(message.size()), rules.policy);
}

bool CUpdateSession::Succeeded(const ExchangeResult& result, const ExchangeRules& rules) {
  if (result.ending == ExchangeEnding::Accepted) return true;
  ReportFailure(result, rules);
  return false;
}

void CUpdateSession::ReportFailure(const ExchangeResult& result, const ExchangeRules& rules) {
  switch (result.ending) {
    case ExchangeEnding::TimedOut:
      Fail(LoadText(rules.timeoutText), RunOutcome::TimedOut);
      break;
    case ExchangeEnding::Refused:
      Fail(FormatText(rules.errorText, result.answer.status), RunOutcome::Refused,
           result.answer.status);
      break;
    case ExchangeEnding::OutOfStep:
      Fail(LoadText(IDS_ANSWERS_OUT_OF_STEP), RunOutcome::OutOfStep);
      break;
    case ExchangeEnding::Accepted:
    case ExchangeEnding::Aborted:
      break;
  }
}

// After a transfer's last answer, the answers must have stayed in step: otherwise a refusal may
// have been read as a success.
bool CUpdateSession::AnswersInStep() {
  if (channel_.StayedInStep()) return true;
  if (!Aborted()) Fail(LoadText(IDS_ANSWERS_OUT_OF_STEP), RunOutcome::OutOfStep);
  return false;
}

// The first failure of a run decides its result; a later one is still told.
void CUpdateSession::Fail(const std::string& text, RunOutcome outcome, int32_t status) {
  if (Aborted()) return;
  const bool first = result_.outcome == RunOutcome::None;
  const UpdateResult failure = {
      .outcome = outcome, .failedStep = step_, .status = status, .text = text};
  if (first) result_ = failure;
  observer_->OnFailure({failure, first});
}

void CUpdateSession::ShowPosition(const CProgress::Position& position) {
  if (!Aborted()) observer_->OnPosition(position.percent);
}

void CUpdateSession::Transferred(uint32_t bytes) {
  const CProgress::Position position = progress_.Transferred(bytes);
  ShowPosition(position);
  if (!Aborted()) observer_->OnTransfer(position.bytesDone, position.bytesTotal);
}

}  // namespace px
