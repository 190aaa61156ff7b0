#include "cli/ending.h"

namespace px::cli {

const char* const kExitStatusRule =
    "Exit status: 0 completed (identify: a PX-550LN answered), 1 the device refused or reported "
    "an error, 2 bad usage, 3 no port or the port cannot be opened, 4 the device did not answer, "
    "130 interrupted. With several pedals: 0 when every pedal completed, else the first that "
    "applies of 130 (interrupted), 3 (any port could not be opened), 4 (any pedal did not "
    "answer), 1; ports that --all leaves out do not count unless no pedal is left.";

ExitStatus ExitStatusOf(const PedalEnding& ending) {
  switch (ending.outcome) {
    case RunOutcome::Completed:
      return kExitOk;
    case RunOutcome::TimedOut:
      return kExitNoAnswer;
    case RunOutcome::PortFailed:
      return kExitPort;
    case RunOutcome::Aborted:
      return kExitInterrupted;
    default:
      return kExitDevice;
  }
}

ExitStatus ExitStatusFor(const std::vector<PedalEnding>& endings, bool interrupted) {
  if (interrupted) return kExitInterrupted;
  if (endings.empty()) return kExitPort;
  bool anyCounted = false;
  for (const PedalEnding& e : endings) anyCounted = anyCounted || !e.leftOut;
  // The first that applies, in this order.
  constexpr ExitStatus kOrder[] = {kExitInterrupted, kExitPort, kExitNoAnswer, kExitDevice};
  for (const ExitStatus status : kOrder) {
    for (const PedalEnding& e : endings) {
      if (e.leftOut && anyCounted) continue;
      if (ExitStatusOf(e) == status) return status;
    }
  }
  return kExitOk;
}

const char* StatusWordOf(const PedalEnding& ending) {
  if (ending.leftOut) return "left-out";
  switch (ExitStatusOf(ending)) {
    case kExitOk:
      return "completed";
    case kExitInterrupted:
      return "interrupted";
    case kExitPort:
      return "port";
    case kExitNoAnswer:
      return "timeout";
    default:
      return "failed";
  }
}

}  // namespace px::cli
