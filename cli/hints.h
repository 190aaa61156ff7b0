#pragma once
#include "engine/outcome.h"

// What to try after a failure: one line after the error's own text, where the failure has a
// likely cause. The texts live here, one per cause.
namespace px::cli {

enum class HintCause {
  kNone,
  kNoAnswer,           // nothing answered the identification
  kNotAPedal,          // something other than a PX-550LN answered
  kPermission,         // this user may not open the port
  kPermissionDialout,  // ... where serial ports belong to the "dialout" group (Linux)
  kPermissionDialer,   // ... where they belong to the "dialer" group (the BSDs)
  kBusy,               // another program holds the port
  kNotConnected,       // a bound Bluetooth RFCOMM port whose connection is down (Linux)
  kMissing,            // no such port
  kMissingRfcomm,      // ... where Bluetooth ports are bound with rfcomm (Linux)
  kLineLost,           // the port went away during the run
  kStoppedAnswering,   // the pedal answered, then fell silent
  kRefusedData,        // the pedal kept refusing the data it was sent
};

// What is known of a run's ending.
struct HintFacts {
  RunOutcome outcome = RunOutcome::None;
  UpdateStep step = UpdateStep::Identify;  // the step that was running when it ended
  HintCause openCause = HintCause::kNone;  // why the port would not open (OpenErrorCause)
  bool lineFailed = false;                 // a read failed: the port went away under the link
};

// The class of a port that would not open, from the system's error code (errno on POSIX,
// GetLastError on Windows); kNone when the code suggests nothing. One per platform.
HintCause OpenErrorCause(int error);

HintCause HintCauseOf(const HintFacts& facts);
// The line of advice for a cause; "" for kNone.
const char* HintText(HintCause cause);

}  // namespace px::cli
