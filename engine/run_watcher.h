#pragma once
#include <string>

#include "engine/update_observer.h"

namespace px {

// Whoever starts runs through the runner watches them: everything a session tells, and when a
// run holds the link. Calls come from the worker thread, except the bar's first position and
// OnRunStarted, and where OnExecute itself refuses to start a run (one already runs, the images
// fail, the worker cannot start), which come from OnExecute's caller. A port that fails to open
// is the worker's to tell.
class IRunWatcher : public IUpdateObserver {
 public:
  // A run has the link from now on; no other may start meanwhile.
  virtual void OnRunStarted() = 0;
  // The run has failed or was declined: another may start. A completed run never says so.
  virtual void OnRunReleased() = 0;
};

}  // namespace px
