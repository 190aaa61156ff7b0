#include "engine/pedal_link.h"

#include <system_error>

#include "base/event.h"
#include "engine/timing.h"

namespace px {

CPedalLink::Opening CPedalLink::Open(int portNumber) {
  port_.Close();
  return Opened(port_.Open(portNumber, kBaudRate));
}

CPedalLink::Opening CPedalLink::Open(const std::string& portName) {
  port_.Close();
  return Opened(port_.Open(portName, kBaudRate));
}

CPedalLink::Opening CPedalLink::Opened(bool opened) {
  if (!opened) return Opening::PortFailed;
  return StartReplyThread() ? Opening::Opened : Opening::NoReplyThread;
}

bool CPedalLink::StartReplyThread() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (replyThread_.joinable()) return true;
  receiver_.ReplyThreadRun = 1;
  try {
    replyThread_ = std::thread([this] {
      SetCurrentThreadPriority(ThreadPriority::AboveNormal);
      receiver_.Run();
    });
  } catch (const std::system_error&) {
    receiver_.ReplyThreadRun = 0;
    return false;
  }
  return true;
}

// The reply thread looks at its flag on every byte, and is woken from its read.
void CPedalLink::EndReplies() {
  receiver_.ReplyThreadRun = 0;
  port_.WakeReader();
}

void CPedalLink::Close() {
  EndReplies();
  {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (replyThread_.joinable()) replyThread_.join();
  }
  port_.Close();
}

}  // namespace px
