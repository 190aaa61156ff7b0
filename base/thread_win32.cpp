#include <windows.h>

#include "base/event.h"

namespace px {

void SetCurrentThreadPriority(ThreadPriority priority) {
  int value = THREAD_PRIORITY_NORMAL;
  if (priority == ThreadPriority::AboveNormal) value = THREAD_PRIORITY_ABOVE_NORMAL;
  if (priority == ThreadPriority::Highest) value = THREAD_PRIORITY_HIGHEST;
  SetThreadPriority(GetCurrentThread(), value);
}

}  // namespace px
