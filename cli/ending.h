#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/hints.h"
#include "engine/outcome.h"

namespace px::cli {

// How one pedal's run or identification ended.
struct PedalEnding {
  std::string port;
  RunOutcome outcome = RunOutcome::None;
  std::string text;      // the completion or error text ("" when interrupted)
  std::string detail;    // why the port would not open, or the code of a strange device
  bool leftOut = false;  // --all: nothing answered there, or not a PX-550LN
  HintCause hint = HintCause::kNone;  // what to try, where the ending has a likely cause
  // What identified itself (identify, and flash runs that got past identification).
  bool identified = false;
  uint8_t deviceId = 0;
  uint8_t variant = 0;
  uint32_t revision = 0;
};

enum ExitStatus : int {
  kExitOk = 0,
  kExitDevice = 1,  // the device refused or reported an error
  kExitUsage = 2,
  kExitPort = 3,
  kExitNoAnswer = 4,
  kExitInterrupted = 130,
};

// The exit status of one pedal's ending.
ExitStatus ExitStatusOf(const PedalEnding& ending);
// The exit status of the whole command: the rule that kExitStatusRule tells.
ExitStatus ExitStatusFor(const std::vector<PedalEnding>& endings, bool interrupted);
// The rule in words, as --help and the README give it.
extern const char* const kExitStatusRule;
// "completed", "port", "timeout", "interrupted", "left-out", "failed".
const char* StatusWordOf(const PedalEnding& ending);

}  // namespace px::cli
