#pragma once
#include <cstdint>
#include <string>

#include "engine/outcome.h"

namespace px {

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

}  // namespace px
