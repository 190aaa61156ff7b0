#include "base/event.h"

namespace px {

// Ordinary users cannot raise a thread above the default time-sharing priority on POSIX systems;
// the link's threads block on I/O almost all the time, so the default serves them well.
void SetCurrentThreadPriority(ThreadPriority) {}

}  // namespace px
