#pragma once
#include <cstdint>
#include <string>

#include "engine/outcome.h"

namespace px {

// The device that answered the identification: its code, its variant and its software revision.
struct UpdateDevice {
  uint8_t code = 0;
  uint8_t variant = 0;
  uint32_t revision = 0;
};

// How a run ended: the first failure's outcome, step, status and text, or the completion's text;
// position is where the bar stood.
struct UpdateResult {
  RunOutcome outcome = RunOutcome::None;
  UpdateStep failedStep = UpdateStep::Identify;
  int32_t status = 0;  // the refusing status the text carries, 0 when it carries none
  int position = 0;
  std::string text;
};

// A failure as it is told. The first one decides how the run ended; a later one (the device
// file's close after a failed chunk) is told apart, and changes nothing of that.
struct UpdateFailure : UpdateResult {
  bool first = true;
};

// What a run tells whoever watches it, on the thread that runs it. Every call returns at once
// except where its watcher makes it wait (a text to acknowledge, a question to answer).
class IUpdateObserver {
 public:
  virtual ~IUpdateObserver() = default;
  virtual void OnStep(UpdateStep /*step*/) {}
  virtual void OnPosition(int /*percent*/) {}
  virtual void OnTransfer(uint64_t /*bytesDone*/, uint64_t /*bytesTotal*/) {}
  virtual void OnFailure(const UpdateFailure& /*failure*/) {}
  virtual void OnCompleted(const std::string& /*text*/) {}
  // Asked once the device is identified and accepted, before anything on it changes. False ends
  // the run there (Declined), with no failure.
  virtual bool ConfirmStart(const UpdateDevice& /*device*/) { return true; }
};

}  // namespace px
